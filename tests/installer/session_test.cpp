// The session operations against a scripted server: the exact commands they send, what
// they leave in statusText, and what they show.
#include "installer/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/workflows.h"
#include "tests/installer/workflow_fixture.h"
#include "tests/support/ftp/fake_ftp_server.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        config.ftpPort = server.port();
        WriteFileBytes(script, "#!/bin/sh\r\necho hi\r\n");
    }

    SessionArguments Arguments(std::string remotePath, int chmodAfter = 1) const {
        SessionArguments arguments;
        arguments.server = "127.0.0.1";
        arguments.user = "ann";
        arguments.password = "pw";
        arguments.localPath = script.string();
        arguments.remotePath = std::move(remotePath);
        arguments.chmodAfter = chmodAfter;
        return arguments;
    }

    FakeFtpServer& LogonAndStore(const std::string& remotePath) {
        return server.Reply("220 hello\r\n")
            .Expect("AUTH TLS")
            .Reply("500 AUTH not understood\r\n")
            .Expect("USER ann")
            .Reply("331 password\r\n")
            .Expect("PASS pw")
            .Reply("230 in\r\n")
            .Expect("TYPE A")
            .Reply("200 type A\r\n")
            .ExpectStartingWith("PORT 127,0,0,1,")
            .Reply("200 port ok\r\n")
            .Expect("STOR " + remotePath)
            .Reply("150 go ahead\r\n")
            .ConnectData()
            .ReceiveData()
            .CloseData()
            .Reply("226 stored\r\n");
    }

    InstallerContext Context() { return {window, shared, config}; }

    ScratchDirectory scratch;
    fs::path script = scratch.path() / "klvcfg.cgi";
    FakeFtpServer server;
    FakeWindow window;
    SharedState shared;
    Config config;
};

TEST_F(SessionTest, UploadOnceStoresChangesDirectoryChmodsAndQuitsAfterTheTranscriptBox) {
    LogonAndStore("www/cgi-bin/klvcfg.cgi")
        .Expect("CWD www/cgi-bin")
        .Reply("250 directory changed\r\n")
        .Expect("SITE chmod 755 klvcfg.cgi")
        .Reply("200 mode changed\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();
    shared.showTranscript = 1;
    window.onMessage = [&](const std::string&) {
        EXPECT_THAT(server.transcript(), Not(HasSubstr("QUIT")));
    };

    EXPECT_TRUE(UploadOnce(Context(), Arguments("www/cgi-bin/klvcfg.cgi")));
    server.Finish();

    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.receivedData(), "#!/bin/sh\r\necho hi\r\n");
    EXPECT_THAT(window.messages,
                ElementsAre("226 stored \n250 directory changed \n200 mode changed"));
    EXPECT_EQ(shared.statusText, "If Script Upload OK, Then Update Pages");
}

struct RemotePathCase {
    std::string remotePath;
    std::string cwdLine;
    std::string chmodLine;
};

class UploadOnceRemotePath : public SessionTest,
                             public ::testing::WithParamInterface<RemotePathCase> {};

TEST_P(UploadOnceRemotePath, SplitsThePathAtItsLastSlash) {
    const RemotePathCase& c = GetParam();
    LogonAndStore(c.remotePath)
        .Expect(c.cwdLine)
        .Reply("250 ok\r\n")
        .Expect(c.chmodLine)
        .Reply("200 ok\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();
    EXPECT_TRUE(UploadOnce(Context(), Arguments(c.remotePath)));
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_THAT(window.messages, IsEmpty());  // showTranscript is 0
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UploadOnceRemotePath,
    ::testing::Values(RemotePathCase{"www/cgi-bin/klvcfg.cgi", "CWD www/cgi-bin",
                                     "SITE chmod 755 klvcfg.cgi"},
                      RemotePathCase{"a/b/c.cgi", "CWD a/b", "SITE chmod 755 c.cgi"},
                      RemotePathCase{"/klv.cgi", "CWD ", "SITE chmod 755 klv.cgi"},
                      RemotePathCase{"klv.cgi", "CWD ", "SITE chmod 755 klv.cgi"}));

TEST_F(SessionTest, ChmodAfterOtherThanOneSendsNeitherCwdNorChmod) {
    for (int chmodAfter : {0, 2}) {
        FakeFtpServer plain;
        config.ftpPort = plain.port();
        plain.Reply("220 hello\r\n")
            .Expect("AUTH TLS")
            .Reply("500 AUTH not understood\r\n")
            .Expect("USER ann")
            .Reply("230 in\r\n")
            .Expect("TYPE A")
            .Reply("200 ok\r\n")
            .ExpectStartingWith("PORT ")
            .Reply("200 ok\r\n")
            .Expect("STOR klv.cgi")
            .Reply("150 go\r\n")
            .ConnectData()
            .ReceiveData()
            .CloseData()
            .Reply("226 stored\r\n")
            .Expect("QUIT")
            .WaitForClose();
        plain.Start();
        shared.showTranscript = 2;  // only exactly 1 shows the box
        EXPECT_TRUE(UploadOnce(Context(), Arguments("klv.cgi", chmodAfter)));
        plain.Finish();
        EXPECT_THAT(plain.errors(), IsEmpty()) << chmodAfter;
    }
    EXPECT_THAT(window.messages, IsEmpty());
}

TEST_F(SessionTest, ARefusedStoreStillChmodsAndCountsAsLoggedOn) {
    server.Reply("220 hello\r\n")
        .Expect("AUTH TLS")
        .Reply("500 AUTH not understood\r\n")
        .Expect("USER ann")
        .Reply("230 in\r\n")
        .Expect("TYPE A")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR www/x.cgi")
        .Reply("553 not allowed\r\n")
        .Expect("CWD www")
        .Reply("250 ok\r\n")
        .Expect("SITE chmod 755 x.cgi")
        .Reply("550 no such file\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();
    shared.showTranscript = 1;
    EXPECT_TRUE(UploadOnce(Context(), Arguments("www/x.cgi")));
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_THAT(window.messages, ElementsAre("553 not allowed \n250 ok \n550 no such file"));
    EXPECT_EQ(shared.statusText, "If Script Upload OK, Then Update Pages");
}

TEST_F(SessionTest, AFailedLogonShowsOneBoxAndSendsNoQuit) {
    server.Reply("220 hello\r\n")
        .Expect("AUTH TLS")
        .Reply("500 AUTH not understood\r\n")
        .Expect("USER ann")
        .Reply("331 password\r\n")
        .Expect("PASS pw")
        .Reply("530 Login incorrect: 100% wrong\r\n")
        .WaitForClose();
    server.Start();
    EXPECT_FALSE(UploadOnce(Context(), Arguments("x.cgi")));
    server.Finish();
    EXPECT_THAT(window.messages, ElementsAre("530 Login incorrect: 100% wrong"));
    EXPECT_EQ(shared.statusText, "530 Login incorrect: 100% wrong");
    EXPECT_THAT(server.transcript(), Not(HasSubstr("QUIT")));
}

TEST_F(SessionTest, ATransferRefusedWith425IsTriedOnceMoreInPassiveMode) {
    const unsigned passivePort = server.OpenPassiveListener();
    server.Reply("220 hello\r\n")
        .Expect("AUTH TLS")
        .Reply("500 AUTH not understood\r\n")
        .Expect("USER ann")
        .Reply("230 in\r\n")
        .Expect("TYPE A")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR page.html")
        .Reply("425 Can't open data connection\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(passivePort))
        .Expect("STOR page.html")
        .Reply("150 go\r\n")
        .AcceptData()
        .ReceiveData()
        .CloseData()
        .Reply("226 stored\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();
    ASSERT_TRUE(SessionLogOn(Context(), Arguments("")));
    EXPECT_TRUE(SessionPutPage(Context(), Arguments("page.html", 0)));
    SessionLogOff(Context());
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.receivedData(), "#!/bin/sh\r\necho hi\r\n");
}

TEST_F(SessionTest, AFileTheServerRefusesIsNotRetriedAndReportsTheReply) {
    server.Reply("220 hello\r\n")
        .Expect("AUTH TLS")
        .Reply("500 AUTH not understood\r\n")
        .Expect("USER ann")
        .Reply("230 in\r\n")
        .Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR klv.jpg")
        .Reply("550 Permission denied\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();
    ASSERT_TRUE(SessionLogOn(Context(), Arguments("")));
    SessionArguments page = Arguments("klv.jpg", 0);
    page.binary = 1;
    EXPECT_FALSE(SessionPutPage(Context(), page));
    EXPECT_EQ(shared.sharedClient.replyText(), "550 Permission denied");
    SessionLogOff(Context());
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
}

TEST_F(SessionTest, SessionLogOnAgainstARefusedConnectionShowsOneBox) {
    config.ftpPort = ClosedPort();
    shared.statusText = "before";
    EXPECT_FALSE(SessionLogOn(Context(), Arguments("")));
    EXPECT_THAT(window.messages, ElementsAre("Unable to connect to server"));
    EXPECT_EQ(shared.statusText, "Unable to connect to server");
}

TEST(RemotePath, SplitsAtTheLastSlash) {
    EXPECT_EQ(SplitRemotePath("www/cgi-bin/klv.cgi"),
              std::make_pair(std::string_view("www/cgi-bin"), std::string_view("klv.cgi")));
    EXPECT_EQ(SplitRemotePath("klv.cgi"),
              std::make_pair(std::string_view(), std::string_view("klv.cgi")));
    EXPECT_EQ(SplitRemotePath("dir/"), std::make_pair(std::string_view("dir"), std::string_view()));
}

}  // namespace
}  // namespace klv::testing
