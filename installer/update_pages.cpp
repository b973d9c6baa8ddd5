// Update Pages: fetch the page list, log on once, fetch, fill and upload every listed
// page into www/klv/, log off and report completion, naming any page that did not land.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "installer/fetch_status.h"
#include "installer/page_list.h"
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
constexpr std::string_view kCancelledBeforeAnyPage = "Cancelled before any page was uploaded";

struct PageFailure {
    std::string name;
    std::string reason;
};

// Handles one entry; returns why it did not land, if it did not.
std::optional<std::string> UploadListedPage(const InstallerContext& context,
                                            const std::string& name) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    const PagePlan plan = PlanFor(name);
    const std::string url = VendorUrl(context.config.vendorBaseUrl, kPagesPath, name);
    const std::string status = "Uploading " + plan.remoteName;
    if (url.size() > kLongestComposedText || status.size() > kLongestComposedText) {
        return "the name is too long";
    }

    const std::string page = WorkingFile(shared.appDirectory, "temp.txt");
    FetchUrlToFile(shared, url, page, context.config.idleTimeout);
    if (!shared.statusText.empty()) {
        // Uploading now would store the previous page's content under this name.
        return shared.statusText.str();
    }
    if (plan.fillBlogValues) {
        std::string text;
        if (!ReadTextFile(page, text)) {
            return "the downloaded page could not be read";
        }
        ReplaceAll(text, "#title#", form.blogTitle.view());
        ReplaceAll(text, "#password#", form.blogPassword.view());
        RewriteTextFile(page, text);
    }

    context.window.SetStatusLine(status);
    SessionArguments arguments;
    arguments.server = form.ftpServer.str();
    arguments.user = form.ftpUser.str();
    arguments.password = form.ftpPassword.str();
    arguments.localPath = page;
    arguments.remotePath = std::string(kPagesDirectory) + plan.remoteName;
    arguments.binary = plan.binary ? 1 : 0;
    if (!SessionPutPage(context, arguments)) {
        return shared.sharedClient.replyText();
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

std::string CompletionMessage(const std::vector<PageFailure>& failures) {
    std::string message(kComplete);
    for (const PageFailure& failure : failures) {
        message += '\n';
        message += failure.name;
        message += ": ";
        message += failure.reason;
    }
    return message;
}

}  // namespace

void OnUpdatePages(const InstallerContext& context) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    SessionArguments account;
    account.server = form.ftpServer.str();
    account.user = form.ftpUser.str();
    account.password = form.ftpPassword.str();

    context.window.SetStatusLine(kDownloadingPages);
    const std::string listFile = WorkingFile(shared.appDirectory, "klv.txt");
    FetchUrlToFile(shared, VendorUrl(context.config.vendorBaseUrl, kPageListPath), listFile,
                   context.config.idleTimeout);
    if (CancelRequested()) {
        context.window.SetStatusLine(kCancelledBeforeAnyPage);
        return;
    }
    if (!shared.statusText.empty()) {
        context.window.SetStatusLine(shared.statusText.view());
        return;
    }

    const bool loggedOn = SessionLogOn(context, account);
    if (CancelRequested()) {
        SessionLogOff(context);
        context.window.SetStatusLine(kCancelledBeforeAnyPage);
        return;
    }
    context.window.SetStatusLine(shared.statusText.view());
    if (!loggedOn) {
        return;
    }
    context.window.SetStatusLine(kUploadingPages);

    std::string list;
    if (!ReadTextFile(listFile, list)) {
        SessionLogOff(context);  // nothing to upload: do not leave the connection open
        return;
    }
    const std::vector<std::string> names = ListedNames(list);
    const int listed = static_cast<int>(names.size());
    context.window.SetProgress(0, listed);
    std::vector<PageFailure> failures;
    std::size_t handled = 0;
    for (const std::string& name : names) {
        std::optional<std::string> reason;
        if (!CancelRequested()) {
            reason = UploadListedPage(context, name);
        }
        if (CancelRequested()) {
            SessionLogOff(context);
            context.window.SetStatusLine(CancelledText(handled, names.size(), failures.size()));
            return;
        }
        if (reason) {
            failures.push_back({name, std::move(*reason)});
        }
        ++handled;
        context.window.SetProgress(static_cast<int>(handled), listed);
    }
    SessionLogOff(context);

    context.window.SetStatusLine(kComplete);
    context.window.ShowMessage(CompletionMessage(failures));
}

}  // namespace klv
