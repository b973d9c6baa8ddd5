#include "installer/page_sending.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "base/cancel.h"
#include "installer/page_board.h"
#include "installer/text_file.h"
#include "installer/workflows.h"
#include "web/fetch_many.h"

namespace klv {

namespace {

// A connection lost during a run (closed by the server, or by the client when a reply
// went astray) is made again for the next page, this many times at most per run.
constexpr int kFreshLogons = 3;
constexpr std::string_view kPagesDirectory = "www/klv/";
constexpr std::size_t kLongestComposedText = 4095;  // page address, remote path, status text
constexpr std::string_view kUploadingPrefix = "Uploading ";
constexpr std::string_view kUnreadablePage = "the downloaded page could not be read";
// How often the run's thread looks at Cancel while the sessions work.
constexpr std::chrono::milliseconds kNewsInterval{20};

// How far the fetches may run ahead of the uploads: pages fetched (or being fetched) that
// no session has finished yet. Each is a working file, the filled-in blog page among them.
constexpr std::size_t kPagesAhead = 32;

// The window as the extra sessions see it: nothing to show, no question asked. The first
// logon has asked whatever needed asking; a host that would need a new answer for a later
// session does without that session.
class QuietWindow final : public Window {
public:
    std::string FieldText(Control) const override { return {}; }
    void SetFieldText(Control, std::string_view) override {}
    void SetStatusLine(std::string_view) override {}
    void ShowMessage(std::string_view) override {}
    bool TrustCertificate(const CertificateInfo&) override { return false; }
    void OpenUrl(std::string_view) override {}
};

// The run's trust store for several sessions at once: each call in turn.
class LockedTrustStore final : public TrustStore {
public:
    explicit LockedTrustStore(TrustStore& store) : store_(store) {}
    std::string TrustedFingerprint(std::string_view host) const override {
        const std::lock_guard lock(mutex_);
        return store_.TrustedFingerprint(host);
    }
    void TrustFingerprint(std::string_view host, std::string_view fingerprint) override {
        const std::lock_guard lock(mutex_);
        store_.TrustFingerprint(host, fingerprint);
    }
    bool SpokeTls(std::string_view host) const override {
        const std::lock_guard lock(mutex_);
        return store_.SpokeTls(host);
    }
    void RememberSpokeTls(std::string_view host) override {
        const std::lock_guard lock(mutex_);
        store_.RememberSpokeTls(host);
    }
    bool VerifiedBefore(std::string_view host) const override {
        const std::lock_guard lock(mutex_);
        return store_.VerifiedBefore(host);
    }
    void RememberVerified(std::string_view host) override {
        const std::lock_guard lock(mutex_);
        store_.RememberVerified(host);
    }

private:
    TrustStore& store_;
    mutable std::mutex mutex_;
};

}  // namespace

// What the fetch ahead, the sessions and the run's thread share.
struct PageCrew {
    PageCrew(const InstallerContext& context, std::vector<ListedPage>& pages, std::size_t sessions)
        : run(context),
          pages(pages),
          sessionCount(sessions),
          board(pages.size(), static_cast<int>(sessions)) {
        sessionsShared.trustStore = std::make_unique<LockedTrustStore>(*context.shared.trustStore);
    }

    const InstallerContext& run;  // the run's own window: its thread alone uses it
    std::vector<ListedPage>& pages;
    const std::size_t sessionCount;  // the first one and the extra ones
    PageBoard board;
    web::FetchGate gate{kPagesAhead};  // a slot back for each fetched page that is finished
    // The sessions' own view of the window and of the trust store.
    QuietWindow quiet;
    SharedState sessionsShared;
    const InstallerContext sessions{quiet, sessionsShared, run.config};
    const Account* account = nullptr;                // once Send has it
    std::atomic<int> freshLogonsLeft{kFreshLogons};  // for the whole run

    // Pages fetched before the host is listed wait for it to say whether they must go up.
    std::mutex hostMutex;
    const HostPages* host = nullptr;
    std::vector<std::size_t> undecided;

    CancelToken fetchToken;  // the fetch ahead stops when the run ends, Cancel or not
    std::jthread fetching;

    // Page `index` is fetched and filled in.
    void Fetched(std::size_t index) {
        const std::lock_guard lock(hostMutex);
        if (host == nullptr) {
            undecided.push_back(index);
        } else {
            Decide(index);
        }
    }
    // What the host holds is known: the pages fetched so far are decided now, the others
    // as they come.
    void KnowHost(const HostPages& listed) {
        const std::lock_guard lock(hostMutex);
        host = &listed;
        for (const std::size_t index : undecided) {
            Decide(index);
        }
        undecided.clear();
    }
    // A page the host has as it is already is finished here, without a session.
    void Decide(std::size_t index) {
        ListedPage& page = pages[index];
        if (host->NeedsSending(page)) {
            board.Fetched(index);
            return;  // its slot comes back once a session has finished it
        }
        ::unlink(page.localPath.c_str());
        board.Landed(index);
        gate.Release();
    }
};

namespace {

// Makes sure the session is logged on before a page goes up: logs on again when the
// connection is gone and a fresh logon is left. The reason when it is not.
std::optional<std::string> EnsureLoggedOn(PageCrew& crew, Session& session) {
    if (session.connected()) {
        return std::nullopt;
    }
    int left = crew.freshLogonsLeft.load();
    do {
        if (left == 0) {
            return std::string(kConnectionLost);
        }
    } while (!crew.freshLogonsLeft.compare_exchange_weak(left, left - 1));
    if (const Result logon = LogOn(crew.sessions, session, *crew.account); !logon.ok()) {
        // A server that refuses or ignores a fresh logon would do so again: the rest of
        // the run is not held up by more attempts.
        crew.freshLogonsLeft = 0;
        return logon.text();
    }
    return std::nullopt;
}

// Fills the blog's title and password into the fetched page; why not, if it could not.
std::optional<std::string> FillBlogValues(const FormData& form, const std::string& page) {
    std::string text;
    if (!ReadTextFile(page, text)) {
        return std::string(kUnreadablePage);
    }
    if (!ReplaceAllWithin(text, "#title#", form.blogTitle.view(), web::kMaxDownloadBytes) ||
        !ReplaceAllWithin(text, "#password#", form.blogPassword.view(), web::kMaxDownloadBytes)) {
        return "the filled-in page would be larger than 64 MiB";
    }
    if (std::string failure = RewriteTextFile(page, text); !failure.empty()) {
        return failure;  // a page cut short must not go up
    }
    return std::nullopt;
}

// The fetch ahead, on its own thread: every page that may be fetched, several at once,
// at most kPagesAhead before the sessions. A fetched page is filled in and, when records
// are kept, its digest taken for the decision whether it goes up.
void FetchAhead(PageCrew& crew) {
    std::vector<web::FetchJob> jobs;
    std::vector<std::size_t> pageOfJob;
    for (std::size_t index = 0; index < crew.pages.size(); ++index) {
        if (!crew.pages[index].localPath.empty()) {  // not refused before the run began
            jobs.push_back({crew.pages[index].url, crew.pages[index].localPath});
            pageOfJob.push_back(index);
        }
    }
    const bool recordsKept = !crew.run.shared.stateDirectory.empty();
    const auto fetched = [&](std::size_t job, const std::string& outcome) {
        if (CancelRequested()) {
            return;  // the run is over
        }
        const std::size_t index = pageOfJob[job];
        ListedPage& page = crew.pages[index];
        std::optional<std::string> failure;
        if (!outcome.empty()) {
            failure = outcome;
        } else if (page.plan.fillBlogValues) {
            failure = FillBlogValues(crew.run.shared.formData, page.localPath);
        }
        if (!failure && recordsKept) {
            std::optional<std::string> sha256 = Sha256OfFile(page.localPath);
            failure = sha256 ? std::nullopt : std::optional<std::string>(kUnreadablePage);
            page.sha256 = sha256.value_or("");
        }
        if (failure) {
            crew.board.Failed(index, std::move(*failure));
            crew.gate.Release();
        } else {
            crew.Fetched(index);
        }
    };
    web::FetchMany(jobs, crew.gate, fetched, {crew.run.config.idleTimeout, web::kMaxDownloadBytes});
}

// One session's share of the run, on its own thread: takes fetched pages in list order
// and puts them up until none is left. A session that is not logged on yet (an extra
// one) logs on when it has a page to send; if the host refuses it, the others go on.
void UploadPages(PageCrew& crew, Session& session, bool extra) {
    std::optional<std::size_t> givenBack;
    while (const std::optional<std::size_t> taken = crew.board.Take(std::exchange(givenBack, {}))) {
        const std::size_t index = *taken;
        ListedPage& page = crew.pages[index];
        if (extra) {
            extra = false;
            // Hosts that limit connections refuse the extra ones ("421" before the logon,
            // "530" after it): no failure, the run goes on with the sessions it has.
            if (!LogOn(crew.sessions, session, *crew.account).ok()) {
                crew.board.PutBack(index);
                break;
            }
        }
        if (std::optional<std::string> reason = EnsureLoggedOn(crew, session)) {
            if (!CancelRequested() && !crew.board.GiveBack(index)) {
                crew.board.Failed(index, std::move(*reason));
                crew.gate.Release();
            }
            break;
        }
        crew.board.Announce(std::string(kUploadingPrefix) + page.plan.remoteName);
        const FileToPut file{
            page.localPath, std::string(kPagesDirectory) + page.plan.remoteName,
            page.plan.binary ? ftp::TransferType::Image : ftp::TransferType::Ascii};
        const Result put = PutFile(session, file);
        if (CancelRequested()) {
            break;  // the page under way when Cancel came is not counted
        }
        if (put.ok()) {
            ::unlink(page.localPath.c_str());  // the blog page holds the password
            page.sent = true;
            crew.board.Landed(index);
        } else if (!session.connected() && crew.board.GiveBack(index)) {
            givenBack = index;  // another session sends it
            continue;
        } else {
            crew.board.Failed(index, put.text());
        }
        crew.gate.Release();
    }
    crew.board.SessionEnded(CancelRequested() ? std::nullopt
                                              : std::optional<std::string>(kConnectionLost));
}

// Why page `page` cannot be fetched or stored at all, if it cannot.
std::optional<std::string> RefusalOf(const ListedPage& page) {
    if (const std::string_view refusal = RefusedPageName(page.name); !refusal.empty()) {
        return std::string(refusal);
    }
    if (page.url.size() > kLongestComposedText ||
        page.plan.remoteName.size() + kUploadingPrefix.size() > kLongestComposedText) {
        return "the name is too long";
    }
    return std::nullopt;
}

}  // namespace

bool HostPages::NeedsSending(const ListedPage& page) const {
    if (!kept()) {
        return true;
    }
    const auto recorded = record.find(page.plan.remoteName);
    const auto there = listed.find(page.plan.remoteName);
    return klv::NeedsSending(recorded == record.end() ? nullptr : &recorded->second, page.sha256,
                             there == listed.end() ? nullptr : &there->second);
}

PageSender::PageSender(const InstallerContext& context, std::vector<ListedPage>& pages) {
    // No more sessions than pages; the extra ones log on only once they have a page.
    const std::size_t sessions =
        std::clamp<std::size_t>(pages.size(), 1, std::max(context.config.connections, 1u));
    crew_ = std::make_unique<PageCrew>(context, pages, sessions);
    for (std::size_t index = 0; index < pages.size(); ++index) {
        if (std::optional<std::string> refusal = RefusalOf(pages[index])) {
            crew_->board.Failed(index, std::move(*refusal));
        } else {
            pages[index].localPath =
                WorkingFile(context.shared.appDirectory, PageWorkingFile(index));
        }
    }
    crew_->fetching = std::jthread([crew = crew_.get()] {
        const RunScope scope(crew->fetchToken);
        FetchAhead(*crew);
    });
}

PageSender::~PageSender() {
    crew_->fetchToken.Cancel();
    crew_->board.Close();
    if (crew_->fetching.joinable()) {
        crew_->fetching.join();
    }
    for (const ListedPage& page : crew_->pages) {
        if (!page.localPath.empty()) {
            ::unlink(page.localPath.c_str());
        }
    }
}

void PageSender::Send(const Account& account, Session& first, const HostPages& host,
                      RunResult& result) {
    PageCrew& crew = *crew_;
    crew.account = &account;
    crew.KnowHost(host);
    const InstallerContext& context = crew.run;
    std::vector<Session> extraSessions(crew.sessionCount - 1);

    const CancelToken& runToken = CurrentCancelToken();
    std::vector<std::jthread> threads;
    threads.emplace_back([&] {
        const RunScope scope(runToken);
        UploadPages(crew, first, false);
    });
    for (Session& session : extraSessions) {
        threads.emplace_back([&runToken, &crew, extra = &session] {
            const RunScope scope(runToken);
            UploadPages(crew, *extra, true);
        });
    }

    for (;;) {
        const PageBoard::News news = crew.board.AwaitNews(kNewsInterval);
        if (CancelRequested()) {
            break;
        }
        if (news.status) {
            context.window.SetStatusLine(*news.status);
        }
        if (static_cast<int>(news.finished) != result.done) {
            result.done = static_cast<int>(news.finished);
            context.window.SetProgress(result.done, result.total);
        }
        if (news.allFinished) {
            break;
        }
    }
    const PageBoard::Tally tally = crew.board.Count();
    result.done = static_cast<int>(tally.finished);
    crew.fetchToken.Cancel();
    crew.board.Close();
    threads.clear();  // joins them
    crew.fetching.join();
    for (Session& session : extraSessions) {
        LogOff(session);
    }
    for (std::size_t index = 0; index < crew.pages.size(); ++index) {
        if (const std::optional<std::string>& failure = tally.failures[index]) {
            result.failedFiles.push_back({crew.pages[index].name, *failure});
        }
    }
}

}  // namespace klv
