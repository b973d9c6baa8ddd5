// The HTTP download against servers.py's HTTP server on loopback.
#include "web/fetch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "base/cancel.h"
#include "tests/support/support.h"
#include "web/fetch_many.h"

namespace klv::web {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Lines;
using ::testing::Not;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kOld[] = "the file as it was\n";

const std::string kLong = std::string(1500, 'l') + std::string(1000, 'L');

class Fetch : public ::testing::Test {
protected:
    Fetch() {
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        WriteFile(scratch / "www/long", kLong);
    }
    void Serve(std::vector<std::string> routes) {
        routes.insert(routes.begin(), {"http", scratch / "www", scratch / "log"});
        server.emplace(std::move(routes));
    }
    std::vector<std::string> Requests() const { return Lines(scratch / "log"); }
    std::string Get(const std::string& path) { return FetchUrlToFile(server->Url(path), local); }
    testing::Scratch scratch;
    bool made = std::filesystem::create_directory(scratch.path / "www");
    std::string local = scratch / "local.txt";
    std::optional<testing::LocalServer> server;
};

// How /x answers, and what the fetch makes of it: its outcome (empty on success) holds
// `outcome`; the local file, which held kOld, holds `stored` if there is one. "{other}" is
// the port of a second server, which answers /x with "200 OK".
struct Status {
    const char* name;
    const char* route;
    const char* outcome = "";
    std::optional<std::string> stored = std::nullopt;
};
constexpr char kBody[] = "body of /x";
// clang-format off
const Status kStatuses[] = {
    {.name = "Ok", .route = "200 OK", .stored = kBody},
    {.name = "MultipleChoices", .route = "300 Choose", .stored = kBody},
    {.name = "NotFound", .route = "404 Not Found", .outcome = "HTTP 404 Not Found"},
    {.name = "RedirectLoop", .route = "301>/moved", .outcome = "Maximum (10) redirects followed"},
    {.name = "TheMostRedirects", .route = "302>/c2", .stored = kLong},
    {.name = "OneRedirectTooMany", .route = "302>/c1", .outcome = "Maximum (10) redirects followed"},
    {.name = "RedirectOnTheSamePort", .route = "302>http://127.0.0.1:{port}/long", .stored = kLong},
    {.name = "RedirectToAFile", .route = "302>file:///etc/passwd",
     .outcome = "another host not followed: file:///etc/passwd"},
    {.name = "RedirectToAnotherHost", .route = "307>http://localhost/x",
     .outcome = "another host not followed: http://localhost/x"},
    {.name = "TwoBlanksInTheStatusLine", .route = " 302>http://localhost:{other}/x",
     .outcome = "Redirect to another host not followed: http://localhost:"},
    {.name = "RedirectToAnotherPort", .route = "302>http://127.0.0.1:{other}/x",
     .outcome = "Redirect to another port not followed: http://127.0.0.1:"},
    {.name = "RedirectToFtp", .route = "302>ftp://127.0.0.1:1/x",
     .outcome = "Redirect not followed: ftp://127.0.0.1:1/x"},
    {.name = "Cut", .route = "cut", .outcome = "transfer closed", .stored = kBody},
};
// clang-format on
class Statuses : public Fetch, public ::testing::WithParamInterface<Status> {};

TEST_P(Statuses, StoreTheBodyOnlyOnSuccess) {
    std::string route = std::string("/x=") + GetParam().route;
    std::optional<testing::LocalServer> other;
    if (const std::size_t at = route.find("{other}"); at != std::string::npos) {
        other.emplace(
            std::vector<std::string>{"http", scratch / "www", scratch / "other", "/x=200 OK"});
        route.replace(at, 7, std::to_string(other->port));
    }
    // /cN redirects kMaxRedirects + 1 - N times before /long answers.
    std::vector<std::string> routes = {route, "/moved=302>/x"};
    for (long n = 1; n <= kMaxRedirects; ++n) {
        routes.push_back("/c" + std::to_string(n) + "=302>" +
                         (n < kMaxRedirects ? "/c" + std::to_string(n + 1) : "/long"));
    }
    Serve(routes);
    WriteFile(local, kOld);
    const std::string outcome = Get("/x");
    EXPECT_THAT(outcome, HasSubstr(GetParam().outcome));
    EXPECT_EQ(outcome.empty(), *GetParam().outcome == '\0');
    EXPECT_EQ(ReadFile(local), GetParam().stored.value_or(kOld));
    EXPECT_FALSE(std::filesystem::exists(scratch / "other"));  // never asked
}

INSTANTIATE_TEST_SUITE_P(Web, Statuses, ::testing::ValuesIn(kStatuses), testing::RowName);

TEST_F(Fetch, AnErrorCreatesNoFileAndARedirectStoresTheFinalBody) {
    Serve({"/gone=404 Not Found", "/bare=410", "/old=301>/middle", "/middle=302>/long"});
    EXPECT_EQ(Get("/gone"), "HTTP 404 Not Found");
    EXPECT_EQ(Get("/bare"), "HTTP 410");
    EXPECT_FALSE(std::filesystem::exists(local));
    for (const std::string& url : {std::string("http://host.invalid/"), std::string("file:///x"),
                                   server->Url("/x").replace(0, 4, "ftp"),
                                   "http://127.0.0.1:" + std::to_string(testing::kClosedPort)}) {
        EXPECT_THAT(FetchUrlToFile(url, local), Not("")) << url;
    }
    EXPECT_FALSE(std::filesystem::exists(local));
    EXPECT_EQ(Get("/old"), "");
    EXPECT_EQ(ReadFile(local), kLong);
    WriteFile(local, std::string(5000, 'o'));
    EXPECT_EQ(Get("/middle"), "");  // a longer file is cut to the new body
    EXPECT_EQ(ReadFile(local), kLong);
}

// The rule alone, for the https cases no loopback server here can serve: a redirect from
// `from` to `location` is refused with `refusal`, or followed if that is empty.
struct Redirect {
    const char* name;
    const char* from;
    const char* location;
    const char* refusal = "";
};
// clang-format off
const Redirect kRedirects[] = {
    {.name = "HttpsToHttp", .from = "https://h.example/a", .location = "http://h.example/b",
     .refusal = "Redirect from https to http not followed: http://h.example/b"},
    {.name = "Relative", .from = "https://h.example/a", .location = "/b?c"},
    {.name = "UpToHttpsAnyCase", .from = "http://H.example/a", .location = "https://h.EXAMPLE/b"},
    {.name = "UpToHttpsOnTheSamePort", .from = "http://h.example:8080/a",
     .location = "https://h.example:8080/b"},
    {.name = "UpToHttpsOnTheDefaultPort", .from = "http://h.example:8080/a",
     .location = "https://h.example/b",
     .refusal = "Redirect to another port not followed: https://h.example/b"},
    {.name = "TheDefaultPortNamed", .from = "https://h.example/a",
     .location = "https://h.example:443/b"},
    {.name = "AnotherPort", .from = "https://h.example/a", .location = "https://h.example:8443/b",
     .refusal = "Redirect to another port not followed: https://h.example:8443/b"},
    {.name = "AnotherHost", .from = "https://h.example/a", .location = "https://h.example.net/b",
     .refusal = "Redirect to another host not followed: https://h.example.net/b"},
    {.name = "NoUrl", .from = "https://h.example/a", .location = "http://[h/",
     .refusal = "Redirect not followed: http://[h/"},
};
// clang-format on
class RedirectRule : public ::testing::TestWithParam<Redirect> {};

TEST_P(RedirectRule, StaysOnTheHostAndPortAndNeverLeavesHttps) {
    EXPECT_EQ(RefusedRedirect(GetParam().from, GetParam().location), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(Web, RedirectRule, ::testing::ValuesIn(kRedirects), testing::RowName);

TEST_F(Fetch, SendsOnePlainGetAndTheUrlAsGiven) {
    Serve({"/echo=echo"});
    WriteFile(scratch / "www/my page.html", "<p>page</p>");
    EXPECT_EQ(Get("/echo"), "");
    const std::string headers = ReadFile(local);
    EXPECT_THAT(headers, HasSubstr("Cache-Control: no-cache\n"));
    EXPECT_THAT(headers, HasSubstr("Pragma: no-cache\n"));
    EXPECT_THAT(headers, HasSubstr("User-Agent: klv\n"));
    EXPECT_THAT(headers, Not(HasSubstr("Accept-Encoding")));
    EXPECT_EQ(Get("/my page.html"), "");
    EXPECT_EQ(ReadFile(local), "<p>page</p>");
    EXPECT_EQ(Get("/Mixed%41~x_y-z.html?id=500&b=%2F"), "HTTP 404 Not Found");
    EXPECT_THAT(Requests(), ElementsAre("GET /echo HTTP/1.1", "GET /my%20page.html HTTP/1.1",
                                        "GET /Mixed%41~x_y-z.html?id=500&b=%2F HTTP/1.1"));
}

TEST_F(Fetch, LocalFailuresAreNamedAndCutTo253Characters) {
    Serve({});
    EXPECT_EQ(FetchUrlToFile(server->Url("/long"), scratch / "missing/local.txt"),
              "Cannot create " + (scratch / "missing/local.txt") + ": No such file or directory");
    EXPECT_THAT(Requests(), ElementsAre("GET /long HTTP/1.1"));     // the address came first
    EXPECT_THAT(FetchUrlToFile(server->Url("/long"), "/dev/full"),  // a full disk
                ::testing::StartsWith("Cannot write /dev/full"));
    const std::string outcome =
        FetchUrlToFile(server->Url("/long"), scratch / (std::string(300, 'm') + "/f"));
    EXPECT_EQ(outcome.size(), kMaxErrorTextLength);
    EXPECT_THAT(outcome, ::testing::StartsWith("Cannot create " + scratch.path.string()));
}

using Outcomes = std::map<std::size_t, std::string>;

// FetchMany on a thread of its own, under a cancel token of its own, recording each report.
class Batch {
public:
    Batch(std::vector<FetchJob> jobs, std::size_t slots) : gate(slots), jobs_(std::move(jobs)) {
        thread_ = std::thread([this] {
            const RunScope scope(token);
            FetchMany(jobs_, gate, [this](std::size_t index, const std::string& outcome) {
                const std::lock_guard lock(mutex_);
                reports_ += outcomes_.emplace(index, outcome).second ? 1 : 1000;  // once each
                reported_.notify_all();
            });
        });
    }
    ~Batch() {
        token.Cancel();
        Join();
    }
    // What was reported once there are `count` reports, or after five seconds.
    Outcomes Reported(std::size_t count) {
        std::unique_lock lock(mutex_);
        reported_.wait_for(lock, std::chrono::seconds(5), [&] { return reports_ >= count; });
        EXPECT_EQ(reports_, outcomes_.size()) << "a job was reported twice";
        return outcomes_;
    }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    CancelToken token;
    FetchGate gate;

private:
    std::vector<FetchJob> jobs_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable reported_;
    Outcomes outcomes_;
    std::size_t reports_ = 0;
};

// How page N of a batch is answered (at /N, "{N}" its number), and what the fetch makes of
// it: an outcome holding `outcome`, and the file of /N and /N.html (its length N's own)
// stored, or no file. "{other}" is the port of a second server.
struct Page {
    const char* name;
    const char* route;
    const char* outcome = "";
    bool stored = false;
};
// clang-format off
const Page kPages[] = {
    {.name = "Ok", .route = "file", .stored = true},
    {.name = "RedirectOnTheSameHost", .route = "302>/{N}.html", .stored = true},
    {.name = "NotFound", .route = "404 Not Found", .outcome = "HTTP 404 Not Found"},
    {.name = "AnotherHost", .route = "302>http://localhost:{port}/{N}.html",
     .outcome = "Redirect to another host not followed: http://localhost:"},
    {.name = "AnotherPort", .route = "302>http://127.0.0.1:{other}/{N}.html",
     .outcome = "Redirect to another port not followed: http://127.0.0.1:"},
};
// clang-format on

std::string PageBody(std::size_t n) {
    return std::string(n * 9000 + 1, static_cast<char>('a' + n % 26));
}

TEST_F(Fetch, ManyPagesLandAtOnceEachWithItsOwnOutcome) {
    const testing::LocalServer other({"http", scratch / "www", scratch / "other"});
    std::vector<std::string> routes;
    std::vector<FetchJob> jobs;
    for (std::size_t n = 0; n < 25; ++n) {
        std::string route = "/" + std::to_string(n) + "=" + kPages[n % std::size(kPages)].route;
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"{N}", std::to_string(n)},
              {"{other}", std::to_string(other.port)}}) {
            if (const std::size_t at = route.find(from); at != std::string::npos) {
                route.replace(at, from.size(), to);
            }
        }
        routes.push_back(route);
        for (const char* suffix : {"", ".html"}) {
            WriteFile(scratch / ("www/" + std::to_string(n) + suffix), PageBody(n));
        }
    }
    Serve(routes);
    for (std::size_t n = 0; n < 25; ++n) {
        jobs.push_back({server->Url("/" + std::to_string(n)), scratch / std::to_string(n)});
    }
    Batch batch(jobs, jobs.size());
    const Outcomes outcomes = batch.Reported(jobs.size());
    ASSERT_EQ(outcomes.size(), jobs.size());
    for (const auto& [n, outcome] : outcomes) {
        const Page& page = kPages[n % std::size(kPages)];
        SCOPED_TRACE(std::string(page.name) + " " + std::to_string(n));
        EXPECT_THAT(outcome, HasSubstr(page.outcome));
        EXPECT_EQ(outcome.empty(), *page.outcome == '\0');
        EXPECT_EQ(ReadFile(jobs[n].localPath), page.stored ? PageBody(n) : "");
        EXPECT_EQ(std::filesystem::exists(jobs[n].localPath), page.stored);
    }
    EXPECT_FALSE(std::filesystem::exists(scratch / "other"));  // never asked
}

TEST_F(Fetch, TheGateBoundsHowFarABatchRunsAhead) {
    Serve({});
    std::vector<FetchJob> jobs;
    for (std::size_t n = 0; n < 10; ++n) {
        jobs.push_back({server->Url("/long"), scratch / std::to_string(n)});
    }
    Batch batch(jobs, 3);
    const Outcomes first = {{0, ""}, {1, ""}, {2, ""}};
    EXPECT_EQ(batch.Reported(3), first);
    EXPECT_EQ(Lines(scratch / "log", 4).size(), 3u);  // two seconds for a fourth request
    EXPECT_EQ(batch.Reported(3), first);
    batch.gate.Release();
    EXPECT_EQ(batch.Reported(4).size(), 4u);
    for (int slot = 0; slot < 6; ++slot) {
        batch.gate.Release();
    }
    EXPECT_EQ(batch.Reported(10).size(), 10u);
    EXPECT_EQ(ReadFile(jobs.back().localPath), kLong);
}

TEST_F(Fetch, CancelEndsABatchWithinASecond) {
    Serve({"/silent=silent"});
    constexpr std::size_t kJobs = kConnectionsPerHost + 6;  // some wait for a connection
    Batch batch(std::vector<FetchJob>(kJobs, {server->Url("/silent"), local}), kJobs);
    ASSERT_EQ(Lines(scratch / "log", kConnectionsPerHost).size(), kConnectionsPerHost);
    const auto start = std::chrono::steady_clock::now();
    batch.token.Cancel();
    batch.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    const Outcomes outcomes = batch.Reported(kJobs);
    EXPECT_EQ(outcomes.size(), kJobs);
    for (const auto& [n, outcome] : outcomes) {
        EXPECT_EQ(outcome, kCancelled) << n;
    }
}

}  // namespace
}  // namespace klv::web
