#include "web/fetch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <numeric>
#include <string>

#include "tests/support/http/http_test_server.h"
#include "tests/web/web_test_support.h"
#include "web/file_sink.h"

namespace klv::web {
namespace {

using klv::testing::HttpResponse;
using klv::testing::HttpTestServer;
using klv::testing::PatternedBytes;
using klv::testing::ReadFileBytes;
using klv::testing::RecordingSink;
using klv::testing::ScratchDirectory;
using klv::testing::WriteFileBytes;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Le;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kOldContent[] = "the file as it was before the fetch\n";

class FetchTest : public ::testing::Test {
protected:
    FetchTest() {
        // The fetch takes proxies from the environment; the loopback server is reached directly.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    }

    std::string LocalFile() const { return scratch.File("local.txt"); }
    bool LocalFileExists() const { return std::filesystem::exists(LocalFile()); }

    ScratchDirectory scratch;
    HttpTestServer server;
};

TEST_F(FetchTest, StoresA2500ByteBodyExactlyInPiecesOfAtMost1024Bytes) {
    const std::string body = PatternedBytes(2500);
    server.Serve("/klvsetup/klvcfgcgi.txt", HttpResponse::Ok(body));

    FileSink file(LocalFile());
    RecordingSink recorder(file);
    EXPECT_EQ(FetchUrlToSink(server.Url("/klvsetup/klvcfgcgi.txt"), recorder), "");

    EXPECT_THAT(recorder.pieceSizes, Each(Le(kFetchChunkSize)));
    EXPECT_EQ(std::accumulate(recorder.pieceSizes.begin(), recorder.pieceSizes.end(), 0u), 2500u);
    EXPECT_GE(recorder.pieceSizes.size(), 3u);
    // Every piece comes out of the one chunk buffer.
    EXPECT_THAT(recorder.pieceAddresses, Each(recorder.pieceAddresses.front()));
    EXPECT_EQ(recorder.begins, 1);
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_EQ(ReadFileBytes(LocalFile()), body);
}

TEST_F(FetchTest, FetchUrlToFileStoresTheBodyByteForByte) {
    std::string body = PatternedBytes(300'000);  // larger than the file buffer
    body[10] = '\r';
    body[11] = '\n';
    body[12] = '\x1A';
    body[13] = '\0';
    server.Serve("/big.bin", HttpResponse::Ok(body));

    EXPECT_EQ(FetchUrlToFile(server.Url("/big.bin"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), body);
}

TEST_F(FetchTest, PiecesSentSeparatelyAreStoredInOrder) {
    HttpResponse response = HttpResponse::Ok({});
    response.bodyPieces = {"first,", std::string(1500, 'x'), ",last"};
    server.Serve("/pieces", response);

    EXPECT_EQ(FetchUrlToFile(server.Url("/pieces"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "first," + std::string(1500, 'x') + ",last");
}

TEST_F(FetchTest, EmptyBodyGivesAnEmptyFile) {
    server.Serve("/empty", HttpResponse::Ok(""));

    EXPECT_EQ(FetchUrlToFile(server.Url("/empty"), LocalFile()), "");
    ASSERT_TRUE(LocalFileExists());
    EXPECT_EQ(std::filesystem::file_size(LocalFile()), 0u);

    WriteFileBytes(LocalFile(), kOldContent);
    EXPECT_EQ(FetchUrlToFile(server.Url("/empty"), LocalFile()), "");
    EXPECT_EQ(std::filesystem::file_size(LocalFile()), 0u);
}

TEST_F(FetchTest, ALongerExistingFileIsTruncatedToTheNewBody) {
    WriteFileBytes(LocalFile(), std::string(5000, 'o'));
    server.Serve("/short", HttpResponse::Ok("short body"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/short"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "short body");
}

TEST_F(FetchTest, NotFoundIsAFailureNamingTheStatusAndLeavesTheFileAsItWas) {
    WriteFileBytes(LocalFile(), kOldContent);
    server.Serve("/missing.txt", HttpResponse::Status(404, "Not Found", "<html>gone</html>"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/missing.txt"), LocalFile()), "HTTP 404 Not Found");
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, ServerErrorIsAFailureNamingTheStatusAndLeavesTheFileAsItWas) {
    WriteFileBytes(LocalFile(), kOldContent);
    server.Serve("/broken", HttpResponse::Status(500, "Internal Server Error", "oops"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/broken"), LocalFile()), "HTTP 500 Internal Server Error");
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, AnErrorStatusCreatesNoFile) {
    server.Serve("/empty-404", HttpResponse::Status(404, "Not Found", ""));
    server.Serve("/bare-410", HttpResponse::Status(410, "", "gone"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/empty-404"), LocalFile()), "HTTP 404 Not Found");
    EXPECT_FALSE(LocalFileExists());
    // A status line without a reason phrase is named by its code.
    EXPECT_EQ(FetchUrlToFile(server.Url("/bare-410"), LocalFile()), "HTTP 410");
    EXPECT_FALSE(LocalFileExists());
}

TEST_F(FetchTest, StatusesBelow400AreStored) {
    server.Serve("/accepted", HttpResponse::Status(203, "Non-Authoritative Information", "ok"));
    // A 3xx without a Location is a final response like any other.
    server.Serve("/multiple", HttpResponse::Status(300, "Multiple Choices", "choose"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/accepted"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "ok");
    EXPECT_EQ(FetchUrlToFile(server.Url("/multiple"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "choose");
}

TEST_F(FetchTest, FollowsRedirectsAndStoresOnlyTheFinalBody) {
    server.Serve("/old", HttpResponse::Redirect(301, "/middle"));
    server.Serve("/middle", HttpResponse::Redirect(302, server.Url("/new")));
    server.Serve("/new", HttpResponse::Ok("moved here"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/old"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "moved here");
    EXPECT_THAT(server.RequestLines(),
                ElementsAre("GET /old HTTP/1.1", "GET /middle HTTP/1.1", "GET /new HTTP/1.1"));
}

TEST_F(FetchTest, ARedirectToAnErrorStatusLeavesTheFileAsItWas) {
    WriteFileBytes(LocalFile(), kOldContent);
    server.Serve("/old", HttpResponse::Redirect(302, "/gone"));
    server.Serve("/gone", HttpResponse::Status(404, "Not Found", "no"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/old"), LocalFile()), "HTTP 404 Not Found");
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, ARedirectToALocalFileIsRefused) {
    const std::string secret = scratch.File("secret.txt");
    WriteFileBytes(secret, "local secret");
    WriteFileBytes(LocalFile(), kOldContent);
    server.Serve("/evil", HttpResponse::Redirect(302, "file://" + secret));

    const std::string outcome = FetchUrlToFile(server.Url("/evil"), LocalFile());
    EXPECT_THAT(outcome, Not(""));
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);

    // Nor to any other scheme that libcurl would follow by default.
    server.Serve("/to-ftp", HttpResponse::Redirect(302, "ftp://127.0.0.1:1/klv.txt"));
    EXPECT_THAT(FetchUrlToFile(server.Url("/to-ftp"), LocalFile()), HasSubstr("\"ftp\""));
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, OnlyHttpAndHttpsAreFetched) {
    const std::string secret = scratch.File("secret.txt");
    WriteFileBytes(secret, "local secret");

    EXPECT_THAT(FetchUrlToFile("file://" + secret, LocalFile()), Not(""));
    EXPECT_THAT(FetchUrlToFile("ftp://127.0.0.1:1/x", LocalFile()), Not(""));
    EXPECT_FALSE(LocalFileExists());
}

TEST_F(FetchTest, ARedirectLoopEndsAfterTheBoundWithAFailure) {
    WriteFileBytes(LocalFile(), kOldContent);
    server.Serve("/loop", HttpResponse::Redirect(302, "/loop"));

    EXPECT_THAT(FetchUrlToFile(server.Url("/loop"), LocalFile()), HasSubstr("redirect"));
    EXPECT_EQ(server.RequestLines().size(), static_cast<std::size_t>(kMaxRedirects) + 1);
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, StoresAChunkedBody) {
    server.Serve("/chunked", HttpResponse::Chunked({"abc", std::string(3000, 'd'), "efg"}));

    EXPECT_EQ(FetchUrlToFile(server.Url("/chunked"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "abc" + std::string(3000, 'd') + "efg");
}

TEST_F(FetchTest, ABodyCutOffMidwayLeavesTheBytesReceivedAndAFailureText) {
    const std::string received = PatternedBytes(1500);
    server.Serve("/cut", HttpResponse::CutOff({received}, 4000));

    const std::string outcome = FetchUrlToFile(server.Url("/cut"), LocalFile());
    EXPECT_THAT(outcome, Not(""));
    EXPECT_LE(outcome.size(), kMaxErrorTextLength);
    EXPECT_EQ(ReadFileBytes(LocalFile()), received);
}

TEST_F(FetchTest, AChunkedBodyCutOffMidwayLeavesTheBytesReceivedAndAFailureText) {
    HttpResponse response = HttpResponse::Chunked({"part one,", "part two"});
    response.chunkedCutOff = true;
    server.Serve("/cut-chunked", response);

    EXPECT_THAT(FetchUrlToFile(server.Url("/cut-chunked"), LocalFile()), Not(""));
    EXPECT_EQ(ReadFileBytes(LocalFile()), "part one,part two");
}

TEST_F(FetchTest, ABodyEndedByClosingTheConnectionIsComplete) {
    HttpResponse response = HttpResponse::Ok("no length given");
    response.framing = HttpResponse::Framing::kUntilClose;
    server.Serve("/close", response);

    EXPECT_EQ(FetchUrlToFile(server.Url("/close"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "no length given");
}

TEST_F(FetchTest, AnUnresolvableHostGivesATextAndCreatesNothing) {
    EXPECT_THAT(FetchUrlToFile("http://nonexistent.invalid/klvsetup/list.txt", LocalFile()),
                Not(""));
    EXPECT_FALSE(LocalFileExists());

    WriteFileBytes(LocalFile(), kOldContent);
    EXPECT_THAT(FetchUrlToFile("http://nonexistent.invalid/", LocalFile()), Not(""));
    EXPECT_EQ(ReadFileBytes(LocalFile()), kOldContent);
}

TEST_F(FetchTest, ARefusedConnectionGivesATextAndCreatesNothing) {
    std::string url;
    {
        HttpTestServer gone;
        url = gone.Url("/x");
    }  // nothing listens on that port any more
    EXPECT_THAT(FetchUrlToFile(url, LocalFile()), Not(""));
    EXPECT_FALSE(LocalFileExists());
}

TEST_F(FetchTest, ALocalPathInAMissingDirectoryGivesTheFileErrorAfterTheRequest) {
    server.Serve("/list.txt", HttpResponse::Ok("a.html\n"));
    const std::string path = scratch.File("missing/local.txt");

    const std::string outcome = FetchUrlToFile(server.Url("/list.txt"), path);
    EXPECT_EQ(outcome, "Cannot create " + path + ": No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(scratch.File("missing")));
    // The URL was opened first.
    EXPECT_THAT(server.RequestLines(), ElementsAre("GET /list.txt HTTP/1.1"));
}

TEST_F(FetchTest, OutcomeTextsAreCutTo253Characters) {
    server.Serve("/list.txt", HttpResponse::Ok("a.html\n"));
    const std::string path = scratch.File(std::string(200, 'm') + "/" + std::string(200, 'f'));

    const std::string outcome = FetchUrlToFile(server.Url("/list.txt"), path);
    EXPECT_EQ(outcome.size(), kMaxErrorTextLength);
    EXPECT_THAT(outcome, StartsWith("Cannot create " + scratch.path().string()));
}

TEST_F(FetchTest, SendsOnePlainGetThatNoCacheMayAnswer) {
    server.Serve("/klvsetup/klvcgi.txt", HttpResponse::Ok("script"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/klvsetup/klvcgi.txt"), LocalFile()), "");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "GET /klvsetup/klvcgi.txt HTTP/1.1");
    EXPECT_EQ(requests[0].Header("Cache-Control"), "no-cache");
    EXPECT_EQ(requests[0].Header("Pragma"), "no-cache");
    EXPECT_EQ(requests[0].Header("User-Agent"), "klv");
    EXPECT_EQ(requests[0].Header("Accept-Encoding"), "");  // the body comes unchanged
}

TEST_F(FetchTest, ABlankInAListedNameIsSentPercentEncoded) {
    server.ServeDirectory(scratch.path());
    std::filesystem::create_directory(scratch.path() / "klvsetup");
    WriteFileBytes(scratch.File("klvsetup/my page.html"), "<p>page</p>");

    EXPECT_EQ(FetchUrlToFile(server.Url("/klvsetup/my page.html"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "<p>page</p>");
    EXPECT_THAT(server.RequestLines(), ElementsAre("GET /klvsetup/my%20page.html HTTP/1.1"));
}

TEST_F(FetchTest, NothingElseAboutTheUrlChanges) {
    server.Serve("/klvdocs.html", HttpResponse::Ok("docs"));

    EXPECT_EQ(FetchUrlToFile(server.Url("/klvdocs.html?id=500"), LocalFile()), "");
    EXPECT_EQ(FetchUrlToFile(server.Url("/Mixed%41Case~x_y-z.html?a=1&b=%2F"), LocalFile()),
              "HTTP 404 Not Found");
    EXPECT_THAT(server.RequestLines(),
                ElementsAre("GET /klvdocs.html?id=500 HTTP/1.1",
                            "GET /Mixed%41Case~x_y-z.html?a=1&b=%2F HTTP/1.1"));
}

TEST_F(FetchTest, ASinkThatFailsEndsTheFetchWithItsTextAndIsStillEnded) {
    server.Serve("/long", HttpResponse::Ok(PatternedBytes(5000)));
    FileSink file(LocalFile());
    RecordingSink recorder(file);
    recorder.failAtPiece = 2;

    EXPECT_EQ(FetchUrlToSink(server.Url("/long"), recorder), "sink refused a piece");
    EXPECT_EQ(recorder.pieceSizes.size(), 2u);
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_EQ(ReadFileBytes(LocalFile()), PatternedBytes(5000).substr(0, recorder.pieceSizes[0]));
}

TEST_F(FetchTest, EachCallIsCompleteInItself) {
    server.Serve("/a", HttpResponse::Ok("first"));
    server.Serve("/b", HttpResponse::Status(404, "Not Found", ""));

    EXPECT_EQ(FetchUrlToFile(server.Url("/a"), LocalFile()), "");
    EXPECT_EQ(FetchUrlToFile(server.Url("/b"), LocalFile()), "HTTP 404 Not Found");
    EXPECT_EQ(FetchUrlToFile(server.Url("/a"), LocalFile()), "");
    EXPECT_EQ(ReadFileBytes(LocalFile()), "first");
    EXPECT_EQ(server.RequestLines().size(), 3u);
}

}  // namespace
}  // namespace klv::web
