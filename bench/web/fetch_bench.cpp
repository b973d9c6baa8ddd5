// FetchUrlToFile against the curl command line, the same body from the same loopback
// server (testkit/servers.py: files sent with sendfile, so the server is not what limits
// either), in the
// same run, alternating. Usage: web_bench [MiB, default 256] [rounds, default 3]
#include <spawn.h>
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

#include "testkit/testkit.h"
#include "web/fetch.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void WriteBody(const std::filesystem::path& path, std::size_t size) {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::size_t written = 0; written < size; written += block.size()) {
        block[0] = static_cast<char>(written >> 20);  // no two blocks alike
        out.write(block.data(),
                  static_cast<std::streamsize>(std::min(block.size(), size - written)));
    }
}

bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream left(a, std::ios::binary);
    std::ifstream right(b, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    for (;;) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() ||
            !std::equal(x.begin(), x.begin() + left.gcount(), y.begin())) {
            return false;
        }
        if (left.gcount() == 0) {
            return true;
        }
    }
}

bool RunCurl(const std::string& url, const std::string& out) {
    std::vector<std::string> args{"curl", "-s", "-o", out, url};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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
    WriteBody(body, size);
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
        const auto curl = [&] { return Timed([&] { return RunCurl(url, theirs); }); };
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
    if (!SameContent(ours, body) || !SameContent(theirs, body)) {
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
