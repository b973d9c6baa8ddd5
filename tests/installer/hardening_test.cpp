// What a hostile list, page or connection can no longer do to a run, seen where the
// user sees it: the files on the server, the completion box, the status line.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <string_view>
#include <thread>

#include "tests/installer/workflow_fixture.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Forwards FTP control connections to a real server; the first `dropped` of them are
// cut at the client's first STOR, as a server that went away would cut them.
class ControlProxy {
public:
    ControlProxy(unsigned target, int dropped) : target_(target), dropped_(dropped) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        listener_ = web::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_.get(), 4);
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ControlProxy() {
        stop_ = true;
        thread_.join();
    }
    [[nodiscard]] unsigned port() const { return port_; }
    [[nodiscard]] int connections() const { return connections_; }

private:
    void Run() {
        while (!stop_) {
            pollfd wait{listener_.get(), POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) {
                continue;
            }
            const web::UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
            const web::UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in to{
                AF_INET, htons(static_cast<uint16_t>(target_)), {htonl(INADDR_LOOPBACK)}, {}};
            if (::connect(server.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                Forward(client.get(), server.get(), connections_++ < dropped_);
            }
        }
    }
    void Forward(int client, int server, bool dropAtStor) {
        char buffer[4096];
        while (!stop_) {
            pollfd waits[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(waits, 2, 50) <= 0) {
                continue;
            }
            for (int from = 0; from < 2; ++from) {
                if (waits[from].revents == 0) {
                    continue;
                }
                const ssize_t got = ::recv(waits[from].fd, buffer, sizeof buffer, 0);
                if (got <= 0 || (from == 0 && dropAtStor &&
                                 std::string_view(buffer, got).starts_with("STOR "))) {
                    return;
                }
                ::send(waits[1 - from].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
            }
        }
    }

    unsigned target_;
    int dropped_;
    unsigned port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    web::UniqueFd listener_;
    std::thread thread_;
};

class Hardening : public WorkflowTest {
protected:
    void InstallFirst() {
        FillValidForm();
        OnInstallScript(Context());
        window.messages.clear();
    }
    void SetList(const std::string& list) { WriteFileBytes(Vendor("list.txt"), list); }
    [[nodiscard]] std::vector<std::string> PagesOnServer() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(OnServer("www/klv"))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Hardening, ListedNamesThatCouldLeaveWwwKlvAreNeitherFetchedNorUploaded) {
    InstallFirst();
    const std::string script = ReadFileBytes(OnServer("www/cgi-bin/klv.cgi"));
    WriteFileBytes(Vendor("my page.v2.html"), "dots and a blank inside");
    SetList(
        "../../www/cgi-bin/klv.cgi\n../x\n/etc/x\n./faq.txt\nsub/../faq.txt\n..\\x\n\n"
        "my page.v2.html\n");
    OnUpdatePages(Context());

    EXPECT_EQ(ReadFileBytes(OnServer("www/cgi-bin/klv.cgi")), script);
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klv.cgi")), 0755u);
    EXPECT_FALSE(fs::exists(OnServer("x")));
    EXPECT_THAT(PagesOnServer(), ElementsAre("my page.v2.html"));
    EXPECT_THAT(RequestedTargets(),
                ElementsAre("/klvsetup/klvcfgcgi.txt", "/klvsetup/klvcgi.txt", "/klvsetup/list.txt",
                            "/klvsetup/my%20page.v2.html"));
    const std::string leaves = R"(the name has a "." or ".." part, which could leave www/klv/)";
    EXPECT_THAT(window.messages,
                ElementsAre("Update Pages Is Now Complete!\n../../www/cgi-bin/klv.cgi: " + leaves +
                            "\n../x: " + leaves + "\n/etc/x: the name is an absolute path\n" +
                            "./faq.txt: " + leaves + "\nsub/../faq.txt: " + leaves +
                            "\n..\\x: the name holds a backslash\n: the name is empty"));
}

TEST_F(Hardening, AFailedFirstUploadShowsItsRepliesAndStopsInstallScript) {
    FillValidForm();
    window.SetFieldText(Control::CgiPath, "www/no-such-dir");
    OnInstallScript(Context());

    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_THAT(window.messages[0], ::testing::MatchesRegex("550 .* \n550 .* \n550 .*"));
    EXPECT_THAT(RequestedTargets(), ElementsAre("/klvsetup/klvcfgcgi.txt"));
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

TEST_F(Hardening, RedirectsAreFollowedOnTheVendorsHostOnly) {
    InstallFirst();
    const std::string elsewhere = "http://localhost:" + std::to_string(http.port());
    http.Serve("/klvsetup/relative.html", HttpResponse::Redirect(302, "faq.txt"));
    http.Serve("/klvsetup/absolute.html",
               HttpResponse::Redirect(301, http.Url("/klvsetup/faq.txt")));
    http.Serve("/klvsetup/router.html",
               HttpResponse::Redirect(302, elsewhere + "/klvsetup/faq.txt"));
    http.Serve("/klvsetup/chain.html", HttpResponse::Redirect(302, "absolute.html"));
    http.Serve("/klvsetup/away.html", HttpResponse::Redirect(307, elsewhere + "/x"));
    SetList("relative.html\nabsolute.html\nrouter.html\nchain.html\naway.html\n");
    OnUpdatePages(Context());

    EXPECT_THAT(PagesOnServer(), ElementsAre("absolute.html", "chain.html", "relative.html"));
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/chain.html")), ReadFileBytes(Vendor("faq.txt")));
    const std::string refused = ": Redirect to another host not followed: " + elsewhere;
    EXPECT_THAT(window.messages,
                ElementsAre("Update Pages Is Now Complete!\nrouter.html" + refused +
                            "/klvsetup/faq.txt\naway.html" + refused + "/x"));
}

TEST_F(Hardening, DownloadsAndTheFilledScriptAreBounded) {
    FillValidForm();
    window.SetFieldText(Control::MainEmail, std::string(255, '@'));  // 510 bytes escaped
    std::string placeholders;
    while (placeholders.size() + 7 <= (1u << 20)) {
        placeholders += "#email#";
    }
    WriteFileBytes(Vendor("klvcfgcgi.txt"), placeholders);
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The filled-in script would be larger than 64 MiB");

    WriteFileBytes(Vendor("klvcfgcgi.txt"), std::string((1u << 20) + 1, 'x'));
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The file is larger than 1 MiB");
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));

    http.Serve("/klvsetup/list.txt", HttpResponse::Chunked({std::string(1u << 19, '\n'),
                                                            std::string((1u << 19) + 1, '\n')}));
    OnUpdatePages(Context());
    EXPECT_EQ(window.statusLine, "The file is larger than 1 MiB");

    WriteFileBytes(Vendor("big.html"), "b");  // made sparse, not written
    std::filesystem::resize_file(Vendor("big.html"), (std::size_t{64} << 20) + 1);
    http.Serve("/klvsetup/list.txt", HttpResponse::Ok("big.html\nfaq.txt\n"));
    OnUpdatePages(Context());
    EXPECT_EQ(window.messages.back(),
              "Update Pages Is Now Complete!\nbig.html: The file is larger than 64 MiB");
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt"));
}

// Runs `work` in a child process whose files may not grow past `limit` bytes (a
// write beyond fails with EFBIG, as on a full disk); returns what `work` returned.
std::string WithFileSizeLimit(rlim_t limit, const std::function<std::string()>& work) {
    int pipe[2];
    EXPECT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit bound{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &bound);
        const std::string result = work();
        (void)!::write(pipe[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

TEST_F(Hardening, AWorkingFileCutShortByAFailedWriteIsShownAndNotUploaded) {
    constexpr rlim_t kLimit = 40000;
    std::string lines;
    for (int i = 0; i < 15000; ++i) {
        lines += "#\n";  // 30,000 bytes that fill in to 45,000 (CR LF line ends)
    }
    WriteFileBytes(Vendor("klvcfgcgi.txt"), lines);
    std::string blog;
    for (int i = 0; i < 1000; ++i) {
        blog += "#title#\n";  // 8,000 bytes that fill in to 201,000
    }
    WriteFileBytes(Vendor("weblogex.txt"), blog);
    WriteFileBytes(Vendor("big.html"), std::string(kLimit + 1, 'b'));
    SetList("weblogex.txt\nbig.html\nfaq.txt\n");
    FillValidForm();
    window.SetFieldText(Control::BlogTitle, std::string(200, 't'));
    const auto cannotWrite = [this](const std::string& name) {
        return "Cannot write " + Working(name).string() + ": File too large";
    };

    EXPECT_EQ(WithFileSizeLimit(kLimit,
                                [this] {
                                    OnInstallScript(Context());
                                    return window.statusLine;
                                }),
              cannotWrite("klvcfg.cgi"));
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));

    CaptureForm(window, shared.formData, config.affiliateHopUrl);
    EXPECT_EQ(WithFileSizeLimit(kLimit,
                                [this] {
                                    OnUpdatePages(Context());
                                    return window.messages.back();
                                }),
              "Update Pages Is Now Complete!\nweblogex.txt: " + cannotWrite("temp.txt") +
                  "\nbig.html: " + cannotWrite("temp.txt"));
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt"));
}

struct DropCase {
    int dropped;  // control connections cut at their first STOR
    std::vector<std::string> landed;
    std::string named;  // the completion box after its first line
};

class DroppedConnection : public Hardening, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DroppedConnection, NextPageLogsOnAgainAtMostThreeTimes) {
    InstallFirst();
    SetList("faq.txt\nstyle.css\nindex.html\nweblog.txt\nklv.jpg\nbutton.jpg\n");
    ControlProxy proxy(ftp->port(), GetParam().dropped);
    config.ftpPort = proxy.port();
    OnUpdatePages(Context());

    EXPECT_EQ(PagesOnServer(), GetParam().landed);
    EXPECT_THAT(window.messages, ElementsAre("Update Pages Is Now Complete!" + GetParam().named));
    EXPECT_EQ(proxy.connections(), std::min(GetParam().dropped + 1, 4));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, DroppedConnection,
    ::testing::Values(
        DropCase{1,
                 {"button.jpg", "index.html", "klv.jpg", "style.css", "weblog.php"},
                 "\nfaq.txt: Network error"},
        DropCase{4,
                 {},
                 "\nfaq.txt: Network error\nstyle.css: Network error\nindex.html: Network "
                 "error\nweblog.txt: Network error\nklv.jpg: the connection to the server was "
                 "lost\nbutton.jpg: the connection to the server was lost"}));

}  // namespace
}  // namespace klv::testing
