// The FTP part of Update Pages against lftp, side by side in one run, against the same
// vsftpd: 200 pages of about 4 KiB ("TYPE A") and two 50 KiB images ("TYPE I") stored
// over one logged-on connection in active mode,
//   - by the installer's own session operations: LogOn, PutFile for each file
//     (image type for the images), LogOff, as Update Pages calls them;
//   - by lftp (Debian): `mput -a` of the pages, then `mput` of the images, one
//     connection, no parallelism, nothing it would do beyond storing the files.
// First over loopback, then with 20 ms of round trip between two network namespaces
// (split_network.h) made by a delay line (delay_line.h): this kernel may lack netem.
// Each of the two in clear text, then over TLS against a vsftpd that requires it (the
// installer's explicit TLS; lftp with ftp:ssl-force).
//
// Each client runs several rounds, taking turns at going first; the median counts.
// In clear text the control connection is read off the wire (control_tally.h) to count
// commands and command/reply exchanges per file and to time each kind of command.
// After every run each file is compared with what the server stored; a part in which
// any run failed or any file arrived damaged prints no figures, and the benchmark
// exits 1.
//
//   pages_bench [loopback rounds, default 21] [delayed rounds, default 3; 0 skips]
//   (or KLV_PAGES_BENCH_ROUNDS="21 3" in the environment, as scripts/bench.sh passes it)
//
// Needs root, the vsftpd scripts/fetch-ftp-servers.sh unpacks, /usr/bin/lftp, /usr/bin/openssl
// and /usr/sbin/ip.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/resolver.h"
#include "bench/bench.h"
#include "bench/pages/control_tally.h"
#include "bench/pages/delay_line.h"
#include "bench/pages/link_tap.h"
#include "bench/pages/site.h"
#include "bench/pages/split_network.h"
#include "ftp/tcp_socket.h"
#include "installer/config.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using klv::bench::ControlTally;
using klv::bench::kImageBytes;
using klv::bench::kOneWayDelay;
using klv::bench::kPages;
using klv::bench::LoadAverage;
using klv::bench::MakeSite;
using klv::bench::Median;
using klv::bench::PageFile;
using klv::bench::SessionCensus;
using klv::bench::WithCrLf;

constexpr char kLftp[] = "/usr/bin/lftp";
constexpr char kIp[] = "/usr/sbin/ip";
constexpr char kOpenssl[] = "/usr/bin/openssl";
// After a run, time for its last frames to reach the tally (a few round trips).
constexpr std::chrono::milliseconds kSettle(100);

struct Site {
    std::string host;
    unsigned port = 0;
};

enum class Client { Ours, Lftp };
enum class Wire { Plain, Tls };

const char* NameOf(Client client) {
    return client == Client::Ours ? "Session*" : "lftp";
}

// ---- the files ---------------------------------------------------------------------

// Every file landed whole. vsftpd stores "TYPE A" uploads unchanged; the installer sends
// a page's bytes as they are, lftp turns its LF line ends into CR LF as RFC 959 asks.
bool ArrivedIntact(const klv::bench::Vsftpd& server, const std::vector<PageFile>& files,
                   Client client) {
    for (const PageFile& file : files) {
        std::string expected = klv::testing::ReadFile(file.local);
        if (client == Client::Lftp && !file.binary) {
            expected = WithCrLf(expected);
        }
        if (klv::testing::ReadFile(server.served(file.name)) != expected) {
            std::fprintf(stderr, "pages_bench: %s: %s did not arrive intact\n", NameOf(client),
                         file.name.c_str());
            return false;
        }
    }
    return true;
}

// ---- the two clients -------------------------------------------------------------

// The installer's path: what Update Pages does around each fetched page, minus the fetch.
class OurSession {
public:
    OurSession(const Site& site, const std::vector<PageFile>& files)
        : files_(files), shared_(std::make_unique<klv::SharedState>()) {
        config_.ftpPort = site.port;
        config_.idleTimeout = std::chrono::seconds(30);
        account_ = {site.host, "anonymous", "klv@"};
    }

    bool Run() {
        const klv::InstallerContext context{window_, *shared_, config_};
        klv::Session session;
        if (const klv::Result logon = klv::LogOn(context, session, account_); !logon.ok()) {
            std::fprintf(stderr, "pages_bench: logon failed: %s\n", logon.text().c_str());
            return false;
        }
        bool allStored = true;
        for (const PageFile& file : files_) {
            const klv::FileToPut page{
                file.local.string(), "pub/" + file.name,
                file.binary ? klv::ftp::TransferType::Image : klv::ftp::TransferType::Ascii};
            if (const klv::Result put = klv::PutFile(session, page); !put.ok()) {
                std::fprintf(stderr, "pages_bench: %s: %s\n", file.name.c_str(),
                             put.text().c_str());
                allStored = false;
            }
        }
        klv::LogOff(session);
        return allStored;
    }

private:
    const std::vector<PageFile>& files_;
    klv::bench::QuietWindow window_;
    std::unique_ptr<klv::SharedState> shared_;
    klv::Config config_;
    klv::Account account_;
};

// One lftp process, one connection. Settings: active mode; one command at a time (the
// default, stated); no parallel jobs or connections; nothing beyond storing the files
// (no FEAT probe, no TLS attempt in clear text, no SITE UTIME after each file, no ALLO,
// no transfer log); stop at the first failure instead of retrying. Over TLS: AUTH TLS
// and protected data required, the certificate taken unchecked (the installer's window
// trusts it when asked), and TLS 1.2: with TLS 1.3 at 20 ms, vsftpd lost the tail of
// lftp 4.9.2's first image every time ("426 Failure reading network stream"), the loss
// that closing an upload with the server's session ticket unread brings.
std::vector<std::string> LftpCommand(const Site& site, const fs::path& siteDirectory, Wire wire) {
    const std::string script =
        "set cmd:fail-exit yes; set cmd:parallel 1; set net:connection-limit 1; "
        "set ftp:passive-mode off; set ftp:sync-mode on; " +
        std::string(wire == Wire::Plain
                        ? "set ftp:ssl-allow no; "
                        : "set ftp:ssl-allow yes; set ftp:ssl-force true; "
                          "set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
                          "set ssl:priority NORMAL:-VERS-TLS1.3; ") +
        "set ftp:use-feat no; set ftp:use-site-utime no; set ftp:use-site-utime2 no; "
        "set ftp:use-allo no; set xfer:log no; set net:max-retries 1; set net:timeout 30; "
        "open -u anonymous,klv@ -p " +
        std::to_string(site.port) + " " + site.host +
        "; cd pub; "
        "mput -a " +
        (siteDirectory / "page*.html").string() + "; mput " + (siteDirectory / "klv.jpg").string() +
        " " + (siteDirectory / "button.jpg").string();
    return {kLftp, "--norc", "-c", script};
}

// ---- measuring ----------------------------------------------------------------------

struct RunResult {
    double seconds = 0;
    double cpuSeconds = 0;  // the client's own processor time, user and system
    SessionCensus census;
};

struct Results {
    std::vector<RunResult> ours;
    std::vector<RunResult> lftp;
    bool intact = true;
};

// One figure of every run, in round order.
template <typename Figure>
std::vector<double> Column(const std::vector<RunResult>& runs, Figure figure) {
    std::vector<double> values;
    for (const RunResult& run : runs) {
        values.push_back(figure(run));
    }
    return values;
}

double WallSeconds(const RunResult& run) {
    return run.seconds;
}
double CpuSeconds(const RunResult& run) {
    return run.cpuSeconds;
}
double PhaseSeconds(const RunResult& run) {
    return std::chrono::duration<double>(run.census.pagePhase).count();
}

// The processor time of the calling thread: the installer's client runs on it alone.
double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The run whose wall time is the median (the lower middle one for an even count).
const RunResult& MedianRun(const std::vector<RunResult>& runs) {
    std::vector<std::size_t> order(runs.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return runs[a].seconds < runs[b].seconds; });
    return runs[order[(order.size() - 1) / 2]];
}

// How busy all processors were between two readings of /proc/stat, this benchmark
// and everything else on the machine together.
class CpuMeter {
public:
    CpuMeter() { Read(busy_, total_); }
    [[nodiscard]] double BusyShare() const {
        std::uint64_t busy = 0, total = 0;
        Read(busy, total);
        return total > total_ ? static_cast<double>(busy - busy_) / (total - total_) : 0;
    }

private:
    static void Read(std::uint64_t& busy, std::uint64_t& total) {
        std::ifstream in("/proc/stat");
        std::string cpu;
        std::uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                      steal = 0;
        in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
        busy = user + nice + system + irq + softirq + steal;
        total = busy + idle + iowait;
    }
    std::uint64_t busy_ = 0, total_ = 0;
};

// Median time of a TCP connect (one round trip) to `site`, over five tries.
double ConnectRoundTripMs(const Site& site) {
    const klv::Resolution resolved =
        klv::Resolve(site.host, site.port, AF_INET, klv::DeadlineAfter(std::chrono::seconds(5)));
    std::vector<double> times;
    for (int i = 0; i < 5 && !resolved.addresses.empty(); ++i) {
        const klv::SocketAddress& address = resolved.addresses.front();
        const klv::UniqueFd probe = klv::ftp::tcp::OpenStreamSocket();
        const auto start = Clock::now();
        if (klv::ftp::tcp::Connect(probe.get(), address.get(), address.length,
                                   klv::DeadlineAfter(std::chrono::seconds(5)))) {
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    return times.empty() ? 0 : Median(times);
}

Results Measure(const Site& site, Wire wire, const klv::bench::Vsftpd& server,
                const std::vector<PageFile>& files, const fs::path& siteDirectory, int rounds,
                const std::function<ControlTally::Record()>& collect, const fs::path& scratch,
                bool showProgress) {
    Results results;
    const auto runOnce = [&](Client client, int round) {
        server.ClearServed();
        (void)collect();  // nothing from before this run
        bool stored = false;
        double seconds = 0;
        double cpuSeconds = 0;
        if (client == Client::Ours) {
            OurSession session(site, files);
            const double cpuStart = ThreadCpuSeconds();
            const auto start = Clock::now();
            stored = session.Run();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            cpuSeconds = ThreadCpuSeconds() - cpuStart;
        } else {
            const std::vector<std::string> command = LftpCommand(site, siteDirectory, wire);
            const std::string log = (scratch / "lftp.log").string();
            const auto start = Clock::now();
            std::chrono::microseconds cpuTime{0};
            stored = klv::testing::Process(command, log).Wait(&cpuTime) == 0;
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            cpuSeconds = std::chrono::duration<double>(cpuTime).count();
            if (!stored) {
                std::fprintf(stderr, "pages_bench: lftp failed:\n%s\n",
                             klv::testing::ReadFile(log).c_str());
            }
        }
        std::this_thread::sleep_for(kSettle);
        RunResult result{seconds, cpuSeconds, klv::bench::Summarize(collect())};
        const bool intact = stored && ArrivedIntact(server, files, client);
        results.intact = results.intact && intact;
        (client == Client::Ours ? results.ours : results.lftp).push_back(std::move(result));
        if (showProgress || !intact) {
            std::printf("    round %d  %-8s %8.3f s%s\n", round + 1, NameOf(client), seconds,
                        intact ? "" : "  FILES NOT INTACT");
            std::fflush(stdout);
        }
    };
    for (int round = 0; round < rounds; ++round) {
        // Taking turns at going first, so that neither always meets a warmer cache.
        if (round % 2 == 0) {
            runOnce(Client::Ours, round);
            runOnce(Client::Lftp, round);
        } else {
            runOnce(Client::Lftp, round);
            runOnce(Client::Ours, round);
        }
    }
    return results;
}

// ---- reporting ----------------------------------------------------------------------

std::string Patterns(const SessionCensus& census) {
    std::string text;
    for (const auto& [pattern, count] : census.patterns) {
        if (!text.empty()) {
            text += "; ";
        }
        text += std::to_string(count) + " x [" + pattern + "]";
    }
    return text;
}

// Per command verb, over the rounds: the median of (the time its exchanges took in a
// round, divided by the files of that round), in milliseconds.
std::map<std::string, double> MedianCosts(const std::vector<RunResult>& runs) {
    std::map<std::string, std::vector<double>> perRound;
    for (const RunResult& run : runs) {
        for (const auto& [verb, cost] : run.census.costs) {
            perRound[verb].push_back(
                std::chrono::duration<double, std::milli>(cost.total).count() /
                static_cast<double>(std::max<std::size_t>(1, run.census.files)));
        }
    }
    std::map<std::string, double> medians;
    for (auto& [verb, values] : perRound) {
        medians[verb] = Median(values);
    }
    return medians;
}

std::string CostText(const std::map<std::string, double>& costs) {
    std::string text;
    for (const auto& [verb, ms] : costs) {
        char item[64];
        std::snprintf(item, sizeof item, "%s%s %.3f", text.empty() ? "" : ", ", verb.c_str(), ms);
        text += item;
    }
    return text;
}

bool SameCounts(const std::vector<RunResult>& runs) {
    return std::all_of(runs.begin(), runs.end(), [&](const RunResult& run) {
        return run.census.pageExchanges == runs.front().census.pageExchanges &&
               run.census.pageCommands == runs.front().census.pageCommands &&
               run.census.files == runs.front().census.files;
    });
}

// What the control connection showed in clear text: the files' part of the session,
// commands, exchanges and the time each kind of command took.
void ReportWire(const Results& results, double roundTripMs) {
    const double ourPhase = Median(Column(results.ours, PhaseSeconds));
    const double lftpPhase = Median(Column(results.lftp, PhaseSeconds));
    const SessionCensus& ours = MedianRun(results.ours).census;
    const SessionCensus& lftp = MedianRun(results.lftp).census;
    const double files = static_cast<double>(std::max<std::size_t>(1, ours.files));
    const double lftpFiles = static_cast<double>(std::max<std::size_t>(1, lftp.files));

    std::printf("  %-38s %10.3f s %10.3f s %8.2f\n", "the files (first command to last reply)",
                ourPhase, lftpPhase, ourPhase / lftpPhase);
    std::printf("  %-38s %9.3f ms %9.3f ms\n", "  per file", ourPhase * 1e3 / files,
                lftpPhase * 1e3 / lftpFiles);
    if (roundTripMs > 0) {
        std::printf("  %-38s %12.2f %12.2f\n", "  = round trips per file",
                    ourPhase * 1e3 / files / roundTripMs,
                    lftpPhase * 1e3 / lftpFiles / roundTripMs);
    }
    std::printf("  %-38s %12zu %12zu\n", "files stored (STOR seen)", ours.files, lftp.files);
    std::printf("  %-38s %12.2f %12.2f\n", "commands per file",
                static_cast<double>(ours.pageCommands) / files,
                static_cast<double>(lftp.pageCommands) / lftpFiles);
    std::printf("  %-38s %12.2f %12.2f\n", "command/reply exchanges per file",
                static_cast<double>(ours.pageExchanges) / files,
                static_cast<double>(lftp.pageExchanges) / lftpFiles);
    std::printf("  %-38s %12.2f %12.2f\n", "replies per file",
                static_cast<double>(ours.pageReplies) / files,
                static_cast<double>(lftp.pageReplies) / lftpFiles);
    std::printf("  %-38s %12zu %12zu\n", "exchanges outside the files", ours.sessionExchanges,
                lftp.sessionExchanges);
    if (!SameCounts(results.ours) || !SameCounts(results.lftp)) {
        std::printf("  (the counts differed between rounds; the median round is shown)\n");
    }
    std::printf("  commands of each file:\n    Session*  %s\n    lftp      %s\n",
                Patterns(ours).c_str(), Patterns(lftp).c_str());
    const std::map<std::string, double> ourCosts = MedianCosts(results.ours);
    const std::map<std::string, double> lftpCosts = MedianCosts(results.lftp);
    std::printf("  ms per file by command (command to the client's next command, median):\n");
    std::printf("    Session*  %s\n    lftp      %s\n", CostText(ourCosts).c_str(),
                CostText(lftpCosts).c_str());
}

// Prints the comparison, only when every file of every round arrived: times of runs
// that failed or stored damaged files compare nothing.
void Report(const Results& results, Wire wire, double roundTripMs) {
    if (!results.intact) {
        std::printf("  files NOT intact (the rounds above say which): no figures for this part\n");
        return;
    }
    const double ourWall = Median(Column(results.ours, WallSeconds));
    const double lftpWall = Median(Column(results.lftp, WallSeconds));
    std::printf("  %-38s %12s %12s %8s\n", "median", "Session*", "lftp", "ratio");
    std::printf("  %-38s %10.3f s %10.3f s %8.2f\n", "wall time, whole session", ourWall, lftpWall,
                ourWall / lftpWall);
    const double ourCpu = Median(Column(results.ours, CpuSeconds));
    const double lftpCpu = Median(Column(results.lftp, CpuSeconds));
    std::printf("  %-38s %9.1f ms %9.1f ms %8.2f\n", "client processor time, whole session",
                ourCpu * 1e3, lftpCpu * 1e3, ourCpu / lftpCpu);
    if (wire == Wire::Plain) {  // encrypted, the control connection cannot be read
        ReportWire(results, roundTripMs);
    }
    for (const Client client : {Client::Ours, Client::Lftp}) {
        std::string rounds;
        for (const RunResult& run : client == Client::Ours ? results.ours : results.lftp) {
            char item[32];
            std::snprintf(item, sizeof item, " %.3f", run.seconds);
            rounds += item;
        }
        std::printf("  each round, s, %-8s%s\n", NameOf(client), rounds.c_str());
    }
    // Each round ran both clients one right after the other, so that the ratio within
    // a round is taken at one load of the machine; their median is steadier than the
    // ratio of the medians when the load changes during the run.
    std::vector<double> pairedRatios;
    for (std::size_t i = 0; i < std::min(results.ours.size(), results.lftp.size()); ++i) {
        pairedRatios.push_back(results.ours[i].seconds / results.lftp[i].seconds);
    }
    std::printf("  ratio within each round, median: %.2f (from %.2f to %.2f)\n",
                Median(pairedRatios), *std::min_element(pairedRatios.begin(), pairedRatios.end()),
                *std::max_element(pairedRatios.begin(), pairedRatios.end()));
    std::printf("  target, Session* wall time <= lftp's: %s (%.2f)\n",
                ourWall <= lftpWall ? "met" : "NOT met", ourWall / lftpWall);
    std::printf("  files intact: yes, every file of every round, both clients\n");
}

// What every part of the run shares.
struct Bench {
    std::vector<PageFile> files;
    fs::path siteDirectory;
    fs::path scratch;
    fs::path certificate;  // the TLS server's certificate; its key is beside it, NAME.key
};

const char* NameOf(Wire wire) {
    return wire == Wire::Plain ? "clear text" : "TLS";
}

fs::path CertificateOf(const Bench& bench, Wire wire) {
    return wire == Wire::Tls ? bench.certificate : fs::path();
}

void ReportMachine(const CpuMeter& cpu) {
    std::printf(
        "  machine during this part: %.0f%% of all processors busy, load average %s at the "
        "end\n",
        cpu.BusyShare() * 100, LoadAverage().c_str());
}

// Over loopback; in clear text a packet socket on lo keeps the control connection's
// frames for the tally, read only after each run. Returns whether every file arrived.
bool RunLoopback(const Bench& bench, Wire wire, int rounds) {
    const klv::bench::Vsftpd server("127.0.0.1", 0, {}, CertificateOf(bench, wire));
    const Site site{"127.0.0.1", server.port()};
    const auto port = static_cast<std::uint16_t>(site.port);
    std::optional<ControlTally> tally;
    std::optional<klv::bench::LinkTap> tap;
    if (wire == Wire::Plain) {
        tally.emplace(port);
        tap.emplace("lo", port);
    }
    const auto collect = [&] {
        if (!tap) {
            return ControlTally::Record{};
        }
        if (const unsigned dropped = tap->Drain(*tally)) {
            std::printf("    (the tap lost %u frames: counts are incomplete)\n", dropped);
        }
        return tally->Take();
    };
    std::printf("\n== loopback, 127.0.0.1, %s, %d rounds each\n", NameOf(wire), rounds);
    const CpuMeter cpu;
    const Results results = Measure(site, wire, server, bench.files, bench.siteDirectory, rounds,
                                    collect, bench.scratch, /*showProgress=*/false);
    ReportMachine(cpu);
    Report(results, wire, 0);
    return results.intact;
}

// With 20 ms of round trip: vsftpd in the server's namespace, the clients in the client's,
// the delay line between them (and, in clear text, handing the tally every frame).
bool RunDelayed(const Bench& bench, const klv::bench::SplitNetwork& network, Wire wire,
                int rounds) {
    std::printf("\n== 20 ms round trip, %s, %d rounds each\n", NameOf(wire), rounds);
    const Site site{klv::bench::SplitNetwork::kServerAddress, 21};
    ControlTally tally(static_cast<std::uint16_t>(site.port));
    const klv::bench::DelayLine line(network.middle().fd(),
                                     klv::bench::SplitNetwork::kMiddleToClient,
                                     klv::bench::SplitNetwork::kMiddleToServer, kOneWayDelay,
                                     wire == Wire::Plain ? &tally : nullptr);
    const klv::bench::NamespaceScope inClient(network.client().fd());
    const klv::bench::Vsftpd server(site.host, site.port, network.server().name(),
                                    CertificateOf(bench, wire));
    const double roundTripMs = ConnectRoundTripMs(site);
    std::printf("  measured round trip (TCP connect, median of 5): %.2f ms\n", roundTripMs);
    const auto collect = [&] { return tally.Take(); };
    const CpuMeter cpu;
    const Results results = Measure(site, wire, server, bench.files, bench.siteDirectory, rounds,
                                    collect, bench.scratch, /*showProgress=*/true);
    const klv::bench::DelayLine::Stats stats = line.stats();
    ReportMachine(cpu);
    std::printf("  delay line: %llu frames, %llu dropped, latest send %lld us after its time\n",
                static_cast<unsigned long long>(stats.frames),
                static_cast<unsigned long long>(stats.dropped),
                static_cast<long long>(stats.latestSend.count()));
    Report(results, wire, roundTripMs);
    return results.intact;
}

}  // namespace

int main(int argc, char** argv) {
    // Rounds from the arguments, else from KLV_PAGES_BENCH_ROUNDS ("21 3"), else 21 and 3.
    int loopbackRounds = 21;
    int delayedRounds = 3;
    if (const char* env = std::getenv("KLV_PAGES_BENCH_ROUNDS"); env != nullptr && argc < 2) {
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
    for (const char* tool : {klv::bench::kVsftpdPath, kLftp, kIp, kOpenssl}) {
        if (::access(tool, X_OK) != 0) {
            std::fprintf(stderr, "pages_bench: %s is missing (scripts/setup-debian.sh)\n", tool);
            return 1;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "pages_bench: needs root (vsftpd, packet sockets, namespaces)\n");
        return 1;
    }

    bool intact = true;
    try {
        const klv::testing::Scratch scratch;
        Bench bench{MakeSite(scratch.path / "site"), scratch.path / "site", scratch.path,
                    scratch.path / "server.crt"};
        klv::bench::MakeServerCertificate(bench.certificate);
        std::uintmax_t pageBytes = 0;
        for (const PageFile& file : bench.files) {
            pageBytes += file.binary ? 0 : fs::file_size(file.local);
        }
        std::printf(
            "pages_bench: %d pages (%.1f KiB on average, text, TYPE A) and 2 images (%zu KiB, "
            "TYPE I), one connection, active mode, vsftpd; Session* = LogOn, "
            "PutFile x %zu, LogOff\n",
            kPages, static_cast<double>(pageBytes) / kPages / 1024, kImageBytes / 1024,
            bench.files.size());
        std::printf("machine: %u processors, load average %s\n",
                    std::thread::hardware_concurrency(), LoadAverage().c_str());

        for (const Wire wire : {Wire::Plain, Wire::Tls}) {
            intact = RunLoopback(bench, wire, loopbackRounds) && intact;
        }
        if (delayedRounds > 0) {
            std::printf(
                "\nwith 20 ms round trip: client and server in network namespaces of their "
                "own, a delay line between them adding %.1f ms each way\n",
                std::chrono::duration<double, std::milli>(kOneWayDelay).count());
            klv::bench::RemoveStaleNamespaces();
            std::optional<klv::bench::SplitNetwork> network;
            try {
                network.emplace();
            } catch (const klv::bench::NamespacesRefused& refused) {
                std::printf("  network namespaces are refused here (%s): this part is skipped\n",
                            refused.what());
            }
            for (const Wire wire : {Wire::Plain, Wire::Tls}) {
                if (network) {
                    intact = RunDelayed(bench, *network, wire, delayedRounds) && intact;
                }
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pages_bench: %s\n", error.what());
        return 1;
    }
    return intact ? 0 : 1;
}
