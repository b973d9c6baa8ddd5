// The SFTP part of Update Pages against OpenSSH's own client, side by side in one run,
// against the same sshd (testkit/servers.py sshd): 200 pages of about 4 KiB (text) and two
// 50 KiB images stored into www/klv over one SSH session,
//   - by the installer's own session operations: LogOn (sftp://), PutFile for each file (text
//     for the pages, image for the images), LogOff, as Update Pages calls them;
//   - by `sftp -b` (Debian openssh-client): a batch of `put`s over one session, logged on
//     with a key (a batch cannot type a password), nothing else.
// First over loopback, then with 20 ms of round trip between two network namespaces made
// by the pages benchmark's delay line (bench/pages/delay_line.h).
//
// Each client runs several rounds, taking turns at going first; the median counts. After
// every run each file is compared with what the server stored; a part in which any run
// failed or any file arrived damaged prints no figures, and the benchmark exits 1.
//
//   sftp_bench [loopback rounds, default 11] [delayed rounds, default 3; 0 skips]
//   (or KLV_SFTP_BENCH_ROUNDS="11 3" in the environment)
//
// Needs root (sshd, namespaces), /usr/sbin/sshd, /usr/bin/sftp, /usr/bin/ssh-keygen and
// /usr/sbin/ip.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/pages/delay_line.h"
#include "bench/pages/split_network.h"
#include "installer/config.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kSftp[] = "/usr/bin/sftp";
constexpr char kSshd[] = "/usr/sbin/sshd";
constexpr char kIp[] = "/usr/sbin/ip";
constexpr int kPages = 200;
constexpr std::size_t kImageBytes = 50 * 1024;
constexpr std::chrono::microseconds kOneWayDelay(10'000);

struct PageFile {
    fs::path local;
    std::string name;
    bool binary = false;
};

// An HTML page of 3.5 to 4.5 KiB, LF line ends, the same for the same index.
std::string MakePage(int index) {
    std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
    const std::size_t size = 3584 + random() % 1024;
    std::string text = "<html><body>\n";
    while (text.size() < size) {
        text += "<p>affiliate page " + std::to_string(index) + " line " +
                std::to_string(random() % 100000) + " of the site.</p>\n";
    }
    text.resize(size - 1);
    return text + "\n";
}

std::vector<PageFile> MakeSite(const fs::path& directory) {
    fs::create_directories(directory);
    std::vector<PageFile> files;
    for (int i = 1; i <= kPages; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%03d.html", i);
        std::ofstream(directory / name, std::ios::binary) << MakePage(i);
        files.push_back({directory / name, name, false});
    }
    std::uint64_t seed = 1;
    for (const char* name : {"klv.jpg", "button.jpg"}) {
        klv::bench::WriteRandomFile(directory / name, kImageBytes, seed++);
        files.push_back({directory / name, name, true});
    }
    return files;
}

// sshd of servers.py at `address`, in the network namespace `networkNamespace` if given,
// taking the password "s3cret" and the benchmark's client key for user "klv".
class Sshd {
public:
    Sshd(const fs::path& scratch, const std::string& address, const std::string& networkNamespace,
         const fs::path& clientKey)
        : home_(scratch / "home") {
        fs::create_directories(home_ / "www/klv");
        klv::bench::RunToEnd({"chown", "-R", "1000:1000", home_});
        std::vector<std::string> command{"/usr/bin/python3",
                                         KLV_SERVERS,
                                         "sshd",
                                         home_,
                                         "klv",
                                         "s3cret",
                                         scratch / "hostkey",
                                         "pubkey=" + clientKey.string() + ".pub",
                                         "address=" + address};
        if (!networkNamespace.empty()) {
            command.insert(command.begin(), {kIp, "netns", "exec", networkNamespace});
        }
        process_.emplace(command);
        std::istringstream(process_->ReadLine()) >> host_ >> port_;
        if (port_ == 0) {
            throw std::runtime_error("sshd did not start");
        }
    }
    const std::string& host() const { return host_; }
    unsigned port() const { return port_; }
    fs::path served(const std::string& name) const { return home_ / "www/klv" / name; }
    void ClearServed() const {
        for (const fs::directory_entry& entry : fs::directory_iterator(home_ / "www/klv")) {
            fs::remove(entry.path());
        }
    }

private:
    fs::path home_;
    std::optional<klv::testing::Process> process_;
    std::string host_;
    unsigned port_ = 0;
};

enum class Client { Ours, Sftp };

const char* NameOf(Client client) {
    return client == Client::Ours ? "Session*" : "sftp -b";
}

// The installer's path: what Update Pages does around each fetched page, minus the fetch.
bool RunOurs(const Sshd& server, const std::vector<PageFile>& files) {
    klv::bench::QuietWindow window;
    klv::SharedState shared;
    klv::Config config;
    config.idleTimeout = std::chrono::seconds(30);
    const klv::InstallerContext context{window, shared, config};
    klv::Session session;
    const klv::Account account{"sftp://" + server.host() + ":" + std::to_string(server.port()),
                               "klv", "s3cret"};
    if (const klv::Result logon = klv::LogOn(context, session, account); !logon.ok()) {
        std::fprintf(stderr, "sftp_bench: logon failed: %s\n", logon.text().c_str());
        return false;
    }
    bool allStored = true;
    for (const PageFile& file : files) {
        const klv::FileToPut page{
            file.local.string(), "www/klv/" + file.name,
            file.binary ? klv::ftp::TransferType::Image : klv::ftp::TransferType::Ascii};
        if (const klv::Result put = klv::PutFile(session, page); !put.ok()) {
            std::fprintf(stderr, "sftp_bench: %s: %s\n", file.name.c_str(), put.text().c_str());
            allStored = false;
        }
    }
    klv::LogOff(session);
    return allStored;
}

// One sftp process (and its ssh), one session: a batch of puts, stopping at the first
// failure; the host key taken unchecked (the installer's window trusts it when asked).
std::vector<std::string> SftpCommand(const Sshd& server, const fs::path& batch,
                                     const fs::path& clientKey) {
    return {kSftp,
            "-b",
            batch,
            "-i",
            clientKey,
            "-P",
            std::to_string(server.port()),
            "-o",
            "StrictHostKeyChecking=no",
            "-o",
            "UserKnownHostsFile=/dev/null",
            "-o",
            "LogLevel=ERROR",
            "-F",
            "/dev/null",
            "klv@" + server.host()};
}

bool ArrivedIntact(const Sshd& server, const std::vector<PageFile>& files, Client client) {
    for (const PageFile& file : files) {
        if (!klv::bench::SameFiles(file.local, server.served(file.name))) {
            std::fprintf(stderr, "sftp_bench: %s: %s did not arrive intact\n", NameOf(client),
                         file.name.c_str());
            return false;
        }
    }
    return true;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Runs {
    std::vector<double> seconds[2];
    std::vector<double> cpuSeconds[2];
    bool intact = true;
};

Runs Measure(const Sshd& server, const std::vector<PageFile>& files, const fs::path& batch,
             const fs::path& clientKey, const fs::path& scratch, int rounds, bool showRounds) {
    Runs runs;
    const auto runOnce = [&](Client client, int round) {
        server.ClearServed();
        bool stored = false;
        double seconds = 0, cpu = 0;
        const auto start = Clock::now();
        if (client == Client::Ours) {
            // The process's time: libssh's SFTP calls run on a thread of the client's own.
            const double cpuStart = ProcessCpuSeconds();
            stored = RunOurs(server, files);
            cpu = ProcessCpuSeconds() - cpuStart;
        } else {
            std::chrono::microseconds cpuTime{0};
            const fs::path log = scratch / "sftp.log";
            stored =
                klv::testing::Process(SftpCommand(server, batch, clientKey), log).Wait(&cpuTime) ==
                0;
            cpu = std::chrono::duration<double>(cpuTime).count();
            if (!stored) {
                std::fprintf(stderr, "sftp_bench: sftp failed:\n%s\n",
                             klv::testing::ReadFile(log).c_str());
            }
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const bool intact = stored && ArrivedIntact(server, files, client);
        runs.intact = runs.intact && intact;
        runs.seconds[static_cast<int>(client)].push_back(seconds);
        runs.cpuSeconds[static_cast<int>(client)].push_back(cpu);
        if (showRounds || !intact) {
            std::printf("    round %d  %-9s %8.3f s%s\n", round + 1, NameOf(client), seconds,
                        intact ? "" : "  FILES NOT INTACT");
            std::fflush(stdout);
        }
    };
    for (int round = 0; round < rounds; ++round) {
        const Client first = round % 2 == 0 ? Client::Ours : Client::Sftp;
        runOnce(first, round);
        runOnce(first == Client::Ours ? Client::Sftp : Client::Ours, round);
    }
    return runs;
}

// `cpu`: whether the client's processor time means anything (not while the delay line, a
// thread of this process, runs).
void Report(const Runs& runs, bool cpu) {
    if (!runs.intact) {
        std::printf("  files NOT intact (the rounds above say which): no figures for this part\n");
        return;
    }
    const double ours = Median(runs.seconds[0]);
    const double theirs = Median(runs.seconds[1]);
    std::printf("  %-34s %12s %12s %8s\n", "median", "Session*", "sftp -b", "ratio");
    std::printf("  %-34s %10.3f s %10.3f s %8.2f\n", "wall time, whole session", ours, theirs,
                ours / theirs);
    std::printf("  %-34s %9.3f ms %9.3f ms\n", "  per file", ours * 1e3 / (kPages + 2),
                theirs * 1e3 / (kPages + 2));
    const double ourCpu = Median(runs.cpuSeconds[0]);
    const double theirCpu = Median(runs.cpuSeconds[1]);
    if (cpu) {
        std::printf("  %-34s %9.1f ms %9.1f ms %8.2f\n", "client processor time", ourCpu * 1e3,
                    theirCpu * 1e3, ourCpu / theirCpu);
    }
    std::vector<double> paired;
    for (std::size_t i = 0; i < std::min(runs.seconds[0].size(), runs.seconds[1].size()); ++i) {
        paired.push_back(runs.seconds[0][i] / runs.seconds[1][i]);
    }
    std::printf("  ratio within each round, median: %.2f (from %.2f to %.2f)\n", Median(paired),
                *std::min_element(paired.begin(), paired.end()),
                *std::max_element(paired.begin(), paired.end()));
    std::printf("  target, Session* wall time <= sftp -b's: %s (%.2f)\n",
                ours <= theirs ? "met" : "NOT met", ours / theirs);
    std::printf("  files intact: yes, every file of every round, both clients\n");
}

}  // namespace

int main(int argc, char** argv) {
    int loopbackRounds = 11;
    int delayedRounds = 3;
    if (const char* env = std::getenv("KLV_SFTP_BENCH_ROUNDS"); env != nullptr && argc < 2) {
        std::istringstream(env) >> loopbackRounds >> delayedRounds;
    }
    if (argc > 1) {
        loopbackRounds = std::atoi(argv[1]);
    }
    if (argc > 2) {
        delayedRounds = std::atoi(argv[2]);
    }
    loopbackRounds = std::max(1, loopbackRounds);
    delayedRounds = std::max(0, delayedRounds);
    for (const char* tool : {kSftp, kSshd, kIp}) {
        if (::access(tool, X_OK) != 0) {
            std::fprintf(stderr, "sftp_bench: %s is missing (scripts/setup-debian.sh)\n", tool);
            return 1;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "sftp_bench: needs root (sshd, namespaces)\n");
        return 1;
    }
    bool intact = true;
    try {
        const klv::testing::Scratch scratch;
        const std::vector<PageFile> files = MakeSite(scratch.path / "site");
        const fs::path clientKey = scratch.path / "clientkey";
        if (klv::bench::RunToEnd(
                {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", clientKey}) != 0) {
            throw std::runtime_error("ssh-keygen could not make the client's key");
        }
        const fs::path batch = scratch.path / "batch";
        {
            std::ofstream out(batch);
            for (const PageFile& file : files) {
                out << "put " << file.local.string() << " www/klv/" << file.name << "\n";
            }
        }
        std::printf(
            "sftp_bench: %d pages (3.5 to 4.5 KiB, text) and 2 images (%zu KiB), one SSH "
            "session, OpenSSH's sshd (internal-sftp); Session* = LogOn (sftp://), PutFile x %zu, "
            "LogOff; sftp -b = a batch of %zu puts\n",
            kPages, kImageBytes / 1024, files.size(), files.size());

        {
            std::printf("\n== loopback, 127.0.0.1, %d rounds each\n", loopbackRounds);
            const klv::testing::Scratch serverScratch;
            const Sshd server(serverScratch.path, "127.0.0.1", {}, clientKey);
            const Runs runs = Measure(server, files, batch, clientKey, scratch.path, loopbackRounds,
                                      /*showRounds=*/false);
            Report(runs, /*cpu=*/true);
            intact = runs.intact && intact;
        }
        if (delayedRounds > 0) {
            std::printf("\n== 20 ms round trip (a delay line adding %.1f ms each way), %d rounds\n",
                        std::chrono::duration<double, std::milli>(kOneWayDelay).count(),
                        delayedRounds);
            klv::bench::RemoveStaleNamespaces();
            std::optional<klv::bench::SplitNetwork> network;
            try {
                network.emplace();
            } catch (const klv::bench::NamespacesRefused& refused) {
                std::printf("  network namespaces are refused here (%s): skipped\n",
                            refused.what());
            }
            if (network) {
                const klv::bench::DelayLine line(
                    network->middle().fd(), klv::bench::SplitNetwork::kMiddleToClient,
                    klv::bench::SplitNetwork::kMiddleToServer, kOneWayDelay, nullptr);
                const klv::testing::Scratch serverScratch;
                const Sshd server(serverScratch.path, klv::bench::SplitNetwork::kServerAddress,
                                  network->server().name(), clientKey);
                const klv::bench::NamespaceScope inClient(network->client().fd());
                const Runs runs = Measure(server, files, batch, clientKey, scratch.path,
                                          delayedRounds, /*showRounds=*/true);
                Report(runs, /*cpu=*/false);
                intact = runs.intact && intact;
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sftp_bench: %s\n", error.what());
        return 1;
    }
    return intact ? 0 : 1;
}
