// Update Pages: fetch the page list, log on once, fetch, fill and upload every listed
// page into www/klv/, log off and report completion, naming any page that did not land.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "installer/download.h"
#include "installer/page_list.h"
#include "installer/server_address.h"
#include "installer/session.h"
#include "installer/text_file.h"
#include "installer/vendor_site.h"
#include "installer/workflows.h"

namespace klv {

namespace {

constexpr std::string_view kDownloadingPages = "Downloading Current KLV Pages From Kolvane";
constexpr std::string_view kUploadingPages = "Uploading New KLV Pages To Your Server";
constexpr std::string_view kComplete = "Update Pages Is Now Complete!";
constexpr std::string_view kPagesDirectory = "www/klv/";
constexpr std::size_t kLongestComposedText = 4095;  // page address, remote path, status text
// A connection lost during a run (closed by the server, or by the client when a reply
// went astray) is made again for the next page, this many times at most per run.
constexpr int kFreshLogons = 3;
constexpr std::string_view kConnectionLost = "the connection to the server was lost";
constexpr std::string_view kCancelledBeforeAnyPage = "Cancelled before any page was uploaded";

// The run's connection, the account it logs on with, and what is left of its fresh
// logons.
struct Run {
    Session session;
    Account account;
    int freshLogonsLeft = kFreshLogons;
};

// Makes sure the session is logged on before a page goes up: logs on again when the
// connection is gone and a fresh logon is left. The reason when it is not.
std::optional<std::string> EnsureLoggedOn(const InstallerContext& context, Run& run) {
    if (run.session.client.connected()) {
        return std::nullopt;
    }
    if (run.freshLogonsLeft == 0) {
        return std::string(kConnectionLost);
    }
    --run.freshLogonsLeft;
    if (const Result logon = LogOn(context, run.session, run.account); !logon.ok()) {
        // A server that refuses or ignores a fresh logon would do so again: the rest of
        // the run is not held up by more attempts.
        run.freshLogonsLeft = 0;
        return logon.text();
    }
    return std::nullopt;
}

// Handles one entry; returns why it did not land, if it did not.
std::optional<std::string> UploadListedPage(const InstallerContext& context, Run& run,
                                            const std::string& name) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    if (const std::string_view refusal = RefusedPageName(name); !refusal.empty()) {
        return std::string(refusal);
    }
    const PagePlan plan = PlanFor(name);
    const std::string url = VendorUrl(context.config.vendorBaseUrl, kPagesPath, name);
    const std::string status = "Uploading " + plan.remoteName;
    if (url.size() > kLongestComposedText || status.size() > kLongestComposedText) {
        return "the name is too long";
    }

    if (!run.session.client.connected() && run.freshLogonsLeft == 0) {
        return std::string(kConnectionLost);  // no need to fetch what cannot go up
    }
    const std::string page = WorkingFile(shared.appDirectory, "temp.txt");
    if (const Result fetched = Download(context.config, url, page); !fetched.ok()) {
        // Uploading now would store the previous page's content under this name.
        return fetched.text();
    }
    if (plan.fillBlogValues) {
        std::string text;
        if (!ReadTextFile(page, text)) {
            return "the downloaded page could not be read";
        }
        if (!ReplaceAllWithin(text, "#title#", form.blogTitle.view(), web::kMaxDownloadBytes) ||
            !ReplaceAllWithin(text, "#password#", form.blogPassword.view(),
                              web::kMaxDownloadBytes)) {
            return "the filled-in page would be larger than 64 MiB";
        }
        if (std::string failure = RewriteTextFile(page, text); !failure.empty()) {
            return failure;  // a page cut short must not go up
        }
    }

    if (std::optional<std::string> reason = EnsureLoggedOn(context, run)) {
        return reason;
    }
    context.window.SetStatusLine(status);
    const FileToPut file{page, std::string(kPagesDirectory) + plan.remoteName,
                         plan.binary ? ftp::TransferType::Image : ftp::TransferType::Ascii};
    if (const Result put = PutFile(run.session, file); !put.ok()) {
        return put.text();
    }
    return std::nullopt;
}

// What the status line says when the run was cancelled. The page under way when Cancel
// came is not counted, whether or not it got through.
std::string CancelledText(std::size_t handled, std::size_t listed, std::size_t failed) {
    std::string text =
        "Cancelled after " + std::to_string(handled) + " of " + std::to_string(listed) + " pages";
    if (failed > 0) {
        text += "; " + std::to_string(failed) + " of them did not land";
    }
    return text;
}

// How many names the list holds, for the progress bar.
std::size_t CountListedNames(std::string_view list) {
    std::size_t count = 0;
    std::string name;
    while (NextListedName(list, name)) {
        ++count;
    }
    return count;
}

// Names one page that did not land, and why, on a line of the completion box.
void AddFailure(std::string& message, std::string_view name, std::string_view reason) {
    message += '\n';
    message += name;
    message += ": ";
    message += reason;
}

}  // namespace

void OnUpdatePages(const InstallerContext& context) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    Run run;
    run.account = {form.ftpServer.str(), form.ftpUser.str(), form.ftpPassword.str()};

    if (const std::string refusal = ServerFieldRefusal(form.ftpServer.view(), context.config.ftpPort);
        !refusal.empty()) {
        context.window.ShowMessage(refusal);
        return;
    }
    context.window.SetStatusLine(kDownloadingPages);
    const std::string listFile = WorkingFile(shared.appDirectory, "klv.txt");
    const Result listFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kPageListPath), listFile,
                 kMaxVendorTextBytes);
    if (CancelRequested()) {
        context.window.SetStatusLine(kCancelledBeforeAnyPage);
        return;
    }
    if (!listFetched.ok()) {
        context.window.SetStatusLine(listFetched.text());
        return;
    }

    const Result logon = LogOn(context, run.session, run.account);
    ShowLogonFailure(context, logon);
    if (CancelRequested()) {
        LogOff(run.session);
        context.window.SetStatusLine(kCancelledBeforeAnyPage);
        return;
    }
    // The logon's outcome: the refusal, or nothing until the pages' first status.
    context.window.SetStatusLine(logon.text());
    if (!logon.ok()) {
        return;
    }
    context.window.SetStatusLine(kUploadingPages);

    std::string list;
    if (!ReadTextFile(listFile, list)) {
        LogOff(run.session);  // nothing to upload: do not leave the connection open
        return;
    }
    // Built as the pages are handled: a list of many names costs no more than its box.
    std::string completion(kComplete);
    const std::size_t listed = CountListedNames(list);
    context.window.SetProgress(0, static_cast<int>(listed));
    std::size_t handled = 0;
    std::size_t failed = 0;
    std::string_view rest(list);
    std::string name;
    while (NextListedName(rest, name)) {
        std::optional<std::string> reason;
        if (!CancelRequested()) {
            reason = UploadListedPage(context, run, name);
        }
        if (CancelRequested()) {
            LogOff(run.session);
            context.window.SetStatusLine(CancelledText(handled, listed, failed));
            return;
        }
        if (reason) {
            AddFailure(completion, name, *reason);
            ++failed;
        }
        ++handled;
        context.window.SetProgress(static_cast<int>(handled), static_cast<int>(listed));
    }
    LogOff(run.session);

    context.window.SetStatusLine(kComplete);
    context.window.ShowMessage(completion);
}

}  // namespace klv
