// No reply is read without end: a whole reply gets the idle bound and 1,000 lines.
#include "tests/ftp/ftp_test_helpers.h"

namespace klv::ftp {
namespace {

// The lines of a reply (the last one closes it), the pause after each but the last, and
// whether the reply is read.
using BoundCase = std::tuple<std::size_t, int, bool>;

class ReplyBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ReplyBound, WholeReplyWithinTheIdleBoundAndAThousandLines) {
    const auto [lines, pauseMs, read] = GetParam();
    klv::testing::FakeFtpServer server;
    for (std::size_t i = 1; i < lines; ++i) {
        server.Reply("220-more\r\n").Pause(std::chrono::milliseconds(pauseMs));
    }
    server.Reply("220 done\r\n");
    server.Start();
    FtpClient client;
    client.setIdleTimeout(std::chrono::milliseconds(1000));
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    EXPECT_EQ(client.Command(""), read);
    EXPECT_EQ(client.replyText(), read ? "220 done" : kNetworkError);
    EXPECT_EQ(client.connected(), read);
    server.Finish();
}

// Every line of the trickle comes well within the idle bound; the whole reply does not.
INSTANTIATE_TEST_SUITE_P(Replies, ReplyBound,
                         ::testing::Values(BoundCase{1000, 0, true}, BoundCase{1001, 0, false},
                                           BoundCase{9, 300, false}));

}  // namespace
}  // namespace klv::ftp
