// Update Pages: fetch the page list, log on once, fetch, fill and upload every listed
// page into www/klv/, log off and report completion, naming any page that did not land.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
    if (run.session.connected()) {
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

    if (!run.session.connected() && run.freshLogonsLeft == 0) {
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

// How many names the list holds, for the progress bar.
std::size_t CountListedNames(std::string_view list) {
    std::size_t count = 0;
    std::string name;
    while (NextListedName(list, name)) {
        ++count;
    }
    return count;
}

}  // namespace

RunResult UpdatePages(const InstallerContext& context) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    RunResult result;
    Run run;
    run.account = {form.ftpServer.str(), form.ftpUser.str(), form.ftpPassword.str()};

    if (std::string refusal = ServerFieldRefusal(form.ftpServer.view(), context.config.ftpPort);
        !refusal.empty()) {
        return Ended(std::move(result), RunOutcome::Invalid, std::move(refusal));
    }
    context.window.SetStatusLine(kDownloadingPages);
    const std::string listFile = WorkingFile(shared.appDirectory, "klv.txt");
    const Result listFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kPageListPath), listFile,
                 kMaxVendorTextBytes);
    if (CancelRequested()) {
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!listFetched.ok()) {
        return Ended(std::move(result), RunOutcome::VendorFailed, listFetched.text());
    }

    const Result logon = LogOn(context, run.session, run.account);
    if (CancelRequested()) {
        LogOff(run.session);
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!logon.ok()) {
        return Ended(std::move(result), RunOutcome::Refused, logon.text());
    }
    // The logon's outcome in the status line: nothing to say after a successful one.
    context.window.SetStatusLine("");
    context.window.SetStatusLine(kUploadingPages);

    std::string list;
    if (!ReadTextFile(listFile, list)) {
        LogOff(run.session);  // nothing to upload: do not leave the connection open
        return Ended(std::move(result), RunOutcome::LocalFailure);
    }
    result.total = static_cast<int>(CountListedNames(list));
    context.window.SetProgress(0, result.total);
    std::string_view rest(list);
    std::string name;
    while (NextListedName(rest, name)) {
        std::optional<std::string> reason;
        if (!CancelRequested()) {
            reason = UploadListedPage(context, run, name);
        }
        if (CancelRequested()) {
            // The page under way when Cancel came is not counted, whether or not it got
            // through.
            LogOff(run.session);
            return Ended(std::move(result), RunOutcome::Cancelled);
        }
        if (reason) {
            result.failedFiles.push_back({name, std::move(*reason)});
        }
        ++result.done;
        context.window.SetProgress(result.done, result.total);
    }
    LogOff(run.session);
    return Ended(std::move(result),
                 result.failedFiles.empty() ? RunOutcome::Done : RunOutcome::FilesFailed);
}

void ShowUpdatePagesResult(Window& window, const RunResult& result) {
    switch (result.outcome) {
        case RunOutcome::Invalid:
            window.ShowMessage(result.text);
            break;
        case RunOutcome::Cancelled:
            if (result.total == 0) {
                window.SetStatusLine(kCancelledBeforeAnyPage);
            } else {
                std::string text = "Cancelled after " + std::to_string(result.done) + " of " +
                                   std::to_string(result.total) + " pages";
                if (!result.failedFiles.empty()) {
                    text +=
                        "; " + std::to_string(result.failedFiles.size()) + " of them did not land";
                }
                window.SetStatusLine(text);
            }
            break;
        case RunOutcome::VendorFailed:
            window.SetStatusLine(result.text);
            break;
        case RunOutcome::Refused:
            window.ShowMessage(result.text);
            window.SetStatusLine(result.text);
            break;
        case RunOutcome::LocalFailure:
            break;  // an unreadable list: the status line says the pages were going up
        case RunOutcome::Done:
        case RunOutcome::FilesFailed: {
            // One line per page that did not land, and why.
            std::string completion(kComplete);
            for (const FailedFile& failed : result.failedFiles) {
                completion += '\n' + failed.name + ": " + failed.reason;
            }
            window.SetStatusLine(kComplete);
            window.ShowMessage(completion);
            break;
        }
    }
}

void OnUpdatePages(const InstallerContext& context) {
    ShowUpdatePagesResult(context.window, UpdatePages(context));
}

}  // namespace klv
