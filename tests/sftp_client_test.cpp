// The SFTP client against OpenSSH's sshd (testkit/servers.py sshd: Debian's sshd with host
// keys and a configuration made for the test, on a loopback port): uploads in both types,
// the chmod, paths, the logons and their refusals, and host keys known, unknown and changed.
// The workflows over SFTP are in tests/workflow_test.cpp, its waits in tests/wait_test.cpp.
#include "ftp/sftp_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <optional>

#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;

// `count` bytes of lines that end in CR LF, with one CR LF split across the client's
// 128 KiB pieces and a lone CR last.
std::string Script(std::size_t count) {
    std::string text = "#!/usr/bin/perl\r\nlone LF\nlone CR\rCR CR LF\r\r\n";
    while (text.size() < count) {
        text += "print \"line\";\r\n";
    }
    text.resize(count);
    text[128 * 1024 - 1] = '\r';
    text[128 * 1024] = '\n';
    text.back() = '\r';
    return text;
}

// The fingerprint of a public key file, as ssh-keygen -l shows it.
std::string Fingerprint(const std::string& publicKey, const Scratch& scratch) {
    EXPECT_EQ(Process({"ssh-keygen", "-l", "-f", publicKey}, scratch / "fingerprint").Wait(), 0);
    std::string bits, fingerprint;
    std::istringstream(ReadFile(scratch / "fingerprint")) >> bits >> fingerprint;
    return fingerprint;
}

// sshd serving user "klv" (password "s3cret") whose home holds www/cgi-bin and www/klv,
// with the host key "hostkey"; "otherkey" is a key it does not have.
class SshHost {
public:
    explicit SshHost(const std::string& auth = "password") {
        EXPECT_EQ(Process({"ssh-keygen", "-q", "-t", "ecdsa", "-N", "", "-f", scratch / "otherkey"})
                      .Wait(),
                  0);
        StartSshd(server, scratch, auth);
        WriteFile(scratch / "known_hosts",
                  KnownHost(server->host, server->port, scratch / "hostkey.pub"));
    }
    // A logon as "klv" that trusts what known_hosts says and asks nobody.
    sftp::LogonRequest Logon(std::string password = "s3cret") const {
        sftp::LogonRequest request;
        request.host = server->host;
        request.port = server->port;
        request.user = "klv";
        request.password = std::move(password);
        request.trust.knownHostsFile = scratch / "known_hosts";
        return request;
    }
    std::string Home(const std::string& name) const { return scratch / ("home/" + name); }
    std::string Local(const std::string& name, const std::string& bytes) const {
        WriteFile(scratch / name, bytes);
        return scratch / name;
    }
    // Whether the client got as far as asking for a logon.
    std::size_t AuthRequests() const { return Count("userauth-request"); }
    // The lines of sshd's log that hold `what`.
    std::size_t Count(const std::string& what) const {
        const std::vector<std::string> lines = Lines(scratch.path / "sshd.log");
        return std::count_if(lines.begin(), lines.end(), [&what](const std::string& line) {
            return line.find(what) != std::string::npos;
        });
    }

    Scratch scratch;
    std::optional<LocalServer> server;
};

// One session for every file: text with each CR LF made LF, an image byte for byte, paths
// relative to the logon directory or absolute, a chmod to 0755, a refusal that leaves the
// session usable.
TEST(Sftp, PutsTextAndImagesOverOneSessionAndMakesScriptsExecutable) {
    SshHost host;
    sftp::SftpClient client;
    client.setIdleTimeout(5s);
    ASSERT_TRUE(client.LogOn(host.Logon())) << client.replyText();

    const std::string script = Script(300 * 1024);
    ASSERT_TRUE(
        client.Put("www/cgi-bin/klv.cgi", host.Local("script", script), ftp::TransferType::Ascii))
        << client.replyText();
    EXPECT_EQ(client.replyText(), "put www/cgi-bin/klv.cgi: OK");
    std::string expected = script;
    for (std::size_t at = 0; (at = expected.find("\r\n", at)) != std::string::npos;) {
        expected.erase(at, 1);
    }
    EXPECT_EQ(ReadFile(host.Home("www/cgi-bin/klv.cgi")), expected);
    EXPECT_EQ(ModeOf(host.Home("www/cgi-bin/klv.cgi")), 0644u);

    ASSERT_TRUE(client.MakeExecutable("www/cgi-bin/klv.cgi"));
    EXPECT_EQ(client.replyText(), "chmod 0755 www/cgi-bin/klv.cgi: OK");
    EXPECT_EQ(ModeOf(host.Home("www/cgi-bin/klv.cgi")), 0755u);

    std::string image(200 * 1024, '\0');
    std::iota(image.begin(), image.end(), '\0');  // every byte value
    ASSERT_TRUE(client.Put(host.Home("www/klv/image.jpg"), host.Local("image", image),
                           ftp::TransferType::Image));
    EXPECT_EQ(ReadFile(host.Home("www/klv/image.jpg")), image);

    EXPECT_FALSE(
        client.Put("www/missing/page.html", host.Local("image", image), ftp::TransferType::Image));
    EXPECT_EQ(client.replyText(), "put www/missing/page.html: No such file");
    EXPECT_FALSE(client.MakeExecutable("www/missing/klv.cgi"));
    EXPECT_EQ(client.replyText(), "chmod 0755 www/missing/klv.cgi: No such file");
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(client.Put("empty.html", host.Local("empty", ""), ftp::TransferType::Ascii));
    EXPECT_EQ(ReadFile(host.Home("empty.html")), "");

    client.LogOff();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(host.Count("Accepted password"), 1u);  // one logon for every file
}

// The session's logon directory over sftp:// is the canonical path of the user's home; a
// listing holds the regular files with the size stored and the time in seconds.
TEST(Sftp, NamesTheLogonDirectoryAndListsTheRegularFiles) {
    SshHost host;
    FakeWindow window;
    window.trustCertificates = true;
    SharedState shared;
    const Config config{"", "", 21, 5s};
    Session session;
    const std::string server = "sftp://127.0.0.1:" + std::to_string(host.server->port);
    ASSERT_TRUE(LogOn({window, shared, config}, session, {server, "klv", "s3cret"}).ok());
    ASSERT_TRUE(PutFile(session, {host.Local("page", "a\r\nb\r\n"), "www/klv/page one.html"}).ok());
    ASSERT_TRUE(PutFile(session, {host.Local("image", std::string(3000, 'x')), "www/klv/i.jpg",
                                  ftp::TransferType::Image})
                    .ok());
    fs::create_directory(host.Home("www/klv/sub dir"));
    std::string directory;
    ASSERT_TRUE(LoginDirectory(session, directory).ok());
    EXPECT_EQ(directory, fs::canonical(host.Home("")).string());
    std::vector<ftp::ListedFile> files;
    ASSERT_TRUE(ListDirectory(session, "www/klv", files).ok()) << session.lastReply();
    std::ranges::sort(files, {}, &ftp::ListedFile::name);
    const auto seconds = [&host](const std::string& name) {
        struct stat status {};
        ::stat(host.Home("www/klv/" + name).c_str(), &status);
        return std::to_string(status.st_mtime);
    };
    EXPECT_EQ(files,
              (std::vector<ftp::ListedFile>{{"i.jpg", 3000, seconds("i.jpg")},
                                            {"page one.html", 4, seconds("page one.html")}}));
    EXPECT_EQ(ListDirectory(session, "www/none", files).text(), "list www/none: No such file");
    EXPECT_TRUE(files.empty() && session.connected());
}

struct Logon {
    const char* name;
    std::string auth;  // what sshd takes: "password" or "kbdint"
    std::string password;
    std::string reply{};  // empty: logged on
};
// clang-format off
const Logon kLogons[] = {
    {.name = "Password", .auth = "password", .password = "s3cret"},
    {.name = "KeyboardInteractive", .auth = "kbdint", .password = "s3cret"},
    {.name = "WrongPassword", .auth = "password", .password = "wrong",
     .reply = "Access denied for 'password'. Authentication that can continue: password"},
};
// clang-format on
class Logons : public ::testing::TestWithParam<Logon> {};

TEST_P(Logons, LogOnWithThePasswordOrSayWhyNot) {
    const Logon& logon = GetParam();
    SshHost host(logon.auth);
    sftp::SftpClient client;
    EXPECT_EQ(client.LogOn(host.Logon(logon.password)), logon.reply.empty());
    EXPECT_EQ(client.replyText(), logon.reply);
    EXPECT_EQ(client.connected(), logon.reply.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, Logons, ::testing::ValuesIn(kLogons), RowName);

TEST(Sftp, NothingListeningIsUnableToConnect) {
    sftp::SftpClient client;
    sftp::LogonRequest request;
    request.host = "127.0.0.1";
    request.port = kClosedPort;
    EXPECT_FALSE(client.LogOn(request));
    EXPECT_EQ(client.replyText(), ftp::kUnableToConnect);
}

struct HostKeyCase {
    const char* name;
    std::string userFile{};    // "hostkey", "otherkey" or nothing: what known_hosts holds
    std::string globalFile{};  // the same for the system's file
    std::string store{};       // "hostkey", "otherkey" or nothing: the program's store
    bool asked = false;        // the user is asked
    bool changed = false;      // and told that the key changed
    bool trust = false;        // the answer: "Trust this key", else "Cancel"
};
// clang-format off
const HostKeyCase kHostKeys[] = {
    {.name = "KnownToTheSystem", .globalFile = "hostkey"},
    {.name = "TrustedInTheStore", .store = "hostkey"},
    {.name = "TrustedInTheStoreThoughAnotherIsKnown", .userFile = "otherkey", .store = "hostkey"},
    {.name = "UnknownCancelled", .asked = true},
    {.name = "UnknownTrusted", .asked = true, .trust = true},
    {.name = "ChangedInKnownHostsCancelled", .userFile = "otherkey", .asked = true, .changed = true},
    {.name = "ChangedInTheStore", .store = "otherkey", .asked = true, .changed = true},
};
// clang-format on
class HostKeys : public ::testing::TestWithParam<HostKeyCase> {};

// A key is taken when it is known or trusted; else the user sees the host, the port, the
// key's type and its fingerprint, told plainly when another key was known. "Cancel" ends the
// connection before anything follows the key exchange: no user name, no password.
TEST_P(HostKeys, KnownKeysPassTheOthersAreAskedAboutAndCancelSendsNothing) {
    const HostKeyCase& hostKey = GetParam();
    SshHost host;
    const auto keyFile = [&host](const std::string& key) {
        return key.empty() ? std::string() : host.scratch / (key + ".pub");
    };
    sftp::LogonRequest request = host.Logon();
    request.trust.knownHostsFile = host.scratch / "user_known_hosts";
    request.trust.globalKnownHostsFile = host.scratch / "global_known_hosts";
    if (!hostKey.userFile.empty()) {
        WriteFile(request.trust.knownHostsFile,
                  KnownHost(host.server->host, host.server->port, keyFile(hostKey.userFile)));
    }
    if (!hostKey.globalFile.empty()) {
        WriteFile(request.trust.globalKnownHostsFile,
                  KnownHost(host.server->host, host.server->port, keyFile(hostKey.globalFile)));
    }
    if (!hostKey.store.empty()) {
        request.trust.trustedFingerprint = Fingerprint(keyFile(hostKey.store), host.scratch);
    }
    std::vector<sftp::HostKeyInfo> asked;
    request.trust.askTrust = [&asked, &hostKey](const sftp::HostKeyInfo& key) {
        return asked.push_back(key), hostKey.trust;
    };
    sftp::SftpClient client;
    const bool loggedOn = client.LogOn(request);

    ASSERT_EQ(asked.size(), hostKey.asked ? 1u : 0u);
    EXPECT_EQ(loggedOn, !hostKey.asked || hostKey.trust) << client.replyText();
    if (hostKey.asked) {
        EXPECT_EQ(asked[0].host, "127.0.0.1");
        EXPECT_EQ(asked[0].port, host.server->port);
        EXPECT_EQ(asked[0].keyType, "ssh-ed25519");
        EXPECT_EQ(asked[0].fingerprint, Fingerprint(keyFile("hostkey"), host.scratch));
        EXPECT_EQ(asked[0].changed, hostKey.changed);
    }
    if (!loggedOn) {
        EXPECT_EQ(client.replyText(),
                  hostKey.changed ? sftp::kHostKeyChanged : sftp::kHostKeyNotTrusted);
        EXPECT_EQ(host.AuthRequests(), 0u);
    } else {
        EXPECT_GE(host.AuthRequests(), 1u);  // the log shows them when they come
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostKeys, ::testing::ValuesIn(kHostKeys), RowName);

}  // namespace
}  // namespace klv::testing
