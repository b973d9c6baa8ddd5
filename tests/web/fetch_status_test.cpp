#include "installer/fetch_status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "tests/support/http/http_test_server.h"
#include "tests/web/web_test_support.h"

namespace klv {
namespace {

using testing::HttpResponse;
using testing::HttpTestServer;
using testing::ReadFileBytes;
using testing::ScratchDirectory;

class FetchStatusTest : public ::testing::Test {
protected:
    FetchStatusTest() { ::setenv("no_proxy", "127.0.0.1,localhost", 1); }

    ScratchDirectory scratch;
    HttpTestServer server;
    std::unique_ptr<SharedState> shared = std::make_unique<SharedState>();
};

TEST_F(FetchStatusTest, AFailureLeavesTheSameTextInBothBuffers) {
    server.Serve("/klvsetup/list.txt", HttpResponse::Status(404, "Not Found", ""));

    FetchUrlToFile(*shared, server.Url("/klvsetup/list.txt"), scratch.File("klv.txt"));
    EXPECT_EQ(shared->fetchErrorText, "HTTP 404 Not Found");
    EXPECT_EQ(shared->statusText, "HTTP 404 Not Found");
}

TEST_F(FetchStatusTest, ASuccessClearsAnEarlierFailureText) {
    server.Serve("/klvsetup/list.txt", HttpResponse::Ok("index.html\n"));
    shared->statusText = "Unable to connect to server";
    shared->fetchErrorText = "Could not resolve host: nonexistent.invalid";

    FetchUrlToFile(*shared, server.Url("/klvsetup/list.txt"), scratch.File("klv.txt"));
    EXPECT_TRUE(shared->fetchErrorText.empty());
    EXPECT_TRUE(shared->statusText.empty());
    EXPECT_EQ(ReadFileBytes(scratch.File("klv.txt")), "index.html\n");
}

TEST_F(FetchStatusTest, AnUnresolvableHostLeavesLibcurlsText) {
    shared->statusText = "If Script Upload OK, Then Update Pages";

    FetchUrlToFile(*shared, "http://nonexistent.invalid/", scratch.File("klv.txt"));
    EXPECT_FALSE(shared->statusText.empty());
    EXPECT_NE(shared->statusText, "If Script Upload OK, Then Update Pages");
    EXPECT_EQ(shared->statusText.view(), shared->fetchErrorText.view());
}

}  // namespace
}  // namespace klv
