// The test server is itself under test: the workflow tests and the demo rely on it.
#include "tests/support/http/http_test_server.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include "tests/web/web_test_support.h"
#include "web/posix_file.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Sends `request` as it stands and returns everything the server answers.
std::string Exchange(const HttpTestServer& server, const std::string& request) {
    web::UniqueFd connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    if (::connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return "connect failed";
    }
    if (!web::WriteAll(connection.get(), request.data(), request.size())) {
        return "send failed";
    }
    std::string reply;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (got <= 0) {
            return reply;
        }
        reply.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string Get(const HttpTestServer& server, const std::string& target) {
    return Exchange(server, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string BodyOf(const std::string& reply) {
    const std::size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

TEST(HttpTestServer, ServesFilesFromADirectoryWithDecodedPathsAndNoQuery) {
    ScratchDirectory root;
    std::filesystem::create_directory(root.path() / "klvsetup");
    WriteFileBytes(root.File("klvsetup/my page.html"), "blank in the name");
    WriteFileBytes(root.File("klvdocs.html"), "docs");
    HttpTestServer server;
    server.ServeDirectory(root.path());

    const std::string page = Get(server, "/klvsetup/my%20page.html");
    EXPECT_THAT(page, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_THAT(page, HasSubstr("Content-Length: 17\r\n"));
    EXPECT_EQ(BodyOf(page), "blank in the name");
    EXPECT_EQ(BodyOf(Get(server, "/klvdocs.html?id=500")), "docs");
    EXPECT_THAT(Get(server, "/nothing.txt"), StartsWith("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_THAT(Get(server, "/klvsetup"), StartsWith("HTTP/1.1 404 "));
    EXPECT_THAT(Get(server, "/klvsetup/../klvdocs.html"), StartsWith("HTTP/1.1 404 "));
}

TEST(HttpTestServer, RecordsEveryRequestLineInOrder) {
    HttpTestServer server;
    server.Serve("/a", HttpResponse::Ok("a"));
    Get(server, "/a");
    Get(server, "/b?x=1");
    Exchange(server, "HEAD /a HTTP/1.0\r\nUser-Agent: probe\r\n\r\n");

    EXPECT_THAT(server.RequestLines(),
                ElementsAre("GET /a HTTP/1.1", "GET /b?x=1 HTTP/1.1", "HEAD /a HTTP/1.0"));
    EXPECT_EQ(server.Requests()[2].Header("user-agent"), "probe");
    EXPECT_EQ(server.Requests()[2].target, "/a");
}

TEST(HttpTestServer, ScriptedResponsesWinOverTheDirectoryAndMatchWithoutTheQuery) {
    ScratchDirectory root;
    WriteFileBytes(root.File("a.txt"), "from disk");
    HttpTestServer server;
    server.ServeDirectory(root.path());
    server.Serve("/a.txt", HttpResponse::Status(500, "Internal Server Error", "scripted"));

    const std::string reply = Get(server, "/a.txt?v=2");
    EXPECT_THAT(reply, StartsWith("HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_EQ(BodyOf(reply), "scripted");
}

TEST(HttpTestServer, FramesBodiesAsScripted) {
    HttpTestServer server;
    server.Serve("/chunked", HttpResponse::Chunked({"ab", "", "cde"}));
    server.Serve("/cut", HttpResponse::CutOff({"12345"}, 10));
    server.Serve("/moved", HttpResponse::Redirect(302, "/there"));

    EXPECT_EQ(BodyOf(Get(server, "/chunked")), "2\r\nab\r\n3\r\ncde\r\n0\r\n\r\n");
    const std::string cut = Get(server, "/cut");
    EXPECT_THAT(cut, HasSubstr("Content-Length: 10\r\n"));
    EXPECT_EQ(BodyOf(cut), "12345");
    EXPECT_THAT(Get(server, "/moved"), HasSubstr("\r\nLocation: /there\r\n"));
}

TEST(HttpTestServer, PercentDecodeKeepsMalformedEscapes) {
    EXPECT_EQ(PercentDecode("/a%20b%2fc"), "/a b/c");
    EXPECT_EQ(PercentDecode("100%"), "100%");
    EXPECT_EQ(PercentDecode("%zz%4"), "%zz%4");
}

}  // namespace
}  // namespace klv::testing
