// The client against a real FTP server: Debian's pyftpdlib on 127.0.0.1, one per test.
// Every transferred file is compared byte for byte with the file on the server's disk.
#include <sys/stat.h>

#include <optional>
#include <random>
#include <string>

#include "tests/ftp/ftp_test_helpers.h"
#include "tests/support/ftp/pyftpd.h"

namespace klv::ftp {
namespace {

using klv::testing::PyFtpServer;
using klv::testing::PyFtpServerOptions;
using klv::testing::ReadFileBytes;
using klv::testing::ScratchDirectory;
using klv::testing::WriteFileBytes;
using ::testing::StartsWith;

// Compares without printing a mebibyte of binary on failure.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

constexpr auto kIdle = std::chrono::seconds(20);

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

std::string CrLfText() {
    std::string text;
    for (int line = 0; line < 200; ++line) {
        text += "line " + std::to_string(line) + " of a script\r\n";
    }
    return text;
}

std::string CrLfToLf(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

class PyFtpdTest : public ::testing::Test {
protected:
    void SetUp() override { StartAndLogOn({}); }
    void TearDown() override {
        client.LogOff();
        server.reset();
    }

    void StartAndLogOn(PyFtpServerOptions options) {
        options.subdirectories = {"www/klv"};
        server.emplace(std::move(options));
        client.setIdleTimeout(kIdle);
        ASSERT_TRUE(client.LogOn(
            klv::testing::DirectLogon(server->port(), server->user(), server->password())))
            << client.replyText();
    }
    std::string OnServer(const std::string& name) const { return (server->home() / name).string(); }

    std::optional<PyFtpServer> server;
    FtpClient client;
    ScratchDirectory dir;
};

TEST_F(PyFtpdTest, LogsOn) {
    EXPECT_THAT(client.replyText(), StartsWith("230"));
    EXPECT_EQ(client.replyDigit(), 2);
    EXPECT_TRUE(client.connected());
}

TEST_F(PyFtpdTest, WrongPasswordLeavesTheServers530Line) {
    FtpClient other;
    other.setIdleTimeout(kIdle);
    EXPECT_FALSE(other.LogOn(klv::testing::DirectLogon(server->port(), server->user(), "wrong")));
    EXPECT_THAT(other.replyText(), StartsWith("530"));
    EXPECT_NE(other.replyText(), kLogonFailed);
    other.LogOff();
}

TEST_F(PyFtpdTest, SiteChmodThroughCommandChangesTheModeOnDisk) {
    WriteFileBytes(dir.File("klvcfg.cgi"), "#!/usr/bin/perl\n");
    ASSERT_TRUE(client.TransferFile("www/klv/klvcfg.cgi", dir.File("klvcfg.cgi"),
                                    DataConnection::Active, Direction::Upload, TransferType::Ascii))
        << client.replyText();
    ASSERT_EQ(::chmod(OnServer("www/klv/klvcfg.cgi").c_str(), 0600), 0);
    // As the installer does it: into the directory, then chmod the file by name.
    ASSERT_TRUE(client.Command("CWD www/klv")) << client.replyText();
    EXPECT_TRUE(client.Command("SITE chmod 755 klvcfg.cgi")) << client.replyText();
    struct stat status {};
    ASSERT_EQ(::stat(OnServer("www/klv/klvcfg.cgi").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
}

TEST_F(PyFtpdTest, StorIntoAMissingDirectoryFailsWithThe550Line) {
    WriteFileBytes(dir.File("f"), "x");
    EXPECT_FALSE(client.TransferFile("no/such/dir/f", dir.File("f"), DataConnection::Passive,
                                     Direction::Upload, TransferType::Image));
    EXPECT_THAT(client.replyText(), StartsWith("550"));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    // The conversation goes on.
    EXPECT_TRUE(client.Command("NOOP")) << client.replyText();
}

TEST_F(PyFtpdTest, RetrOfAMissingFileFailsWithThe550Line) {
    EXPECT_FALSE(client.TransferFile("missing", dir.File("f"), DataConnection::Active,
                                     Direction::Download, TransferType::Image));
    EXPECT_THAT(client.replyText(), StartsWith("550"));
    EXPECT_TRUE(client.Command("NOOP")) << client.replyText();
}

TEST_F(PyFtpdTest, SeveralTransfersOnOneLogon) {
    for (int i = 0; i < 5; ++i) {
        const std::string name = "page" + std::to_string(i) + ".html";
        const std::string content = "<p>page " + std::to_string(i) + "</p>\n";
        WriteFileBytes(dir.File(name), content);
        const DataConnection mode = i % 2 == 0 ? DataConnection::Active : DataConnection::Passive;
        ASSERT_TRUE(client.TransferFile("www/klv/" + name, dir.File(name), mode, Direction::Upload,
                                        TransferType::Ascii))
            << client.replyText();
        EXPECT_EQ(ReadFileBytes(OnServer("www/klv/" + name)), content);
    }
}

TEST(PyFtpdRefusingPort, ActiveFailsAtDataSetupAndPassiveStillWorks) {
    PyFtpServerOptions options;
    options.refusePort = true;
    PyFtpServer server(options);
    FtpClient client;
    client.setIdleTimeout(kIdle);
    ASSERT_TRUE(
        client.LogOn(klv::testing::DirectLogon(server.port(), server.user(), server.password())));
    ScratchDirectory dir;
    WriteFileBytes(dir.File("klv.cgi"), "script");
    EXPECT_FALSE(client.TransferFile("klv.cgi", dir.File("klv.cgi"), DataConnection::Active,
                                     Direction::Upload, TransferType::Ascii));
    EXPECT_THAT(client.replyText(), StartsWith("502"));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataSetup);
    EXPECT_TRUE(client.TransferFile("klv.cgi", dir.File("klv.cgi"), DataConnection::Passive,
                                    Direction::Upload, TransferType::Ascii))
        << client.replyText();
    EXPECT_EQ(ReadFileBytes((server.home() / "klv.cgi").string()), "script");
    client.LogOff();
}

// --- byte-for-byte round trips in image type ---------------------------------------------

enum class Content { Empty, RandomMiB, CrLfLines };

std::string Make(Content content) {
    switch (content) {
        case Content::Empty:
            return {};
        case Content::RandomMiB:
            return RandomBytes(1 << 20, 42);
        case Content::CrLfLines:
            return CrLfText();
    }
    return {};
}

std::string Name(const ::testing::TestParamInfo<std::tuple<DataConnection, Content>>& info) {
    const char* mode = std::get<0>(info.param) == DataConnection::Active ? "Active" : "Passive";
    const char* content[] = {"Empty", "RandomMiB", "CrLfLines"};
    return std::string(mode) + content[static_cast<int>(std::get<1>(info.param))];
}

class ImageRoundTripTest
    : public PyFtpdTest,
      public ::testing::WithParamInterface<std::tuple<DataConnection, Content>> {};

TEST_P(ImageRoundTripTest, UploadArrivesUnchanged) {
    const auto [mode, kind] = GetParam();
    const std::string content = Make(kind);
    WriteFileBytes(dir.File("up.bin"), content);
    ASSERT_TRUE(client.TransferFile("www/klv/up.bin", dir.File("up.bin"), mode, Direction::Upload,
                                    TransferType::Image))
        << client.replyText();
    EXPECT_THAT(client.replyText(), StartsWith("226"));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
    EXPECT_TRUE(SameBytes(ReadFileBytes(OnServer("www/klv/up.bin")), content));
}

TEST_P(ImageRoundTripTest, DownloadArrivesUnchanged) {
    const auto [mode, kind] = GetParam();
    const std::string content = Make(kind);
    WriteFileBytes(OnServer("down.bin"), content);
    WriteFileBytes(dir.File("down.bin"), "stale local contents");
    ASSERT_TRUE(client.TransferFile("down.bin", dir.File("down.bin"), mode, Direction::Download,
                                    TransferType::Image))
        << client.replyText();
    EXPECT_THAT(client.replyText(), StartsWith("226"));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir.File("down.bin")), content));
}

INSTANTIATE_TEST_SUITE_P(
    ModesAndFiles, ImageRoundTripTest,
    ::testing::Combine(::testing::Values(DataConnection::Active, DataConnection::Passive),
                       ::testing::Values(Content::Empty, Content::RandomMiB, Content::CrLfLines)),
    Name);

// --- ASCII type: the client moves the bytes unchanged; the server converts ----------------

class AsciiTest : public PyFtpdTest, public ::testing::WithParamInterface<DataConnection> {};

TEST_P(AsciiTest, UploadSendsCrLfAndTheServerStoresItsOwnLineEnds) {
    // RFC 959 ASCII type: CR LF on the wire; pyftpdlib writes LF on a POSIX disk.
    const std::string content = CrLfText();
    WriteFileBytes(dir.File("klv.txt"), content);
    ASSERT_TRUE(client.TransferFile("www/klv/klv.txt", dir.File("klv.txt"), GetParam(),
                                    Direction::Upload, TransferType::Ascii))
        << client.replyText();
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/klv.txt")), CrLfToLf(content));
}

TEST_P(AsciiTest, DownloadStoresTheCrLfTheServerSent) {
    const std::string onDisk = CrLfToLf(CrLfText());
    WriteFileBytes(OnServer("list.txt"), onDisk);
    ASSERT_TRUE(client.TransferFile("list.txt", dir.File("list.txt"), GetParam(),
                                    Direction::Download, TransferType::Ascii))
        << client.replyText();
    EXPECT_EQ(ReadFileBytes(dir.File("list.txt")), CrLfText());
}

INSTANTIATE_TEST_SUITE_P(Modes, AsciiTest,
                         ::testing::Values(DataConnection::Active, DataConnection::Passive),
                         [](const auto& info) {
                             return info.param == DataConnection::Active ? "Active" : "Passive";
                         });

}  // namespace
}  // namespace klv::ftp
