// FetchUrlToFile against the curl command line, the same body from the same loopback
// server (testkit/servers.py: files sent with sendfile, so the server is not what limits
// either), in the same run, alternating.
//
//   web_bench [MiB] [rounds]
//
// The body is 64 MiB unless given (or KLV_WEB_BENCH_MIB): the largest a fetch stores
// (web/fetch.h kMaxDownloadBytes), and a larger size is refused, since the program's
// own fetch would refuse it. Rounds: 9 unless given (or KLV_WEB_BENCH_ROUNDS). Both
// copies are compared with the body after every round; a round that failed or came out
// different ends the benchmark with no figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "web/fetch.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = std::size_t{1} << 20;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The argument at `index`, else the environment's `name`, else `fallback`; 0 when it is
// no positive number.
long Setting(int argc, char** argv, int index, const char* name, long fallback) {
    const char* text = argc > index ? argv[index] : std::getenv(name);
    if (text == nullptr) {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 ? value : 0;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr long kLargest = static_cast<long>(klv::web::kMaxDownloadBytes / kMiB);
    const long mebibytes = Setting(argc, argv, 1, "KLV_WEB_BENCH_MIB", kLargest);
    const long rounds = Setting(argc, argv, 2, "KLV_WEB_BENCH_ROUNDS", 9);
    if (mebibytes == 0 || rounds == 0) {
        std::fprintf(stderr, "web_bench: the size in MiB and the rounds are positive numbers\n");
        return 1;
    }
    if (mebibytes > kLargest) {
        std::fprintf(stderr,
                     "web_bench: %ld MiB is more than the %ld MiB a fetch stores "
                     "(web/fetch.h kMaxDownloadBytes); FetchUrlToFile would refuse it\n",
                     mebibytes, kLargest);
        return 1;
    }
    const std::size_t size = static_cast<std::size_t>(mebibytes) * kMiB;
    ::setenv("no_proxy", "127.0.0.1", 1);  // both clients go straight to the loopback server

    try {
        const klv::testing::Scratch scratch;
        const fs::path body = scratch.path / "site" / "body.bin";
        fs::create_directories(body.parent_path());
        klv::bench::WriteRandomFile(body, size);
        const klv::testing::LocalServer server(
            {"http", scratch / "site", scratch / "requests.log"});
        const std::string url = server.Url("/body.bin");
        const std::string ours = scratch / "fetched.bin";
        const std::string theirs = scratch / "curl.bin";

        // Seconds the download took; it throws when the download failed or differs.
        const auto fetch = [&] {
            fs::remove(ours);
            const auto start = Clock::now();
            const std::string outcome = klv::web::FetchUrlToFile(url, ours);
            const std::chrono::duration<double> took = Clock::now() - start;
            if (!outcome.empty() || !klv::bench::SameFiles(ours, body)) {
                throw std::runtime_error("FetchUrlToFile's copy is not the body served: " +
                                         (outcome.empty() ? "it differs" : outcome));
            }
            return took.count();
        };
        const auto curl = [&] {
            fs::remove(theirs);
            const auto start = Clock::now();
            const int status = klv::bench::RunToEnd({"/usr/bin/curl", "-s", "-o", theirs, url});
            const std::chrono::duration<double> took = Clock::now() - start;
            if (status != 0 || !klv::bench::SameFiles(theirs, body)) {
                throw std::runtime_error("curl's copy is not the body served (exit status " +
                                         std::to_string(status) + ")");
            }
            return took.count();
        };

        std::vector<double> fetchRates, curlRates;
        const double megabytes = static_cast<double>(size) / 1e6;
        for (long round = 0; round < rounds; ++round) {
            // Taking turns at going first, so that neither always meets a warmer page cache.
            double fetchSeconds = 0;
            double curlSeconds = 0;
            if (round % 2 == 0) {
                fetchSeconds = fetch();
                curlSeconds = curl();
            } else {
                curlSeconds = curl();
                fetchSeconds = fetch();
            }
            fetchRates.push_back(megabytes / fetchSeconds);
            curlRates.push_back(megabytes / curlSeconds);
            std::printf("round %ld: FetchUrlToFile %8.1f MB/s   curl %8.1f MB/s\n", round + 1,
                        fetchRates.back(), curlRates.back());
        }
        const double fetchBest = *std::max_element(fetchRates.begin(), fetchRates.end());
        const double curlBest = *std::max_element(curlRates.begin(), curlRates.end());
        const double ratio = Median(fetchRates) / Median(curlRates);
        std::printf("%ld MiB over loopback, %ld rounds (MB = 10^6 bytes), every copy intact\n",
                    mebibytes, rounds);
        std::printf("FetchUrlToFile: best %8.1f MB/s, median %8.1f MB/s\n", fetchBest,
                    Median(fetchRates));
        std::printf("curl -s -o    : best %8.1f MB/s, median %8.1f MB/s\n", curlBest,
                    Median(curlRates));
        std::printf("ratio (best) %.2f, ratio (median) %.2f\n", fetchBest / curlBest, ratio);
        std::printf("target, median ratio >= 0.90: %s (%.2f)\n", ratio >= 0.9 ? "met" : "NOT met",
                    ratio);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "web_bench: %s\n", error.what());
        return 1;
    }
}
