// The FTP client against the scripted server of testkit/servers.py: the replies, logons and
// transfer failures no real server produces on demand.
#include "ftp/ftp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "base/resolver.h"
#include "ftp/line_channel.h"
#include "ftp/tcp_socket.h"
#include "tests/support/support.h"

namespace klv::ftp {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::RowName;

class Scripted : public ::testing::Test {
protected:
    void Start(std::vector<std::string> rules) {
        log = scratch / ("log" + std::to_string(++starts));
        rules.insert(rules.begin(), {"ftp", log});
        server.emplace(rules);
        client.setIdleTimeout(500ms);
    }
    bool LogOn(std::string user = "", int type = 0, TlsOptions tls = {}) {
        LogonRequest request{server->host, server->port, user,         "p",  "a", server->host,
                             "fu",         "fp",         server->port, type, tls};
        if (type != 0) {
            request.host = "ftp.target.test";
            request.port = 2121;
        }
        return client.LogOn(request);
    }
    std::vector<std::string> Sent(std::size_t atLeast = 0) const {
        return testing::Lines(log, atLeast);
    }
    testing::Scratch scratch;
    std::string log;
    int starts = 0;
    std::optional<testing::LocalServer> server;
    FtpClient client;
};

// A reply of the scripted server (its greeting unless the rule says otherwise), and what
// the client makes of it, as Command("") or as LogOn. A whole reply is read within the idle
// bound and 1,000 lines, each line within 8 KiB; past a bound it is left unread, so the
// connection is closed.
struct Reply {
    const char* name;
    std::string rule;
    std::string text = std::string(kNetworkError);  // replyText() afterwards
    bool ok = false;                                // the result
    bool logOn = false;
};
// clang-format off
const Reply kReplies[] = {
    {.name = "Completed", .rule = "GREETING=220 ready", .text = "220 ready", .ok = true},
    {.name = "Block", .rule = "GREETING=220-a|220 x|220-b|220 end", .text = "220 x", .ok = true},
    {.name = "Preliminary", .rule = "GREETING=120 wait", .text = "120 wait"},
    {.name = "Refused", .rule = "GREETING=530 no", .text = "530 no"},
    {.name = "EmptyLine", .rule = "GREETING=", .text = ""},
    {.name = "Closed", .rule = "GREETING=CLOSE"},
    {.name = "ClosedInABlock", .rule = "GREETING=220-a|CLOSE"},
    {.name = "AThousandLines", .rule = "GREETING=220-*999|220 end", .text = "220 end", .ok = true},
    {.name = "MoreLines", .rule = "GREETING=220-*1000|220 end"},
    {.name = "ALineOver8KiB", .rule = "GREETING=220-" + std::string(kMaxLineLength, 'x') + "|220"},
    {.name = "LogonRefused", .rule = "PASS=530 Login incorrect.", .text = "530 Login incorrect.",
     .logOn = true},
    {.name = "LogonBeforeTheServerIsReady", .rule = "GREETING=120 not yet", .text = "120 not yet",
     .logOn = true},
    {.name = "LogonClosed", .rule = "USER=CLOSE", .logOn = true},
};
// clang-format on
class Replies : public Scripted, public ::testing::WithParamInterface<Reply> {};

TEST_P(Replies, EndAtTheClosingLineSucceedOnlyInClassTwoAndKeepTheConnectionInStep) {
    Start({GetParam().rule});
    ASSERT_TRUE(GetParam().logOn || client.Connect(server->host, server->port));
    EXPECT_EQ(GetParam().logOn ? LogOn() : client.Command(""), GetParam().ok);
    EXPECT_EQ(client.replyText(), GetParam().text);
    EXPECT_EQ(client.connected(), GetParam().text != kNetworkError);
}

INSTANTIATE_TEST_SUITE_P(Client, Replies, ::testing::ValuesIn(kReplies), RowName);

// The bound a trickled reply lowered (to 0.5 s, at its second line) is restored.
TEST_F(Scripted, TheNextReplyHasTheWholeIdleBoundAgain) {
    Start({"GREETING=220-a|PAUSE|220-b|PAUSE|220 done", "SITE=PAUSE|PAUSE|200 ok"});
    client.setIdleTimeout(800ms);
    ASSERT_TRUE(client.Connect(server->host, server->port) && client.Command(""));
    EXPECT_TRUE(client.Command("SITE x")) << client.replyText();
}

TEST_F(Scripted, CommandsCarryingASecondCommandAreNeverSent) {
    Start({});
    ASSERT_TRUE(client.Connect(server->host, server->port) && client.Command(""));
    EXPECT_FALSE(client.Command("CWD a\r\nDELE b"));
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    EXPECT_FALSE(client.Command("CWD a\nDELE b"));
    EXPECT_FALSE(client.Command(std::string("CWD a\0b", 7)));
    EXPECT_EQ(client.replyText(), kCommandHasNul);
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi"));
    client.LogOff();
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.Command("NOOP"));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_THAT(Sent(2), ElementsAre("SITE chmod 755 klv.cgi", "QUIT"));
    EXPECT_FALSE(client.Connect("host.invalid", 21));  // a closed port: Workflows.*/FtpDown
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(LogOn("u", 9) || LogOn("u", -1));  // out of range: nothing dialled
    EXPECT_EQ(client.replyText(), kUnableToConnect);
}

// What a logon of `type` sends ("," between the commands), after "+" where it logs on or
// its failure text, with every reply of class 2, of class 3 (ACCT aside), and mixed.
#define H "ftp.target.test:2121"  // the target, as a gateway is told it
struct Walk {
    const char* name;
    int type;
    const char *done, *more, *mixed;
};
// clang-format off
const Walk kWalks[] = {
    {.name = "Direct", .type = 0, .done = "+,USER u", .more = "+,USER u,PASS p,ACCT a",
     .mixed = "+,USER u,PASS p"},
    {.name = "SiteHost", .type = 1, .done = "Logon failed,USER fu,SITE " H,
     .more = "Logon failed,USER fu,PASS fp", .mixed = "+,USER fu,PASS fp,SITE " H ",USER u,PASS p"},
    {.name = "FirewallThenUserAtHost", .type = 2, .done = "+,USER fu,USER u@" H,
     .more = "Logon failed,USER fu,PASS fp", .mixed = "+,USER fu,PASS fp,USER u@" H ",PASS p"},
    {.name = "OpenHost", .type = 3, .done = "+,OPEN " H ",USER u",
     .more = "+,OPEN " H ",USER u,PASS p,ACCT a", .mixed = "+,OPEN " H ",USER u,PASS p"},
    {.name = "FirewallThenUser", .type = 4, .done = "+,USER fu,USER u",
     .more = "Logon failed,USER fu,PASS fp", .mixed = "+,USER fu,PASS fp,USER u,PASS p"},
    {.name = "UserAtHost", .type = 5, .done = "+,USER u@" H,
     .more = "+,USER u@" H ",PASS p,ACCT a", .mixed = "+,USER u@" H ",PASS p"},
    {.name = "FirewallUserAtHost", .type = 6, .done = "+,USER fu@" H ",USER u",
     .more = "Logon failed,USER fu@" H ",PASS fp",
     .mixed = "+,USER fu@" H ",PASS fp,USER u,PASS p"},
    {.name = "UserAtHostFirewallUser", .type = 7, .done = "Logon failed,USER u@" H " fu",
     .more = "+,USER u@" H " fu,PASS p,ACCT a", .mixed = "+,USER u@" H " fu,PASS p"},
    {.name = "UserAtFirewallUserAtHost", .type = 8, .done = "+,USER u@fu@" H,
     .more = "+,USER u@fu@" H ",PASS p@fp,ACCT a", .mixed = "+,USER u@fu@" H ",PASS p@fp"},
};
// clang-format on
#undef H
class Logon : public Scripted, public ::testing::WithParamInterface<Walk> {};

TEST_P(Logon, FollowsTheSequenceOfItsType) {
    const std::vector<std::string> rules[] = {
        {"USER=230 ok", "PASS=230 ok", "SITE=200 ok", "OPEN=220 ok"},
        {"USER=331 more", "PASS=332 more", "SITE=331 more", "OPEN=331 more"},
        {"USER=331 more", "SITE=331 more"},
        {"USER=331 more", "PASS=332 more", "SITE=331 more", "OPEN=331 more", "ACCT=332 more"}};
    const char* expected[] = {GetParam().done, GetParam().more, GetParam().mixed};
    for (std::size_t walk = 0; walk < 3; ++walk) {
        Start(rules[walk]);
        std::string sent = LogOn("u", GetParam().type) ? "+" : client.replyText();
        for (const std::string& line : Sent()) {
            sent += "," + line;
        }
        EXPECT_EQ(sent, expected[walk]);
    }
    Start(rules[3]);
    EXPECT_FALSE(LogOn("u", GetParam().type));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, Logon, ::testing::ValuesIn(kWalks), RowName);

// A reply to "AUTH TLS" (in one write) as no honest server gives, whether the host spoke
// TLS before, and the logon's failure text.
struct Hostile {
    const char* name;
    std::string reply;
    std::string_view text;
    bool spokeTls = false;  // before, on that host
};
// clang-format off
const Hostile kHostile[] = {
    {.name = "Garbage", .reply = "hello there", .text = "hello there"},
    {.name = "HandshakeUnanswered", .reply = "234 Go", .text = "TLS handshake failed"},
    {.name = "ReplyBeforeTheHandshake", .reply = "234 Go\r\n230 In", .text = kTlsReplyInjected},
    {.name = "RefusedAfterTlsBefore", .reply = "500 No", .text = kTlsDowngrade, .spokeTls = true},
    {.name = "StalledAfterTlsBefore", .reply = "234 Go", .text = kTlsDowngrade, .spokeTls = true},
    {.name = "ResetInTheHandshake", .reply = "234 Go|RESET",
     .text = "TLS handshake failed: Connection reset by peer"},
};
// clang-format on
class HostileAuth : public Scripted, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileAuth, LogonFailsAndNothingFollowsAuthTls) {
    Start({"AUTH=" + GetParam().reply});  // a stalled handshake ends at the idle bound
    EXPECT_FALSE(LogOn("", 0, {.attempt = true, .required = GetParam().spokeTls}));
    EXPECT_THAT(client.replyText(), ::testing::StartsWith(std::string(GetParam().text)));
    client.Disconnect();
    // After "AUTH TLS" at most a ClientHello (a TLS record, byte 22), never a command.
    const std::vector<std::string> sent = Sent(1);
    ASSERT_EQ(sent.at(0), "AUTH TLS");
    EXPECT_TRUE(sent.size() == 1 || sent[1].starts_with('\x16')) << sent[1];
}

INSTANTIATE_TEST_SUITE_P(Client, HostileAuth, ::testing::ValuesIn(kHostile), RowName);

// A 4xx or 5xx to "AUTH TLS" (RFC 4217's 431: not now) from a host never seen with TLS: the
// logon goes on in clear text. From one that spoke TLS before, under its name or at the
// address reached, it stops there.
struct AuthRefused {
    const char* name;
    std::string reply;
    bool byName, atAddress;  // spoke TLS before
};
const AuthRefused kAuthRefused[] = {
    {"Unavailable", "431 Unable to accept security mechanism", false, false},
    {"NotUnderstood", "500 AUTH not understood", false, false},
    {"UnavailableAfterTls", "431 later", true, false},
    {"UnavailableAfterTlsAtTheAddress", "431 later", false, true},
    {"RefusedAfterTlsAtTheAddress", "534 no", false, true}};
class AuthRefusals : public Scripted, public ::testing::WithParamInterface<AuthRefused> {};

TEST_P(AuthRefusals, GoOnInClearTextOnlyWithAHostNeverSeenWithTls) {
    const auto& [name, reply, byName, atAddress] = GetParam();
    Start({"AUTH=" + reply});
    std::string asked;
    const TlsOptions tls{
        .attempt = true, .required = byName, .spokeTlsAt = [&](const auto& address) {
            return asked = address, atAddress;
        }};
    EXPECT_EQ(LogOn("u", 0, tls), !byName && !atAddress);
    EXPECT_EQ(asked, byName ? "" : "127.0.0.1");  // known by name: no need to ask
    EXPECT_EQ(client.replyText(), byName || atAddress ? kTlsDowngrade : "230 logged on");
    EXPECT_EQ(Sent(byName || atAddress ? 1 : 3).size(),
              byName || atAddress ? 1u : 3u);  // AUTH TLS, USER, PASS
}

INSTANTIATE_TEST_SUITE_P(Client, AuthRefusals, ::testing::ValuesIn(kAuthRefused), RowName);

// An IPv4 peer seen through an IPv6 socket is the IPv4 address it is; a PASV reply naming
// it names the control connection's host.
TEST(SocketAddresses, AMappedIpv4AddressIsTheIpv4HostItNames) {
    const auto address = [](const char* text) {
        return Resolve(text, 21, AF_UNSPEC, DeadlineAfter(1s)).addresses.at(0);
    };
    const SocketAddress mapped = address("::ffff:192.0.2.7");
    ASSERT_EQ(mapped.family(), AF_INET6);
    const SocketAddress four = tcp::Unmapped(mapped);
    EXPECT_EQ(four.family(), AF_INET);
    EXPECT_EQ(tcp::AddressText(four), "192.0.2.7");
    EXPECT_EQ(tcp::PortOf(four), 21u);
    EXPECT_EQ(tcp::AddressText(tcp::Unmapped(address("2001:db8::1"))), "2001:db8::1");
    EXPECT_TRUE(tcp::SameHost(four, address("192.0.2.7")));
    EXPECT_FALSE(tcp::SameHost(four, address("192.0.2.8")));
    EXPECT_FALSE(tcp::SameHost(four, mapped));
    EXPECT_TRUE(tcp::SameHost(address("2001:db8::1"), address("2001:db8::1")));
    EXPECT_FALSE(tcp::SameHost(address("2001:db8::1"), address("2001:db8::2")));
}

// An address that never answers holds the next one back a quarter of a second, not for
// the idle bound; one that refuses not at all.
TEST_F(Scripted, EveryAddressIsTriedWithoutWaitingOutTheOneBefore) {
    Start({});
    const testing::LocalServer full({"full"});
    const auto at = [](const testing::LocalServer& s, unsigned port) {
        SocketAddress address =
            Resolve(s.host, s.port, AF_UNSPEC, DeadlineAfter(1s)).addresses.at(0);
        return tcp::SetPort(address, port), address;
    };
    const SocketAddress addresses[] = {at(full, full.port), at(*server, testing::kClosedPort),
                                       at(*server, server->port)};
    const auto start = Clock::now();
    const UniqueFd connected = tcp::ConnectFirst(addresses, DeadlineAfter(30s));
    ASSERT_TRUE(connected.valid());
    EXPECT_EQ(tcp::PortOf(*tcp::PeerAddress(connected.get())), server->port);
    EXPECT_GE(Clock::now() - start, tcp::kAttemptDelay);
    EXPECT_LT(Clock::now() - start, 5s);
}

// The ClientHello names the host (SNI) when it is a name, and never an address.
TEST_F(Scripted, TheTlsHandshakeNamesTheHostButNoAddress) {
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        Start({"AUTH=234 Go|SILENT"});
        client.setIdleTimeout(300ms);
        LogonRequest request;
        request.host = host;
        request.port = server->port;
        request.tls.attempt = true;
        EXPECT_FALSE(client.LogOn(request));
        client.Disconnect();
        const std::string hello = testing::ReadFile(log);
        EXPECT_EQ(hello.find(host) != std::string::npos, host == "localhost") << host;
    }
}

using enum DataConnection;
using enum TransferStage;

// An upload that fails: the scripted server's rule, and where and how the upload stops.
struct Failure {
    const char* name;
    std::string rule;
    DataConnection via = Active;
    TransferStage at;
    std::string text = std::string(kNetworkError);  // replyText()
    bool big = false;                               // a file too big for the sockets' buffers
};
// clang-format off
const Failure kFailures[] = {
    {.name = "TypeRefused", .rule = "TYPE=504 no", .at = Type, .text = "504 no"},
    {.name = "LostAtType", .rule = "TYPE=CLOSE", .via = Passive, .at = Type},
    {.name = "PasvRefused", .rule = "PASV=502", .via = Passive, .at = DataSetup, .text = "502"},
    {.name = "PasvWithoutAddress", .rule = "PASV=227 none", .via = Passive, .at = DataSetup,
     .text = "227 none"},
    {.name = "PortRefused", .rule = "PORT=500 no", .at = DataSetup, .text = "500 no"},
    {.name = "StorRefused", .rule = "STOR=550 no", .at = TransferCommand, .text = "550 no"},
    {.name = "StorRefusedPassive", .rule = "STOR=550 no", .via = Passive, .at = TransferCommand,
     .text = "550 no"},
    {.name = "StorDoneAtOnce", .rule = "STOR=226 odd", .via = Passive, .at = TransferCommand,
     .text = "226 odd"},
    {.name = "NoDataConnection", .rule = "STOR=150 go|425 no", .at = DataConnect, .text = "425 no"},
    {.name = "LostBeforeData", .rule = "STOR=150 go|CLOSE", .at = DataConnect},
    {.name = "NeverConnected", .rule = "STOR=150 go", .at = DataConnect},
    {.name = "PasvPortZero", .rule = "PASV=227 (127,0,0,1,0,0)", .via = Passive, .at = DataConnect},
    {.name = "ClosingRefused", .rule = "STOR=150 go|DATA|451", .at = ClosingReply, .text = "451"},
    {.name = "LostAfterData", .rule = "STOR=150 go|DATA|CLOSE", .via = Passive, .at = ClosingReply},
    {.name = "DataReset", .rule = "STOR=150 go|CUT|226", .via = Passive, .at = Copy, .big = true},
    {.name = "NoClosingReply", .rule = "STOR=150 go|DATA|SILENT", .at = ClosingReply},
};
// clang-format on
class Failures : public Scripted, public ::testing::WithParamInterface<Failure> {};

TEST_P(Failures, StopAtTheirStepWithTheServersLineOrTheCause) {
    const Failure& failure = GetParam();
    Start({failure.rule});
    testing::WriteFile(scratch / "local", "upload");
    std::filesystem::resize_file(scratch / "local", failure.big ? std::size_t{64} << 20 : 6);
    ASSERT_TRUE(LogOn());
    EXPECT_FALSE(client.Put("www/klv/page", scratch / "local", failure.via, TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), failure.at);
    EXPECT_EQ(client.replyText(), failure.text);
}

INSTANTIATE_TEST_SUITE_P(Client, Failures, ::testing::ValuesIn(kFailures), RowName);

// TYPE goes out when the connection's type changes, again after a refusal, and anew on a
// new connection.
TEST_F(Scripted, TypeIsSentOnlyWhenTheConnectionsTypeChanges) {
    testing::WriteFile(scratch / "local", "x");
    const auto upload = [&](TransferType type) {
        (void)client.Put("p", scratch / "local", Passive, type);
        return client.lastTransferStage();
    };
    const TransferType a = TransferType::Ascii, i = TransferType::Image;
    Start({"PASV=502 no", "TYPE#2=504 no"});
    ASSERT_TRUE(LogOn());
    for (const auto& [type, stage] :
         {std::pair{a, DataSetup}, {a, DataSetup}, {i, Type}, {i, DataSetup}, {a, DataSetup}}) {
        EXPECT_EQ(upload(type), stage);
    }
    EXPECT_THAT(Sent(10), ElementsAre("USER ", "PASS p", "TYPE A", "PASV", "PASV", "TYPE I",
                                      "TYPE I", "PASV", "TYPE A", "PASV"));
    Start({"PASV=502 no"});
    ASSERT_TRUE(LogOn());
    EXPECT_EQ(upload(a), DataSetup);
    EXPECT_THAT(Sent(4), ElementsAre("USER ", "PASS p", "TYPE A", "PASV"));
}

}  // namespace
}  // namespace klv::ftp
