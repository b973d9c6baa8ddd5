// Throughput of FtpClient against the curl command line, side by side in one run, over
// loopback in active mode (the mode the installer uses), against a vsftpd started here.
//
//   ftp_bench [MiB]        file size, 256 unless given (or KLV_FTP_BENCH_MIB)
//
// The upload is timed five times per tool, alternating which tool goes first; the
// median counts (the best is shown beside it). MB/s means 10^6 bytes per second. Every
// copy is compared with the source right after its transfer; a transfer that failed or
// came out different ends the benchmark with no figures. Needs
// the vsftpd scripts/fetch-ftp-servers.sh unpacks, curl, and root (vsftpd's anonymous user is
// chrooted).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "ftp/ftp_client.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using klv::bench::RunToEnd;
using klv::bench::SameFiles;

constexpr int kRounds = 5;

// How long `run` took to make `copy` (removed first, so that no earlier copy can stand
// in for it); throws when it failed or the copy is not `source`.
double Seconds(const char* what, const fs::path& source, const fs::path& copy,
               const std::function<bool()>& run) {
    fs::remove(copy);
    const auto start = Clock::now();
    const bool done = run();
    const std::chrono::duration<double> took = Clock::now() - start;
    if (!done) {
        throw std::runtime_error(std::string(what) + " failed");
    }
    if (!SameFiles(source, copy)) {
        throw std::runtime_error(std::string(what) + ": the copy differs from the source");
    }
    return took.count();
}

// The times of one transfer over the rounds, as rates.
struct Samples {
    std::vector<double> seconds;
    void Add(double s) { seconds.push_back(s); }
    [[nodiscard]] double MedianMBps(std::size_t bytes) const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return static_cast<double>(bytes) / sorted[sorted.size() / 2] / 1e6;
    }
    [[nodiscard]] double BestMBps(std::size_t bytes) const {
        return static_cast<double>(bytes) / *std::min_element(seconds.begin(), seconds.end()) / 1e6;
    }
};

void PrintRow(const char* what, const Samples& ours, const Samples& curl, std::size_t bytes) {
    std::printf("  %-9s %7.0f MB/s %7.0f MB/s %8.2f   (best %5.0f / %5.0f MB/s, %.2f)\n", what,
                ours.MedianMBps(bytes), curl.MedianMBps(bytes),
                ours.MedianMBps(bytes) / curl.MedianMBps(bytes), ours.BestMBps(bytes),
                curl.BestMBps(bytes), ours.BestMBps(bytes) / curl.BestMBps(bytes));
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = 256;
    if (const char* text = argc > 1 ? argv[1] : std::getenv("KLV_FTP_BENCH_MIB")) {
        char* end = nullptr;
        mib = std::strtoul(text, &end, 10);
        if (end == text || *end != '\0' || mib == 0 || mib > (std::size_t{1} << 20)) {
            std::fprintf(stderr, "ftp_bench: the size is a whole number of MiB, 1 to 1048576\n");
            return 1;
        }
    }
    const std::size_t bytes = mib << 20;
    if (::access(klv::bench::kVsftpdPath, X_OK) != 0) {
        std::fprintf(stderr, "ftp_bench: %s is missing (scripts/fetch-ftp-servers.sh unpacks it)\n",
                     klv::bench::kVsftpdPath);
        return 1;
    }
    try {
        klv::bench::Vsftpd server;
        const fs::path source = server.dir() / "source.bin";
        klv::bench::WriteRandomFile(source, bytes);
        const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/pub/";

        klv::ftp::FtpClient client;
        klv::ftp::LogonRequest logon;
        logon.host = "127.0.0.1";
        logon.port = server.port();
        logon.user = "anonymous";
        logon.password = "klv@";
        if (!client.LogOn(logon)) {
            throw std::runtime_error("logon failed: " + client.replyText());
        }

        Samples clientUp, curlUp;
        const auto ourUpload = [&] {
            clientUp.Add(Seconds("FtpClient's upload", source, server.served("client.bin"), [&] {
                return client.Put("pub/client.bin", source.string(),
                                  klv::ftp::DataConnection::Active, klv::ftp::TransferType::Image);
            }));
        };
        const auto curlUpload = [&] {
            curlUp.Add(Seconds("curl's upload", source, server.served("curl.bin"), [&] {
                return RunToEnd({"/usr/bin/curl", "-sS", "--ftp-port", "127.0.0.1", "-u",
                                 "anonymous:klv@", "-T", source.string(), url + "curl.bin"}) == 0;
            }));
        };
        // Taking turns at going first, so that neither always meets a warmer cache.
        for (int round = 0; round < kRounds; ++round) {
            if (round % 2 == 0) {
                ourUpload();
                curlUpload();
            } else {
                curlUpload();
                ourUpload();
            }
        }
        client.LogOff();

        std::printf("ftp_bench: %zu MiB over loopback, active mode, vsftpd, median of %d rounds\n",
                    mib, kRounds);
        std::printf("  %-9s %12s %12s %8s\n", "", "FtpClient", "curl", "ratio");
        PrintRow("upload", clientUp, curlUp, bytes);
        std::printf("  files intact: yes, every copy of every round\n");
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ftp_bench: %s\n", error.what());
        return 1;
    }
}
