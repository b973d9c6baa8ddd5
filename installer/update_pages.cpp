// Update Pages: fetch the page list, log on, fetch, fill and upload every listed page into
// www/klv/ (installer/page_sending.h), keep the record of what went up, log off and report
// completion, naming any page that did not land.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "installer/download.h"
#include "installer/page_list.h"
#include "installer/page_sending.h"
#include "installer/server_address.h"
#include "installer/session.h"
#include "installer/text_file.h"
#include "installer/upload_record.h"
#include "installer/vendor_site.h"
#include "installer/workflows.h"

namespace klv {

namespace {

constexpr std::string_view kDownloadingPages = "Downloading Current KLV Pages From Kolvane";
constexpr std::string_view kUploadingPages = "Uploading New KLV Pages To Your Server";
constexpr std::string_view kComplete = "Update Pages Is Now Complete!";
constexpr char kPagesListed[] = "www/klv";
constexpr std::string_view kCancelledBeforeAnyPage = "Cancelled before any page was uploaded";

// The listed pages, each with its address; SendPages gives each that may go up a working
// file.
std::vector<ListedPage> PagesOf(const InstallerContext& context, std::string_view list) {
    std::vector<ListedPage> pages;
    std::string name;
    while (NextListedName(list, name)) {
        ListedPage& page = pages.emplace_back();
        page.name = name;
        page.plan = PlanFor(name);
        page.url = VendorUrl(context.config.vendorBaseUrl, kPagesPath, name);
    }
    return pages;
}

// The record of earlier runs for the host `session` is logged on to, and its pages
// directory as listed now. No record is kept when the program has no place for it or the
// host does not say its logon directory; a listing that fails lists nothing (every page
// goes up).
HostPages ReadHostPages(const InstallerContext& context, Session& session, const Account& account) {
    HostPages host;
    std::string loginDirectory;
    const ParsedServer parsed = ParseServer(account.server, context.config.ftpPort);
    const auto* server = std::get_if<ServerAddress>(&parsed);
    if (context.shared.stateDirectory.empty() || server == nullptr ||
        !LoginDirectory(session, loginDirectory).ok()) {
        return host;
    }
    host.directory = context.shared.stateDirectory;
    host.key = {server->host, server->port, account.user, loginDirectory};
    host.record = LoadUploadRecord(host.directory, host.key);
    std::vector<ftp::ListedFile> files;
    if (ListDirectory(session, kPagesListed, files).ok()) {
        for (ftp::ListedFile& file : files) {
            std::string name = file.name;
            host.listed.emplace(std::move(name), std::move(file));
        }
    }
    return host;
}

// Keeps what this run put on the host: each page sent, with its size and time as the host
// lists them now, and each page the host had already. A page that did not land, or that
// the listing does not show, is left out: the next run sends it.
void KeepRecord(Session& session, const HostPages& host, const std::vector<ListedPage>& pages,
                const RunResult& result) {
    const bool anySent =
        std::any_of(pages.begin(), pages.end(), [](const ListedPage& page) { return page.sent; });
    if (!host.kept() || (!anySent && result.failedFiles.empty())) {
        return;  // nothing changed on the host
    }
    std::map<std::string, ftp::ListedFile> listedNow;
    std::vector<ftp::ListedFile> files;
    if (anySent && session.connected() && ListDirectory(session, kPagesListed, files).ok()) {
        for (ftp::ListedFile& file : files) {
            std::string name = file.name;
            listedNow.emplace(std::move(name), std::move(file));
        }
    }
    std::set<std::string> failed;
    for (const FailedFile& file : result.failedFiles) {
        failed.insert(file.name);
    }
    UploadRecord record;
    for (const ListedPage& page : pages) {
        const std::string& name = page.plan.remoteName;
        if (failed.count(page.name) != 0 || page.localPath.empty()) {
            continue;
        }
        if (!page.sent) {
            if (const auto kept = host.record.find(name); kept != host.record.end()) {
                record.insert(*kept);
            }
        } else if (const auto listed = listedNow.find(name); listed != listedNow.end()) {
            record[name] = {page.sha256, listed->second.size, listed->second.modified};
        }
    }
    std::string failure;
    (void)SaveUploadRecord(host.directory, host.key, record, failure);  // costs a resend at most
}

}  // namespace

RunResult UpdatePages(const InstallerContext& context) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    RunResult result;
    const Account account{form.ftpServer.str(), form.ftpUser.str(), form.ftpPassword.str()};

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

    // The pages are fetched while the session logs on and the host is listed.
    std::string list;
    const bool listRead = ReadTextFile(listFile, list);
    std::vector<ListedPage> pages;
    std::optional<PageSender> sender;
    if (listRead) {
        pages = PagesOf(context, list);
        sender.emplace(context, pages);
    }

    Session session;
    const Result logon = LogOn(context, session, account);
    if (CancelRequested()) {
        LogOff(session);
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!logon.ok()) {
        return Ended(std::move(result), RunOutcome::Refused, logon.text());
    }
    // The logon's outcome in the status line: nothing to say after a successful one.
    context.window.SetStatusLine("");
    context.window.SetStatusLine(kUploadingPages);

    if (!listRead) {
        LogOff(session);  // nothing to upload: do not leave the connection open
        return Ended(std::move(result), RunOutcome::LocalFailure);
    }
    result.total = static_cast<int>(pages.size());
    context.window.SetProgress(0, result.total);
    const HostPages host = ReadHostPages(context, session, account);
    sender->Send(account, session, host, result);
    if (CancelRequested()) {
        LogOff(session);
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    KeepRecord(session, host, pages, result);
    LogOff(session);
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
