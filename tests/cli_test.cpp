// The command line, as cron runs it: the built program (with the loopback servers'
// endpoints, tests/cli_main.cpp) under `env -u DISPLAY`, with nothing else in its
// environment (no session bus), no terminal, against pyftpdlib and the sample vendor site.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <thread>

#include "app/command_line.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kSetupPage = "http://blog.example.org/cgi/klv.cgi?data=setup\n";
constexpr std::string_view kKlvConf =
    "[form]\nUsername=ann\nServer=127.0.0.1\nHTTPCGIPath=http://blog.example.org/cgi\n"
    "MainEmail=owner@example.org\nPayPalEmail=pay@example.org\nBlogTitle=Ann's Blog\n";

struct Ran {
    int status;
    std::string out, err;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
        for (const char* directory : {"home/www/cgi-bin", "home/www/klv", "config/klv", "run"}) {
            fs::create_directories(scratch.path / directory);
        }
        fs::permissions(scratch.path / "run", fs::perms(0700));
        WriteFile(scratch / "ftp.pw", "s3cret\n");
        WriteFile(scratch / "blog.pw", "opensesame");
        WriteFile(scratch / "open.pw", "s3cret\n");
        fs::permissions(scratch / "ftp.pw", fs::perms(0600));
        fs::permissions(scratch / "blog.pw", fs::perms(0400));
        fs::permissions(scratch / "open.pw", fs::perms(0644));
    }
    void Serve(std::vector<std::string> routes = {}, std::vector<std::string> ftpOptions = {}) {
        routes.insert(routes.begin(), {"http", vendor.path, scratch / "http.log"});
        http.emplace(routes);
        ftpOptions.insert(ftpOptions.begin(), {"pyftpd", scratch / "home", "ann", "s3cret"});
        ftp.emplace(ftpOptions);
    }
    pid_t Start(const std::vector<std::string>& args, std::vector<std::string> env = {},
                std::vector<std::string> argv = {}) {
        argv.insert(argv.end(), {"/usr/bin/env", "-u", "DISPLAY", KLV_UNDER_TEST});
        argv.insert(argv.end(), args.begin(), args.end());
        for (std::string& arg : argv) {  // "@name": the file scratch/name
            arg = arg.starts_with("@") ? scratch / arg.substr(1) : arg;
        }
        env.insert(env.end(), {"HOME=" + scratch / "user", "XDG_CONFIG_HOME=" + scratch / "config",
                               "XDG_RUNTIME_DIR=" + scratch / "run"});
        if (std::none_of(env.begin(), env.end(), [](auto& v) { return v.starts_with("PATH="); })) {
            env.push_back("PATH=/usr/bin:/bin");
        }
        if (http) {
            env.push_back("KLV_TEST_VENDOR_BASE_URL=" + http->Url());
            env.push_back("KLV_TEST_FTP_PORT=" + std::to_string(ftp->port));
        }
        return StartProgram(argv, env, scratch / "out", scratch / "err");
    }
    Ran Klv(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        const int status = WaitFor(Start(args, std::move(env)));
        return {status, ReadFile(scratch / "out"), ReadFile(scratch / "err")};
    }
    std::string Conf() const { return ReadFile(scratch / "config/klv/klv.conf"); }
    std::string Home(const std::string& name) const {
        return ReadFile(scratch.path / "home" / name);
    }
    bool NoWorkingFilesLeft() const { return fs::is_empty(scratch / "run"); }

    Scratch scratch, vendor;
    std::optional<LocalServer> http, ftp;
};

// One run of a command: where its values come from, what it prints and how it ends.
struct Row {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env = {};
    bool klvConf = false;  // the window's remembered values (kKlvConf) are there
    std::vector<std::string> routes = {};
    int status = 0;
    const char* err = "";  // standard error holds it
    std::string_view out = "";
    const char* landed = nullptr;  // a file on the host that must hold this run's values
    const char* holds = "";
};

const std::vector<std::string> kAccount{"--server", "127.0.0.1", "--username", "ann"};
std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class CommandRuns : public Cli, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandRuns, EndWithTheirStatusAndLeaveTheRememberedValuesAndNoWorkingFiles) {
    const Row& row = GetParam();
    Serve(row.routes);
    if (row.klvConf) {
        WriteFile(scratch / "config/klv/klv.conf", kKlvConf);
    }
    const Ran ran = Klv(row.args, row.env);
    EXPECT_EQ(ran.status, row.status) << ran.err;
    EXPECT_THAT(ran.err, HasSubstr(row.err));
    if (row.status == 0 && std::find(row.args.begin(), row.args.end(), "-q") != row.args.end()) {
        EXPECT_EQ(ran.err, "");  // --quiet: only failures
    }
    EXPECT_EQ(ran.out, row.out);
    if (row.landed != nullptr) {
        EXPECT_THAT(Home(row.landed), HasSubstr(row.holds));
    }
    EXPECT_EQ(Conf(), row.klvConf ? kKlvConf : "");  // written by the window alone
    EXPECT_TRUE(NoWorkingFilesLeft());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, CommandRuns, ::testing::Values(
    Row{"UpdatePagesTakesOptionsAndPasswordFiles",
        With({"update-pages", "--password-file", "@ftp.pw", "--blog-password-file", "@blog.pw",
              "--blog-title", "Bob's"}, kAccount),
        {}, false, {}, 0, "klv: Update Pages Is Now Complete! (7 pages)\n", "",
        "www/klv/weblogex.php", "$blog_title = \"Bob's\";\n$blog_password = \"opensesame\";"},
    Row{"UpdatePagesTakesKlvConfAndTheEnvironmentAndQuietPrintsNothing", {"update-pages", "-q"},
        {"KLV_PASSWORD=s3cret", "KLV_BLOG_PASSWORD=env blog"}, true, {}, 0, "", "",
        "www/klv/weblogex.php", "$blog_title = \"Ann's Blog\";\n$blog_password = \"env blog\";"},
    Row{"InstallScriptPrintsTheTranscriptAndTheSetUpPage", {"install-script"},
        {"KLV_PASSWORD=s3cret"}, true, {}, 0, "the server's replies:\nklv:   226", kSetupPage,
        "www/cgi-bin/klvcfg.cgi", "owner\\@example.org"},
    Row{"InstallScriptValidatesAsTheWindowDoes", With({"install-script", "--paypal-email", ""},
        kAccount), {"KLV_PASSWORD=s3cret"}, true, {}, 2,
        "klv: You MUST Enter A PayPal Email, A StormPay Email Or Both!\n"},
    Row{"AnIncompleteFormIsRefusedBeforeAnyPasswordIsSought", {"install-script", "--server", ""},
        {}, true, {}, 2, "klv: You MUST Fill In ALL Fields Before Uploading!\n"},
    Row{"UpdatePagesNeedsServerUsernameAndPassword", {"update-pages", "--username", "ann"},
        {"KLV_PASSWORD=s3cret"}, false, {}, 2, "You MUST Fill In ALL Fields Before Uploading!"},
    Row{"APasswordFileIsARegularFile",
        With({"update-pages", "--password-file", "/dev/null"}, kAccount), {}, false, {}, 2,
        "not a regular file"},
    Row{"APasswordFileOthersMayReadIsRefused",
        With({"update-pages", "--password-file", "@open.pw"}, kAccount), {}, false, {}, 2,
        "open.pw: refused, since others may read or change it (mode 0644)"},
    Row{"WithoutAnySourceOrTerminalTheKeyringIsSaidOnceAndTheRunRefused",
        {"install-script"}, {}, true, {}, 2,
        "klv: the desktop keyring is not available (Cannot autolaunch D-Bus without X11 $DISPLAY);"
        " not asking it\nklv: no FTP password: give it with --password-file"},
    Row{"AWrongPasswordEndsWithTheServersReply", With({"update-pages"}, kAccount),
        {"KLV_PASSWORD=wrong", "KLV_BLOG_PASSWORD=x"}, false, {}, 3, "klv: 530 "},
    Row{"APageThatDidNotLandIsNamed", With({"update-pages", "-q"}, kAccount),
        {"KLV_PASSWORD=s3cret", "KLV_BLOG_PASSWORD=x"}, false, {"/klvsetup/faq.txt=404 Not Found"},
        1, "klv: 1 of 7 pages did not land:\nklv:   faq.txt: "},
    Row{"AFailedPageListIsTheVendorsFailure", With({"update-pages"}, kAccount),
        {"KLV_PASSWORD=s3cret", "KLV_BLOG_PASSWORD=x"}, false,
        {"/klvsetup/list.txt=500 Internal Server Error"}, 4, "500"},
    Row{"PasswordsAreNeverArguments", {"update-pages", "--password=s3cret"}, {}, false, {}, 2,
        "passwords are never taken on the command line"},
    Row{"AnyOtherFirstArgumentIsAUsageError", {"frobnicate"}, {}, false, {}, 2,
        "unknown command \"frobnicate\"\n\nUsage: klv "},
    Row{"OpenIsForInstallScriptAlone", {"update-pages", "--open"}, {}, false, {}, 2,
        "unknown option --open"},
    Row{"VersionIsPrinted", {"--version"}, {}, false, {}, 0, "", "klv 1.0.0.1\n"}), RowName);
// clang-format on

TEST_F(Cli, OnATerminalThePasswordsAreAskedForWithoutEchoAndTheProgressFitsTheLine) {
    Serve();
    // script(1) gives the program a terminal 50 columns wide; each answer is typed once its
    // prompt shows.
    const pid_t klv =
        Start(With({"update-pages"}, kAccount), {},
              {"/bin/sh", "-c",
               "answer() { for i in $(seq 100); do grep -q \"$1\" \"$0\" && break; sleep 0.1; done;"
               " echo \"$2\"; }; { answer 'FTP password for ann@127.0.0.1: ' s3cret;"
               " answer 'Blog password for' typed; } | script -qec \"stty cols 50; $*\" /dev/null",
               scratch / "out"});
    EXPECT_EQ(WaitFor(klv), 0);
    EXPECT_THAT(Home("www/klv/weblogex.php"), HasSubstr("$blog_password = \"typed\";"));
    const std::string shown = ReadFile(scratch / "out");
    EXPECT_THAT(shown, Not(HasSubstr("s3cret")));  // never shown
    EXPECT_THAT(shown, Not(HasSubstr("typed")));
    // Each redraw of the progress line: a bar 24 wide (dots while the count is not known),
    // the page's number and what goes on, cut to the 49 columns left of the last.
    std::size_t bars = 0, cut = 0, full = 0;
    for (std::size_t at = shown.find("\r\033[K["); at != std::string::npos;
         at = shown.find("\r\033[K[", at + 1)) {
        const std::string bar = shown.substr(at + 4, shown.find_first_of("\r\n", at + 1) - at - 4);
        EXPECT_THAT(bar, ::testing::MatchesRegex("\\[([-#]{24}|\\.{24})\\] .+")) << bar;
        EXPECT_LE(bar.size(), 49u) << bar;
        ++bars;
        cut += bar.size() == 49 ? 1 : 0;
        full += bar.starts_with("[" + std::string(24, '#') + "]") ? 1 : 0;
    }
    EXPECT_GT(bars, 0u);
    EXPECT_GT(cut, 0u);  // "Downloading Current KLV Pages From Kolvane" does not fit
    EXPECT_GT(full, 0u);
}

TEST_F(Cli, OpenHandsTheSetUpPageToXdgOpenWithTheSignalsOfANewProgram) {
    Serve();
    WriteFile(scratch / "config/klv/klv.conf", kKlvConf);
    fs::create_directories(scratch / "bin");
    // What the program opened, and how the opener was started.
    WriteFile(scratch / "bin/xdg-open",  // the masks read first, by the shell itself: no fork
              "#!/bin/sh\nwhile read -r key value; do case $key in SigBlk:|SigIgn:) masks=\"$masks "
              "$value\";; esac; done < /proc/$$/status\nout=$(readlink /proc/$$/fd/1)\n"
              "echo \"$1 $masks $out\" > \"$0.part\" && mv \"$0.part\" \"$0.txt\"\n");
    fs::permissions(scratch / "bin/xdg-open", fs::perms(0755));
    // Started as nohup starts a program: those signals ignored; the opener must not be.
    const pid_t klv = Start({"install-script", "--open"},
                            {"KLV_PASSWORD=s3cret", "PATH=" + scratch / "bin" + ":/usr/bin:/bin"},
                            {"/bin/sh", "-c", "trap '' INT TERM PIPE; exec \"$@\"", "sh"});
    EXPECT_EQ(WaitFor(klv), 0);
    EXPECT_EQ(ReadFile(scratch / "out"), kSetupPage);
    for (int wait = 0; wait < 100 && !fs::exists(scratch / "bin/xdg-open.txt"); ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    std::istringstream opened(ReadFile(scratch / "bin/xdg-open.txt"));
    std::string url, blocked, ignored, output;
    opened >> url >> blocked >> ignored >> output;
    EXPECT_EQ(url + '\n', kSetupPage);
    ASSERT_FALSE(ignored.empty());
    EXPECT_EQ(std::stoull(blocked, nullptr, 16), 0u);
    const unsigned long long kNewProgramsDefaults =
        1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1) | 1ull << (SIGPIPE - 1);
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & kNewProgramsDefaults, 0u) << ignored;
    EXPECT_EQ(output, "/dev/null");  // standard output holds the run's result alone
}

struct Stop {
    const char* name;
    int signal;
    int status;
};

class Signals : public Cli, public ::testing::WithParamInterface<Stop> {};

TEST_P(Signals, CancelTheRunWithinASecondAndRemoveTheWorkingFiles) {
    Serve({"/klvsetup/weblog.txt=silent"});  // the first page never arrives
    const pid_t klv =
        Start(With({"update-pages"}, kAccount), {"KLV_PASSWORD=s3cret", "KLV_BLOG_PASSWORD=x"});
    for (int wait = 0;
         wait < 200 && ReadFile(scratch / "err").find("To Your Server") == std::string::npos;
         ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(NoWorkingFilesLeft());
    // The other sessions send the six other pages meanwhile.
    const auto pagesOnTheHost = [&] {
        const fs::directory_iterator pages(scratch.path / "home/www/klv");
        return std::distance(fs::begin(pages), fs::end(pages));
    };
    for (int wait = 0; wait < 200 && pagesOnTheHost() < 6; ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    const auto sent = std::chrono::steady_clock::now();
    ::kill(klv, GetParam().signal);
    EXPECT_EQ(WaitFor(klv), GetParam().status);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_THAT(ReadFile(scratch / "err"),  // the sixth may still be under way
                ::testing::ContainsRegex("klv: cancelled after [56] of 7 pages\n"));
    EXPECT_TRUE(NoWorkingFilesLeft());
}

INSTANTIATE_TEST_SUITE_P(Cli, Signals,
                         ::testing::Values(Stop{"Interrupt", SIGINT, 130},
                                           Stop{"Terminate", SIGTERM, 143}),
                         RowName);

TEST_F(Cli, AChangedCertificateIsRefusedWithItsFingerprintUntilTrustNamesIt) {
    ASSERT_EQ(std::system(("cd " + scratch.path.string() +
                           " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=klv"
                           " -keyout cert.key -out cert.crt 2>/dev/null")
                              .c_str()),
              0);
    Serve({}, {"tls=" + scratch / "cert"});
    const std::vector<std::string> pages = With({"update-pages", "-q"}, kAccount);
    const std::vector<std::string> passwords{"KLV_PASSWORD=s3cret", "KLV_BLOG_PASSWORD=x"};
    // Another certificate was trusted for this host before.
    WriteFile(scratch / "config/klv/klv.conf",
              "[TrustedCertificates]\n127.0.0.1%253A" + std::to_string(ftp->port) + "=AB:CD\n");
    const Ran refused = Klv(pages, passwords);
    EXPECT_EQ(refused.status, 3);
    EXPECT_THAT(refused.err, HasSubstr("has CHANGED since you trusted it"));
    const std::size_t at = refused.err.find("fingerprint: SHA256:");
    ASSERT_NE(at, std::string::npos) << refused.err;
    const std::string openssh = refused.err.substr(at + 13, 7 + 43);
    const std::size_t next = refused.err.find('\n', at) + 1;  // the colon hex form under it
    const std::string hex = refused.err.substr(refused.err.find_first_not_of("klv: ", next), 95);
    EXPECT_THAT(refused.err, HasSubstr("run again with --trust " + openssh));
    EXPECT_EQ(app::OpenSshFingerprint(hex), openssh);

    EXPECT_EQ(Klv(With(pages, {"--trust", "SHA256:" + std::string(43, 'A')}), passwords).status, 3);
    EXPECT_EQ(Klv(With(pages, {"--trust", openssh}), passwords).status, 0);
    EXPECT_THAT(Conf(), HasSubstr(hex));  // trusted as the window trusts it: from now on
    EXPECT_EQ(Klv(pages, passwords).status, 0);
    EXPECT_TRUE(app::SameFingerprint(hex, hex) && !app::SameFingerprint(openssh.substr(1), hex));
}

}  // namespace
}  // namespace klv::testing
