// What a hostile list, page, file system or connection can no longer do to a run, seen
// where the user sees it: the files on the server, the boxes, the status line.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>

#include "installer/text_file.h"
#include "tests/installer/workflow_fixture.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;

const std::string kBox = "Update Pages Is Now Complete!";

// Forwards FTP control connections to a real server and cuts each at the client's
// second STOR, as a server that went away would: one page lands per connection.
class ControlProxy {
public:
    explicit ControlProxy(unsigned target) {
        sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
        ::listen(listener_.get(), 4);
        at.sin_port = htons(static_cast<uint16_t>(target));
        thread_ = std::thread([this, at] {
            for (web::UniqueFd client;
                 (client = web::UniqueFd(::accept(listener_.get(), 0, 0))).valid();
                 client = web::UniqueFd()) {
                const web::UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                ::connect(server.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at),
                    ++connections;
                pollfd ends[2] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}};
                char buffer[4096];
                for (int stors = 0; ::poll(ends, 2, 10000) > 0;) {  // bounded: never hangs
                    const int from = ends[0].revents != 0 ? 0 : 1;
                    const ssize_t got = ::recv(ends[from].fd, buffer, sizeof buffer, 0);
                    if (got <= 0 ||
                        (std::string_view(buffer, got).starts_with("STOR ") && ++stors == 2)) {
                        break;
                    }
                    ::send(ends[1 - from].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
                }
            }
        });
    }
    ~ControlProxy() { ::shutdown(listener_.get(), SHUT_RDWR), thread_.join(); }  // ends the accept
    unsigned port = ClosedPort();
    std::atomic<int> connections{0};

private:
    web::UniqueFd listener_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::thread thread_;
};

class Hardening : public WorkflowTest {
protected:
    void InstallFirst() { FillValidForm(), OnInstallScript(Context()), window.messages.clear(); }
    void SetList(const std::string& list) { WriteFileBytes(Vendor("list.txt"), list); }
    [[nodiscard]] std::set<std::string> PagesOnServer() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(OnServer("www/klv"))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

TEST_F(Hardening, AFailedFirstUploadStopsAndListedNamesStayInWwwKlv) {
    FillValidForm();
    window.SetFieldText(Control::CgiPath, "www/no-such-dir");
    OnInstallScript(Context());
    EXPECT_THAT(window.messages, ElementsAre(::testing::MatchesRegex("550 .* \n550 .* \n550 .*")));
    EXPECT_THAT(RequestedTargets(), ElementsAre("/klvsetup/klvcfgcgi.txt"));
    EXPECT_TRUE(window.openedUrls.empty());

    WriteFileBytes(Vendor("my page.v2.html"), "dots and a blank inside");
    SetList("../../www/cgi-bin/klv.cgi\n/etc/x\nsub/./a\n..\\x\n\nmy page.v2.html\n");
    OnUpdatePages(Context());
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klv.cgi")));
    EXPECT_THAT(PagesOnServer(), ElementsAre("my page.v2.html"));
    const std::string leaves = R"(: the name has a "." or ".." part, which could leave www/klv/)";
    EXPECT_EQ(window.messages.back(),
              kBox + ("\n../../www/cgi-bin/klv.cgi" + leaves +
                      "\n/etc/x: the name is an absolute path\nsub/./a" + leaves +
                      "\n..\\x: the name holds a backslash\n: the name is empty"));
    for (const char* name : {"klvcfg.cgi", "klv.txt", "temp.txt"}) {
        EXPECT_EQ(ModeOf(Working(name)), 0600u) << name;  // the user's alone
    }
}

TEST_F(Hardening, RedirectsAreFollowedOnTheVendorsHostOnly) {
    InstallFirst();
    const std::string away = "http://localhost:" + std::to_string(http.port()) + "/x";
    http.Serve("/klvsetup/away.html", HttpResponse::Redirect(307, away));
    SetList("away.html\n");
    OnUpdatePages(Context());
    EXPECT_TRUE(PagesOnServer().empty());
    EXPECT_THAT(
        window.messages,
        ElementsAre(kBox + ("\naway.html: Redirect to another host not followed: " + away)));
}

TEST_F(Hardening, DownloadsAndFilledFilesAreBoundedAndAFailedWriteIsAFailure) {
    FillValidForm();
    window.SetFieldText(Control::MainEmail, std::string(255, '@'));  // 510 bytes escaped
    std::string placeholders((1u << 20) / 7, '#');
    ReplaceAll(placeholders, "#", "#email#");
    WriteFileBytes(Vendor("klvcfgcgi.txt"), placeholders);
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The filled-in script would be larger than 64 MiB");
    WriteFileBytes(Vendor("klvcfgcgi.txt"), std::string((1u << 20) + 1, 'x'));
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The file is larger than 1 MiB");
    WriteFileBytes(Vendor("big.html"), "b");
    fs::resize_file(Vendor("big.html"), (std::size_t{64} << 20) + 1);  // sparse
    SetList("big.html\nfaq.txt\n");
    OnUpdatePages(Context());
    EXPECT_EQ(window.messages.back(), kBox + ("\nbig.html: The file is larger than 64 MiB"));
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt"));

    // A working file cut short by a failed write is shown, and never uploaded.
    WriteFileBytes(Vendor("klvcfgcgi.txt"), std::string(30000, '\n'));  // fills in to 60,000
    std::string blog(1000, '#');
    ReplaceAll(blog, "#", "#title#");
    WriteFileBytes(Vendor("weblogex.txt"), blog);  // fills in to 200,000
    SetList("weblogex.txt\nfaq.txt\n");
    window.SetFieldText(Control::BlogTitle, std::string(200, 't'));
    rlimit saved{};  // files may not grow past 40,000 bytes: a write beyond fails (EFBIG)
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit bound{40000, saved.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &bound);
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine,
              "Cannot write " + Working("klvcfg.cgi").string() + ": File too large");
    OnUpdatePages(Context());
    EXPECT_EQ(window.messages.back(), kBox + ("\nweblogex.txt: Cannot write " +
                                              Working("temp.txt").string() + ": File too large"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt"));
}

TEST_F(Hardening, APageAfterALostConnectionLogsOnAgainAtMostThreeTimes) {
    InstallFirst();
    SetList(
        "faq.txt\nstyle.css\nindex.html\nweblog.txt\nklv.jpg\nbutton.jpg\nfaq.txt\n"
        "index.html\nweblogex.txt\n");
    ControlProxy proxy(ftp->port());
    config.ftpPort = proxy.port;
    OnUpdatePages(Context());
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt", "index.html", "klv.jpg"));
    EXPECT_THAT(
        window.messages,
        ElementsAre(kBox + ("\nstyle.css: Network error\nweblog.txt: Network error\nbutton.jpg: "
                            "Network error\nindex.html: Network error\nweblogex.txt: the "
                            "connection to the server was lost")));
    EXPECT_EQ(proxy.connections, 4);
}

}  // namespace
}  // namespace klv::testing
