// The installer's upload path against four real FTP servers from Debian: the client's
// own operations and the session operations the workflows use, each file compared byte
// for byte with what the server put on its disk.
//
// Where the servers differ, the table below says what each does; every claim in it is
// checked here, and so is the client's behaviour in spite of the difference.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/installer/workflow_fixture.h"
#include "tests/interop/control_tap.h"
#include "tests/interop/real_ftp_server.h"
#include "tests/support/fake_window.h"

namespace klv::testing {
namespace {

using ftp::DataConnection;
using ftp::Direction;
using ftp::FtpClient;
using ftp::TransferStage;
using ftp::TransferType;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::StartsWith;

// What a server does to the bytes of an ASCII ("TYPE A") upload before storing them.
enum class AsciiStore {
    Unchanged,    // the bytes as sent
    CrLfToLf,     // every CR LF pair becomes LF; any other CR stays
    DropEveryCr,  // every CR goes, paired or not
};

struct ServerBehaviour {
    FtpServerKind kind;
    AsciiStore asciiStore;
    std::string storPreliminary;  // the code answering STOR before the data
    bool multiLineGreeting;
    bool multiLineTransferReply;  // the closing 226 of a transfer
    std::string emptyCwdReply;    // the code answering "CWD " with nothing after it
    // The closing reply of a download comes only once the client has closed the data
    // connection, so it never arrives together with the preliminary reply.
    bool closingReplyAwaitsDataClose;
    // An ASCII upload whose last byte is a lone CR keeps it.
    bool keepsFinalLoneCr;
};

void PrintTo(const ServerBehaviour& behaviour, std::ostream* out) {
    *out << NameOf(behaviour.kind);
}

// What each server does, as Debian 12 ships it (see docs/interoperability.md).
const ServerBehaviour kBehaviours[] = {
    // vsftpd stores ASCII uploads unchanged (ascii_upload_enable is off by default).
    {FtpServerKind::Vsftpd, AsciiStore::Unchanged, "150", false, false, "550", false, true},
    // proftpd closes a download's data connection in "lingering" fashion: its 226 waits
    // until the client has closed the connection too.
    {FtpServerKind::Proftpd, AsciiStore::CrLfToLf, "150", false, false, "501", true, true},
    // pure-ftpd greets with a block of 220 lines, ends transfers with a block of 226
    // lines, and takes "CWD " to mean the home directory.
    {FtpServerKind::PureFtpd, AsciiStore::DropEveryCr, "150", true, true, "250", false, false},
    // pyftpdlib answers STOR with 125, takes "CWD " to mean its root ("/"), and holds a CR
    // back in case an LF follows in the next read, so a CR that ends the file is lost.
    {FtpServerKind::Pyftpdlib, AsciiStore::CrLfToLf, "125", false, false, "250", false, false},
};

std::string StoredAscii(AsciiStore store, std::string text) {
    switch (store) {
        case AsciiStore::Unchanged:
            return text;
        case AsciiStore::CrLfToLf: {
            std::string stored;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                    stored += text[i];
                }
            }
            return stored;
        }
        case AsciiStore::DropEveryCr:
            std::erase(text, '\r');
            return text;
    }
    return text;
}

// A script as the vendor's site serves it: CR LF line ends, and, to tell the servers'
// ASCII handling apart, a lone LF, a lone CR and a CR CR LF; long enough to reach the
// server in several reads, so that pairs split between reads are handled too.
std::string ScriptText() {
    std::string text = "#!/usr/bin/perl\r\n# lone LF:\nlone CR:\rCR CR LF:\r\r\n";
    for (int line = 0; text.size() < 100 * 1024; ++line) {
        text += "print \"line ";
        text += std::to_string(line);
        text += " of the KLV script\";\r\n";
    }
    return text;
}

// Every byte value, CR and LF in every order, and enough pseudo-random bytes to take
// many copy passes: what an image upload must store unchanged.
std::string ImageBytes() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    bytes += "\r\n\n\r\r\r\n";
    unsigned state = 12345;
    while (bytes.size() < 300 * 1024) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>(state >> 16);
    }
    return bytes;
}

std::vector<std::string> TranscriptLines(const std::string& transcript) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = transcript.find(" \n"); end != std::string::npos;
         end = transcript.find(" \n", start)) {
        lines.push_back(transcript.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(transcript.substr(start));
    return lines;
}

// The greeting's lines as the server sends them, read without the client.
std::vector<std::string> GreetingLines(const std::string& host, unsigned port) {
    ftp::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    std::vector<std::string> lines;
    std::string line;
    for (;;) {
        pollfd wait{socket.get(), POLLIN, 0};
        char c = 0;
        if (::poll(&wait, 1, 5000) <= 0 || ::recv(socket.get(), &c, 1, 0) != 1) {
            return lines;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        if (line.size() >= 4 && line.compare(0, 3, "220") == 0 && line[3] == ' ') {
            return lines;
        }
        line.clear();
    }
}

// The reply lines from the first one starting with `code` to the end of that reply.
std::vector<std::string> ReplyStartingWith(const std::vector<std::string>& lines,
                                           const std::string& code) {
    const auto first = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, 3, code) == 0;
    });
    std::vector<std::string> reply;
    for (auto line = first; line != lines.end(); ++line) {
        reply.push_back(*line);
        if (line->size() >= 4 && line->compare(0, 3, code) == 0 && (*line)[3] == ' ') {
            break;
        }
    }
    return reply;
}

const char* NameOf(DataConnection connection) {
    return connection == DataConnection::Active ? "active" : "passive";
}

constexpr std::chrono::seconds kIdleBound{5};

class RealServer : public ::testing::TestWithParam<ServerBehaviour> {
protected:
    void SetUp() override {
        try {
            server = std::make_unique<RealFtpServer>(GetParam().kind);
        } catch (const std::exception& error) {
            FAIL() << NameOf(GetParam().kind) << " could not be started: " << error.what();
        }
        config.ftpPort = server->port();
        config.idleTimeout = kIdleBound;
    }

    [[nodiscard]] ftp::LogonRequest Logon(const std::string& host, unsigned port) const {
        ftp::LogonRequest request;
        request.host = host;
        request.port = port;
        request.user = server->user();
        request.password = server->password();
        return request;
    }
    void LogOn(FtpClient& client) {
        client.setIdleTimeout(kIdleBound);
        ASSERT_TRUE(client.LogOn(Logon(server->host(), server->port()))) << client.replyText();
        EXPECT_THAT(client.replyText(), StartsWith("230"));
    }
    [[nodiscard]] std::string Local(const std::string& name, const std::string& bytes) const {
        const fs::path path = scratch.path() / name;
        WriteFileBytes(path, bytes);
        return path.string();
    }
    [[nodiscard]] std::string OnServer(const std::string& relative) const {
        return ReadFileBytes(server->home() / relative);
    }
    [[nodiscard]] std::string Ascii(const std::string& text) const {
        return StoredAscii(GetParam().asciiStore, text);
    }
    [[nodiscard]] SessionArguments Account() const {
        SessionArguments arguments;
        arguments.server = server->host();
        arguments.user = server->user();
        arguments.password = server->password();
        return arguments;
    }
    InstallerContext Context() { return {window, shared, config}; }

    std::unique_ptr<RealFtpServer> server;
    ScratchDirectory scratch;
    const std::string script = ScriptText();
    const std::string image = ImageBytes();
    FakeWindow window;
    SharedState shared;
    Config config;
};

TEST_P(RealServer, StoresAsciiAndImageUploadsOverActiveAndPassiveConnections) {
    FtpClient client;
    LogOn(client);
    const std::string text = Local("script.cgi", script);
    const std::string picture = Local("klv.jpg", image);
    for (const DataConnection connection : {DataConnection::Active, DataConnection::Passive}) {
        SCOPED_TRACE(NameOf(connection));
        const std::string asciiName = std::string("www/klv/ascii-") + NameOf(connection);
        const std::string imageName = std::string("www/klv/image-") + NameOf(connection);

        EXPECT_TRUE(client.TransferFile(asciiName, text, connection, Direction::Upload,
                                        TransferType::Ascii))
            << client.replyText();
        EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(OnServer(asciiName), Ascii(script));
        EXPECT_EQ(ModeOf(server->home() / asciiName), 0644u);

        EXPECT_TRUE(client.TransferFile(imageName, picture, connection, Direction::Upload,
                                        TransferType::Image))
            << client.replyText();
        EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(OnServer(imageName), image);
        EXPECT_EQ(ModeOf(server->home() / imageName), 0644u);
    }
    client.LogOff();
    EXPECT_FALSE(client.connected());
}

TEST_P(RealServer, StoresAnAsciiUploadEndingInALoneCrItsOwnWay) {
    FtpClient client;
    LogOn(client);
    const std::string text = "last line ends in a lone CR\r";
    EXPECT_TRUE(client.TransferFile("www/klv/lone-cr.txt", Local("lone-cr.txt", text),
                                    DataConnection::Passive, Direction::Upload,
                                    TransferType::Ascii))
        << client.replyText();
    const std::string kept = Ascii(text);
    EXPECT_EQ(OnServer("www/klv/lone-cr.txt"),
              GetParam().keepsFinalLoneCr ? kept : kept.substr(0, kept.find('\r')));
    client.LogOff();
}

TEST_P(RealServer, DownloadsByteForByteOverActiveAndPassiveConnections) {
    server->PutFile("www/klv/download.bin", image);
    FtpClient client;
    LogOn(client);
    for (const DataConnection connection : {DataConnection::Active, DataConnection::Passive}) {
        SCOPED_TRACE(NameOf(connection));
        const std::string local = (scratch.path() / NameOf(connection)).string();
        EXPECT_TRUE(client.TransferFile("www/klv/download.bin", local, connection,
                                        Direction::Download, TransferType::Image))
            << client.replyText();
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(ReadFileBytes(local), image);
    }
    client.LogOff();
}

TEST_P(RealServer, ChangesIntoADirectoryAndMakesAScriptExecutable) {
    FtpClient client;
    LogOn(client);
    ASSERT_TRUE(client.TransferFile("www/cgi-bin/klv.cgi", Local("klv.cgi", script),
                                    DataConnection::Active, Direction::Upload, TransferType::Ascii))
        << client.replyText();
    EXPECT_EQ(ModeOf(server->home() / "www/cgi-bin/klv.cgi"), 0644u);

    EXPECT_TRUE(client.Command("CWD www/cgi-bin")) << client.replyText();
    EXPECT_THAT(client.replyText(), StartsWith("250"));
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi")) << client.replyText();
    EXPECT_THAT(client.replyText(), StartsWith("200"));
    EXPECT_EQ(ModeOf(server->home() / "www/cgi-bin/klv.cgi"), 0755u);
    client.LogOff();
}

TEST_P(RealServer, AnswersCwdWithoutADirectoryItsOwnWayAndStaysInStep) {
    FtpClient client;
    LogOn(client);
    const bool accepted = client.Command("CWD ");
    EXPECT_THAT(client.replyText(), StartsWith(GetParam().emptyCwdReply));
    EXPECT_EQ(accepted, GetParam().emptyCwdReply[0] == '2');
    // Whatever the answer, the next command gets its own reply, and the session is still
    // in the logon directory.
    EXPECT_TRUE(client.Command("CWD www")) << client.replyText();
    EXPECT_THAT(client.replyText(), StartsWith("250"));
    EXPECT_TRUE(client.Command("CWD cgi-bin")) << client.replyText();
    client.LogOff();
}

TEST_P(RealServer, GreetsWithItsOwnBlockAndTheClientReadsItWhole) {
    const std::vector<std::string> greeting = GreetingLines(server->host(), server->port());
    ASSERT_THAT(greeting, Not(IsEmpty()));
    EXPECT_EQ(greeting.size() > 1, GetParam().multiLineGreeting)
        << ::testing::PrintToString(greeting);
    if (GetParam().multiLineGreeting) {
        EXPECT_THAT(greeting.front(), StartsWith("220-"));
    }

    FtpClient client;
    client.setIdleTimeout(kIdleBound);
    ASSERT_TRUE(client.Connect(server->host(), server->port()));
    EXPECT_TRUE(client.Command(""));  // the greeting, however many lines
    EXPECT_THAT(client.replyText(), StartsWith("220 "));
    // The block was read to its end: the next reply read is USER's.
    EXPECT_FALSE(client.Command("USER " + server->user()));
    EXPECT_THAT(client.replyText(), StartsWith("331"));
    EXPECT_TRUE(client.Command("PASS " + server->password()));
    EXPECT_THAT(client.replyText(), StartsWith("230"));
    client.LogOff();
}

TEST_P(RealServer, AnswersStoreWithItsOwnRepliesAndTheClientTakesThem) {
    const ControlTap tap(server->host(), server->port(), /*joinPreliminaryReplies=*/false);
    FtpClient client;
    client.setIdleTimeout(kIdleBound);
    ASSERT_TRUE(client.LogOn(Logon(tap.host(), tap.port()))) << client.replyText();
    ASSERT_TRUE(client.TransferFile("www/klv/page.html", Local("page.html", script),
                                    DataConnection::Active, Direction::Upload, TransferType::Ascii))
        << client.replyText();
    const std::string closingLine = client.replyText();
    client.LogOff();
    // QUIT went out last, and the server took it: it said goodbye.
    EXPECT_TRUE(tap.WaitForServerLine("221", std::chrono::seconds(5)));
    EXPECT_THAT(tap.ClientLines(),
                ElementsAre(StartsWith("USER "), StartsWith("PASS "), "TYPE A", StartsWith("PORT "),
                            "STOR www/klv/page.html", "QUIT"));

    const std::vector<std::string> lines = tap.ServerLines();
    const auto store = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line[0] == '1'; });
    ASSERT_NE(store, lines.end());
    EXPECT_THAT(*store, StartsWith(GetParam().storPreliminary + " "));
    const std::vector<std::string> closing = ReplyStartingWith(lines, "226");
    ASSERT_THAT(closing, Not(IsEmpty()));
    EXPECT_EQ(closing.size() > 1, GetParam().multiLineTransferReply)
        << ::testing::PrintToString(closing);
    // A block's last line is what the client keeps.
    EXPECT_EQ(closingLine, closing.back());
    EXPECT_EQ(OnServer("www/klv/page.html"), Ascii(script));
}

TEST_P(RealServer, TakesAPreliminaryAndAClosingReplyThatArriveInOneRead) {
    server->PutFile("www/klv/small.txt", "a small file\r\n");
    const ControlTap tap(server->host(), server->port(), /*joinPreliminaryReplies=*/true);
    FtpClient client;
    client.setIdleTimeout(kIdleBound);
    ASSERT_TRUE(client.LogOn(Logon(tap.host(), tap.port()))) << client.replyText();
    for (const DataConnection connection : {DataConnection::Active, DataConnection::Passive}) {
        SCOPED_TRACE(NameOf(connection));
        const std::string local = (scratch.path() / NameOf(connection)).string();
        EXPECT_TRUE(client.TransferFile("www/klv/small.txt", local, connection, Direction::Download,
                                        TransferType::Image))
            << client.replyText();
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(ReadFileBytes(local), "a small file\r\n");
    }
    // Both times the server's 1xx and 226 went to the client in one write, unless the
    // server holds its 226 back until the client has closed the data connection.
    EXPECT_EQ(tap.joinedWrites(), GetParam().closingReplyAwaitsDataClose ? 0 : 2);
    // And the conversation is still in step.
    EXPECT_TRUE(client.Command("CWD www")) << client.replyText();
    client.LogOff();
}

// --- the session operations ---------------------------------------------------------

TEST_P(RealServer, UploadOnceStoresTheScriptMakesItExecutableAndShowsEveryReply) {
    SessionArguments arguments = Account();
    arguments.localPath = Local("klvcfg.cgi", script);
    arguments.remotePath = "www/cgi-bin/klvcfg.cgi";
    arguments.chmodAfter = 1;
    shared.showTranscript = 1;

    EXPECT_TRUE(UploadOnce(Context(), arguments));

    EXPECT_EQ(OnServer("www/cgi-bin/klvcfg.cgi"), Ascii(script));
    EXPECT_EQ(ModeOf(server->home() / "www/cgi-bin/klvcfg.cgi"), 0755u);
    ASSERT_THAT(window.messages, SizeIs(1));
    const std::vector<std::string> transcript = TranscriptLines(window.messages[0]);
    ASSERT_THAT(transcript, SizeIs(3)) << window.messages[0];
    EXPECT_THAT(transcript[0], StartsWith("226"));
    EXPECT_THAT(transcript[1], StartsWith("250"));
    EXPECT_THAT(transcript[2], StartsWith("200"));
    EXPECT_EQ(shared.statusText, kScriptUploadHint);
}

TEST_P(RealServer, UploadOnceIntoTheLogonDirectorySendsAnEmptyCwdAndStillChmods) {
    SessionArguments arguments = Account();
    arguments.localPath = Local("klv.cgi", script);
    arguments.remotePath = "klv.cgi";  // no "/": "CWD " with nothing after it
    arguments.chmodAfter = 1;
    shared.showTranscript = 1;

    EXPECT_TRUE(UploadOnce(Context(), arguments));

    EXPECT_EQ(OnServer("klv.cgi"), Ascii(script));
    // Refused or taken as the logon directory, the CWD leaves the session where the file is.
    EXPECT_EQ(ModeOf(server->home() / "klv.cgi"), 0755u);
    ASSERT_THAT(window.messages, SizeIs(1));
    const std::vector<std::string> transcript = TranscriptLines(window.messages[0]);
    ASSERT_THAT(transcript, SizeIs(3)) << window.messages[0];
    EXPECT_THAT(transcript[0], StartsWith("226"));
    EXPECT_THAT(transcript[1], StartsWith(GetParam().emptyCwdReply));
    EXPECT_THAT(transcript[2], StartsWith("200"));
}

TEST_P(RealServer, SessionPutsEveryPageOverOneLoggedOnConnection) {
    const std::string page = Local("temp.txt", "");
    struct Page {
        std::string remotePath;
        std::string bytes;
        int binary;
    };
    const std::vector<Page> pages = {
        {"www/klv/weblog.php", script, 0},
        {"www/klv/klv.jpg", image, 1},
        {"www/klv/index.html", "<html>\r\n<body>KLV</body>\r\n</html>\r\n", 0},
        {"www/klv/button.jpg", image.substr(0, 5000), 1},
        {"www/klv/empty.txt", "", 0},
    };

    ASSERT_TRUE(SessionLogOn(Context(), Account())) << shared.statusText.view();
    for (const Page& each : pages) {
        WriteFileBytes(page, each.bytes);
        SessionArguments arguments = Account();
        arguments.localPath = page;
        arguments.remotePath = each.remotePath;
        arguments.binary = each.binary;
        EXPECT_TRUE(SessionPutPage(Context(), arguments))
            << each.remotePath << ": " << shared.sharedClient.replyText();
    }
    SessionLogOff(Context());

    EXPECT_FALSE(shared.sharedClient.connected());
    EXPECT_THAT(window.messages, IsEmpty());
    for (const Page& each : pages) {
        SCOPED_TRACE(each.remotePath);
        EXPECT_EQ(OnServer(each.remotePath), each.binary != 0 ? each.bytes : Ascii(each.bytes));
        EXPECT_EQ(ModeOf(server->home() / each.remotePath), 0644u);
    }
}

TEST_P(RealServer, SessionLogOnWithAWrongPasswordShowsTheServersRefusal) {
    // vsftpd (through PAM) and pure-ftpd wait seconds before they refuse a password.
    config.idleTimeout = std::chrono::seconds(20);
    SessionArguments arguments = Account();
    arguments.password = "wrong";
    EXPECT_FALSE(SessionLogOn(Context(), arguments));
    ASSERT_THAT(window.messages, SizeIs(1));
    EXPECT_THAT(window.messages[0], StartsWith("530"));
    EXPECT_EQ(shared.statusText, window.messages[0]);
}

std::string ServerName(const ::testing::TestParamInfo<ServerBehaviour>& info) {
    std::string name(NameOf(info.param.kind));
    std::erase(name, '-');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Debian, RealServer, ::testing::ValuesIn(kBehaviours), ServerName);

}  // namespace
}  // namespace klv::testing
