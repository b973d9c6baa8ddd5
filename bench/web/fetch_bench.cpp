// FetchUrlToFile against the curl command line, the same body from the same loopback
// server (testkit/servers.py: files sent with sendfile, so the server is not what limits
// either), in the
// same run, alternating. Usage: web_bench [MiB, default 256] [rounds, default 3]
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/bench.h"
#include "web/fetch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds one download took, or a negative value when it failed.
double Timed(const std::function<bool()>& download) {
    const auto start = Clock::now();
    const bool ok = download();
    const std::chrono::duration<double> took = Clock::now() - start;
    return ok ? took.count() : -1.0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::size_t size = mebibytes << 20;
    ::setenv("no_proxy", "127.0.0.1", 1);  // both clients go straight to the loopback server

    const klv::testing::Scratch scratch;
    const std::filesystem::path body = scratch.path / "site" / "body.bin";
    std::filesystem::create_directories(body.parent_path());
    klv::bench::WriteRandomFile(body, size);
    const klv::testing::LocalServer server({"http", scratch / "site", scratch / "requests.log"});
    const std::string url = server.Url("/body.bin");
    const std::string ours = (scratch.path / "fetched.bin").string();
    const std::string theirs = (scratch.path / "curl.bin").string();

    std::vector<double> fetchRates, curlRates;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(ours);
        std::filesystem::remove(theirs);
        // Taking turns at going first, so that neither always meets a warmer page cache.
        const auto fetch = [&] {
            return Timed([&] { return klv::web::FetchUrlToFile(url, ours).empty(); });
        };
        const auto curl = [&] {
            return Timed([&] {
                return klv::bench::RunToEnd({"/usr/bin/curl", "-s", "-o", theirs, url}) == 0;
            });
        };
        double fetchSeconds = 0;
        double curlSeconds = 0;
        if (round % 2 == 0) {
            fetchSeconds = fetch();
            curlSeconds = curl();
        } else {
            curlSeconds = curl();
            fetchSeconds = fetch();
        }
        if (fetchSeconds < 0 || curlSeconds < 0 || std::filesystem::file_size(ours) != size ||
            std::filesystem::file_size(theirs) != size) {
            std::fprintf(stderr, "a download failed or came out short\n");
            return 1;
        }
        fetchRates.push_back(static_cast<double>(size) / 1e6 / fetchSeconds);
        curlRates.push_back(static_cast<double>(size) / 1e6 / curlSeconds);
        std::printf("round %d: FetchUrlToFile %8.1f MB/s   curl %8.1f MB/s\n", round + 1,
                    fetchRates.back(), curlRates.back());
    }
    if (!klv::bench::SameFiles(ours, body) || !klv::bench::SameFiles(theirs, body)) {
        std::fprintf(stderr, "a download differs from the body served\n");
        return 1;
    }
    const double fetchBest = *std::max_element(fetchRates.begin(), fetchRates.end());
    const double curlBest = *std::max_element(curlRates.begin(), curlRates.end());
    std::printf("%zu MiB over loopback, %d rounds (MB = 10^6 bytes)\n", mebibytes, rounds);
    std::printf("FetchUrlToFile: best %8.1f MB/s, median %8.1f MB/s\n", fetchBest,
                Median(fetchRates));
    std::printf("curl -s -o    : best %8.1f MB/s, median %8.1f MB/s\n", curlBest,
                Median(curlRates));
    std::printf("ratio (best) %.2f, ratio (median) %.2f, target >= 0.90\n", fetchBest / curlBest,
                Median(fetchRates) / Median(curlRates));
    return 0;
}
