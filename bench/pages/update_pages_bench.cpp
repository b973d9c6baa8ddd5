// Update Pages as it now runs, several sessions at once with the pages fetched ahead and
// only what changed sent, at 20 ms of round trip (pages_bench's delay line and network
// namespaces), with the same 200 pages and two images as pages_bench, against vsftpd in
// clear text and over TLS:
//   1. the FTP part: three sessions sharing the files as Update Pages shares them, against
//      lftp's `mirror -R --parallel=3` of the same files into the same vsftpd;
//   2. the whole workflow, the vendor's HTTP site (testkit/servers.py http) behind the delay
//      line as well: UpdatePages() with three connections, against the same steps in the
//      order a one-connection program takes them (the list, the logon, then each page
//      fetched and then stored before the next, on one session);
//   3. with a record of the host: a second UpdatePages() with nothing changed, against the
//      first, full run.
// Rounds take turns at going first; the median counts. After every run every stored file
// is compared with its source; a part in which a run failed or a file arrived damaged
// prints no figures, and the benchmark exits 1.
//
//   update_pages_bench [rounds, default 3]   (or KLV_UPDATE_PAGES_BENCH_ROUNDS)
//
// Needs root, the vsftpd scripts/fetch-ftp-servers.sh unpacks, /usr/bin/lftp,
// /usr/bin/openssl, /usr/bin/python3 and /usr/sbin/ip.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/pages/delay_line.h"
#include "bench/pages/site.h"
#include "bench/pages/split_network.h"
#include "installer/config.h"
#include "installer/download.h"
#include "installer/page_list.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/text_file.h"
#include "installer/vendor_site.h"
#include "installer/workflows.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using klv::bench::Median;
using klv::bench::PageFile;

constexpr char kLftp[] = "/usr/bin/lftp";
constexpr char kIp[] = "/usr/sbin/ip";
constexpr char kOpenssl[] = "/usr/bin/openssl";
constexpr char kPython[] = "/usr/bin/python3";
constexpr unsigned kSessions = 3;  // Update Pages' default
constexpr char kUser[] = "anonymous";
constexpr char kPassword[] = "klv@";

enum class Wire { Plain, Tls };

const char* NameOf(Wire wire) {
    return wire == Wire::Plain ? "clear text" : "TLS";
}

// What every part works with: the files, and the two servers behind the delay line.
struct Rig {
    const std::vector<PageFile>& files;
    fs::path siteDirectory;  // the files alone, for lftp
    const klv::bench::Vsftpd& ftp;
    std::string vendorBaseUrl;
    fs::path scratch;

    fs::path pagesDirectory() const { return ftp.dir() / "root/www/klv"; }
    void ClearPages() const {
        for (const fs::directory_entry& entry : fs::directory_iterator(pagesDirectory())) {
            fs::remove_all(entry.path());
        }
    }
};

// Every file is in `directory` with the bytes of its source: vsftpd stores "TYPE A" uploads
// as they come, and neither client changes a page's line ends.
bool AllIntact(const std::vector<PageFile>& files, const fs::path& directory, const char* who) {
    for (const PageFile& file : files) {
        if (!klv::bench::SameFiles(file.local, directory / file.name)) {
            std::fprintf(stderr, "update_pages_bench: %s: %s did not arrive intact\n", who,
                         file.name.c_str());
            return false;
        }
    }
    return true;
}

// What the workflows run with: the form's FTP fields and the endpoints.
struct Workbench {
    klv::bench::QuietWindow window;
    klv::SharedState shared;
    klv::Config config;

    Workbench(const Rig& rig, const fs::path& appDirectory, const fs::path& records = {}) {
        shared.appDirectory = appDirectory.string();
        shared.stateDirectory = records.string();
        shared.formData.ftpServer = rig.ftp.address();
        shared.formData.ftpUser = kUser;
        shared.formData.ftpPassword = kPassword;
        shared.formData.blogTitle = "Bench";
        shared.formData.blogPassword = "bench";
        config.vendorBaseUrl = rig.vendorBaseUrl;
        config.ftpPort = rig.ftp.port();
        config.idleTimeout = std::chrono::seconds(30);
        config.connections = kSessions;
    }
    klv::InstallerContext context() { return {window, shared, config}; }
    klv::Account account() const { return {shared.formData.ftpServer.str(), kUser, kPassword}; }
};

klv::FileToPut PageToPut(const fs::path& local, const std::string& listedName) {
    const klv::PagePlan plan = klv::PlanFor(listedName);
    return {local.string(), "www/klv/" + plan.remoteName,
            plan.binary ? klv::ftp::TransferType::Image : klv::ftp::TransferType::Ascii};
}

// ---- 1. the FTP part --------------------------------------------------------------

// The uploads of Update Pages without the fetches: the first session logs on before the
// others, each of the others logs on on its own thread, and every session takes the next
// file in list order until none is left. Into pub, as lftp's mirror.
bool ThreeSessions(const Rig& rig) {
    // Each session its own trust store: a memory one serves one thread at a time.
    std::vector<std::unique_ptr<Workbench>> benches;
    for (unsigned s = 0; s < kSessions; ++s) {
        benches.push_back(std::make_unique<Workbench>(rig, rig.scratch));
    }
    std::vector<klv::Session> sessions(kSessions);
    const auto logOn = [&](std::size_t s) {
        const klv::Result logon =
            klv::LogOn(benches[s]->context(), sessions[s], benches[s]->account());
        if (!logon.ok()) {
            std::fprintf(stderr, "update_pages_bench: logon %zu failed: %s\n", s + 1,
                         logon.text().c_str());
        }
        return logon.ok();
    };
    if (!logOn(0)) {
        return false;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> allStored{true};
    {
        std::vector<std::jthread> threads;
        for (std::size_t s = 0; s < sessions.size(); ++s) {
            threads.emplace_back([&, s] {
                if (s > 0 && !logOn(s)) {
                    allStored = false;
                    return;
                }
                for (std::size_t i; (i = next++) < rig.files.size();) {
                    const PageFile& file = rig.files[i];
                    klv::FileToPut put = PageToPut(file.local, file.name);
                    put.remotePath = "pub/" + file.name;
                    if (const klv::Result stored = klv::PutFile(sessions[s], put); !stored.ok()) {
                        std::fprintf(stderr, "update_pages_bench: %s: %s\n", file.name.c_str(),
                                     stored.text().c_str());
                        allStored = false;
                    }
                }
            });
        }
    }
    for (klv::Session& session : sessions) {
        klv::LogOff(session);
    }
    return allStored;
}

// One lftp process mirroring the files into pub over three connections, with the settings
// of pages_bench: active mode, one command at a time on each connection, nothing beyond
// storing the files (no FEAT, SITE UTIME, ALLO, chmod, transfer log), no retries;
// over TLS, protection required, the certificate unchecked and TLS 1.2.
std::vector<std::string> LftpMirror(const Rig& rig, Wire wire) {
    const std::string script =
        "set cmd:fail-exit yes; set ftp:passive-mode off; set ftp:sync-mode on; " +
        std::string(wire == Wire::Plain
                        ? "set ftp:ssl-allow no; "
                        : "set ftp:ssl-allow yes; set ftp:ssl-force true; "
                          "set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
                          "set ssl:priority NORMAL:-VERS-TLS1.3; ") +
        "set ftp:use-feat no; set ftp:use-site-utime no; set ftp:use-site-utime2 no; "
        "set ftp:use-allo no; set xfer:log no; set net:max-retries 1; "
        "set net:timeout 30; open -u " +
        kUser + "," + kPassword + " -p " + std::to_string(rig.ftp.port()) + " " +
        rig.ftp.address() + "; mirror -R --parallel=" + std::to_string(kSessions) + " --no-perms " +
        rig.siteDirectory.string() + " pub";
    return {kLftp, "--norc", "-c", script};
}

bool Lftp(const Rig& rig, Wire wire) {
    const fs::path log = rig.scratch / "lftp.log";
    if (klv::testing::Process(LftpMirror(rig, wire), log).Wait() != 0) {
        std::fprintf(stderr, "update_pages_bench: lftp failed:\n%s\n",
                     klv::testing::ReadFile(log).c_str());
        return false;
    }
    return true;
}

// ---- 2. and 3. the whole workflow --------------------------------------------------

bool RunUpdatePages(const Rig& rig, const fs::path& records = {}) {
    Workbench bench(rig, rig.scratch / "app", records);
    fs::create_directories(rig.scratch / "app");
    const klv::RunResult result = klv::UpdatePages(bench.context());
    for (const klv::FailedFile& failed : result.failedFiles) {
        std::fprintf(stderr, "update_pages_bench: %s: %s\n", failed.name.c_str(),
                     failed.reason.c_str());
    }
    if (result.outcome != klv::RunOutcome::Done ||
        result.done != static_cast<int>(rig.files.size())) {
        std::fprintf(stderr, "update_pages_bench: UpdatePages ended %d after %d pages: %s\n",
                     static_cast<int>(result.outcome), result.done, result.text.c_str());
        return false;
    }
    return true;
}

// The same workflow as a one-connection program runs it: the list, the logon, then each
// page fetched and stored before the next is fetched.
bool OneByOne(const Rig& rig) {
    Workbench bench(rig, rig.scratch / "app");
    fs::create_directories(rig.scratch / "app");
    const std::string listFile = rig.scratch / "app/klv.txt";
    const std::string pageFile = rig.scratch / "app/page.txt";
    bool ok =
        klv::Download(bench.config, klv::VendorUrl(bench.config.vendorBaseUrl, klv::kPageListPath),
                      listFile, klv::kMaxVendorTextBytes)
            .ok();
    klv::Session session;
    ok = ok && klv::LogOn(bench.context(), session, bench.account()).ok();
    std::string list;
    ok = ok && klv::ReadTextFile(listFile, list);
    for (const std::string& name : ok ? klv::ListedNames(list) : std::vector<std::string>{}) {
        const klv::Result fetched = klv::Download(
            bench.config, klv::VendorUrl(bench.config.vendorBaseUrl, klv::kPagesPath, name),
            pageFile);
        const klv::Result stored =
            fetched.ok() ? klv::PutFile(session, PageToPut(pageFile, name)) : fetched;
        if (!stored.ok()) {
            std::fprintf(stderr, "update_pages_bench: %s: %s\n", name.c_str(),
                         stored.text().c_str());
            ok = false;
        }
    }
    klv::LogOff(session);
    return ok;
}

// ---- measuring ----------------------------------------------------------------------

struct Contender {
    const char* name;
    std::function<bool()> run;    // false when a transfer failed
    std::function<void()> ready;  // the host as the run should find it
    std::function<bool()> intact;
};

struct Times {
    std::vector<double> seconds[2];
    bool ok = true;
};

// Each round runs both, the first one first in even rounds and second in odd ones.
Times Alternate(const Contender (&contenders)[2], int rounds) {
    Times times;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (round + turn) % 2;
            const Contender& contender = contenders[which];
            contender.ready();
            const auto start = Clock::now();
            const bool stored = contender.run();
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const bool intact = stored && contender.intact();
            times.ok = times.ok && intact;
            times.seconds[which].push_back(seconds);
            std::printf("    round %d  %-24s %8.3f s%s\n", round + 1, contender.name, seconds,
                        intact ? "" : "  FAILED OR NOT INTACT");
            std::fflush(stdout);
        }
    }
    return times;
}

// The medians and their ratio against `target`, only when every run of the part stored
// every file intact.
bool Report(const Times& times, const char* (&names)[2], double target) {
    if (!times.ok) {
        std::printf("  a run failed or stored damaged files: no figures for this part\n");
        return false;
    }
    const double ours = Median(times.seconds[0]);
    const double theirs = Median(times.seconds[1]);
    std::vector<double> paired;
    for (std::size_t i = 0; i < times.seconds[0].size(); ++i) {
        paired.push_back(times.seconds[0][i] / times.seconds[1][i]);
    }
    std::printf(
        "  median  %s %.3f s, %s %.3f s, ratio %.3f; within each round %.3f (%.3f to "
        "%.3f)\n",
        names[0], ours, names[1], theirs, ours / theirs, Median(paired),
        *std::min_element(paired.begin(), paired.end()),
        *std::max_element(paired.begin(), paired.end()));
    std::printf("  target, ratio <= %.2f: %s; files intact: every file of every round\n", target,
                ours / theirs <= target ? "met" : "NOT met");
    return true;
}

bool FtpPart(const Rig& rig, Wire wire, int rounds) {
    std::printf("\n-- FTP part, %s: %u sessions against lftp mirror -R --parallel=%u\n",
                NameOf(wire), kSessions, kSessions);
    const auto clear = [&] { rig.ftp.ClearServed(); };
    const auto intact = [&] { return AllIntact(rig.files, rig.ftp.dir() / "root/pub", "FTP"); };
    const Contender contenders[2] = {
        {"3 sessions", [&] { return ThreeSessions(rig); }, clear, intact},
        {"lftp mirror", [&] { return Lftp(rig, wire); }, clear, intact}};
    const char* names[2] = {"3 sessions", "lftp"};
    return Report(Alternate(contenders, rounds), names, 1.0);
}

bool WorkflowPart(const Rig& rig, Wire wire, int rounds) {
    std::printf(
        "\n-- whole workflow, %s: UpdatePages (%u connections, fetching ahead) against "
        "one connection, each page fetched then stored\n",
        NameOf(wire), kSessions);
    const auto clear = [&] { rig.ClearPages(); };
    const auto intact = [&] { return AllIntact(rig.files, rig.pagesDirectory(), "workflow"); };
    const Contender contenders[2] = {
        {"UpdatePages", [&] { return RunUpdatePages(rig); }, clear, intact},
        {"one by one", [&] { return OneByOne(rig); }, clear, intact}};
    const char* names[2] = {"UpdatePages", "one by one"};
    return Report(Alternate(contenders, rounds), names, 0.3);
}

// The stored files' modification times: a run that sent nothing leaves them as they were.
std::map<std::string, fs::file_time_type> StoredTimes(const Rig& rig) {
    std::map<std::string, fs::file_time_type> times;
    for (const fs::directory_entry& entry : fs::directory_iterator(rig.pagesDirectory())) {
        times[entry.path().filename().string()] = entry.last_write_time();
    }
    return times;
}

bool UnchangedPart(const Rig& rig, Wire wire, int rounds) {
    std::printf(
        "\n-- unchanged run, %s: a second UpdatePages with nothing changed against "
        "the first, both keeping a record\n",
        NameOf(wire));
    const fs::path records = rig.scratch / "records";
    // The other wire's record has the same key (host, port, user, directory) but not this
    // server's files.
    fs::remove_all(records);
    const auto fresh = [&] {
        rig.ClearPages();
        fs::remove_all(records);
    };
    const auto intact = [&] { return AllIntact(rig.files, rig.pagesDirectory(), "record"); };
    std::map<std::string, fs::file_time_type> before;
    // The second run needs the first's record and pages: in the rounds where it goes first,
    // an untimed full run lays them down.
    std::size_t recorded = 0;  // pages in the record the second run starts from
    bool laidDown = true;
    const auto readyForSecond = [&] {
        if (!fs::exists(records)) {
            fresh();
            laidDown = RunUpdatePages(rig, records) && laidDown;
        }
        before = StoredTimes(rig);
        recorded = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(records)) {
            std::istringstream lines(klv::testing::ReadFile(entry.path()));
            for (std::string line; std::getline(lines, line);) {
                recorded += line.starts_with("page\t") ? 1 : 0;
            }
        }
    };
    const auto sentNothing = [&] {
        const std::map<std::string, fs::file_time_type> after = StoredTimes(rig);
        const auto again = std::count_if(after.begin(), after.end(), [&](const auto& file) {
            const auto was = before.find(file.first);
            return was == before.end() || was->second != file.second;
        });
        if (again != 0) {
            std::fprintf(stderr,
                         "update_pages_bench: the unchanged run stored %td pages again; its "
                         "record held %zu pages\n",
                         again, recorded);
            return false;
        }
        return laidDown && intact();
    };
    const Contender contenders[2] = {
        {"second run", [&] { return RunUpdatePages(rig, records); }, readyForSecond, sentNothing},
        {"first run", [&] { return RunUpdatePages(rig, records); }, fresh, intact}};
    // Even rounds: the second run first (after its untimed first run), then a full one from
    // scratch; odd rounds: the full run, and the second run on its record.
    const char* names[2] = {"second run", "first run"};
    return Report(Alternate(contenders, rounds), names, 0.1);
}

// The vendor's site: servers.py http at `address` in the server's namespace, serving
// `root`.
class VendorSite {
public:
    VendorSite(const fs::path& root, const std::string& address, const std::string& ns,
               const fs::path& log)
        : process_({kIp, "netns", "exec", ns, kPython, KLV_SERVERS, "http", root, log,
                    "address=" + address}) {
        std::string host;
        unsigned port = 0;
        std::istringstream(process_.ReadLine()) >> host >> port;
        if (port == 0) {
            throw std::runtime_error("the vendor's site did not start");
        }
        baseUrl_ = "http://" + host + ":" + std::to_string(port);
    }
    const std::string& baseUrl() const { return baseUrl_; }

private:
    klv::testing::Process process_;
    std::string baseUrl_;
};

// Whether part `name` runs: all of them unless KLV_UPDATE_PAGES_BENCH_PARTS names some
// ("ftp,workflow,unchanged").
bool Runs(std::string_view name) {
    const char* parts = std::getenv("KLV_UPDATE_PAGES_BENCH_PARTS");
    return parts == nullptr || *parts == '\0' ||
           std::string_view(parts).find(name) != std::string_view::npos;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with the errors
    int rounds = 3;
    if (const char* env = std::getenv("KLV_UPDATE_PAGES_BENCH_ROUNDS"); env != nullptr) {
        rounds = std::atoi(env);
    }
    if (argc > 1) {
        rounds = std::atoi(argv[1]);
    }
    rounds = std::max(1, rounds);
    for (const char* tool : {klv::bench::kVsftpdPath, kLftp, kIp, kOpenssl, kPython}) {
        if (::access(tool, X_OK) != 0) {
            std::fprintf(stderr, "update_pages_bench: %s is missing (scripts/setup-debian.sh)\n",
                         tool);
            return 1;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "update_pages_bench: needs root (vsftpd, namespaces)\n");
        return 1;
    }
    bool ok = true;
    try {
        const klv::testing::Scratch scratch;
        const std::vector<PageFile> files = klv::bench::MakeSite(scratch.path / "site");
        // The vendor's copy: the same files and the list of their names.
        const fs::path vendor = scratch.path / "vendor";
        fs::create_directories(vendor / "klvsetup");
        std::string list;
        for (const PageFile& file : files) {
            fs::copy_file(file.local, vendor / "klvsetup" / file.name);
            list += file.name + "\n";
        }
        klv::testing::WriteFile(vendor / "klvsetup/list.txt", list);
        const fs::path certificate = scratch.path / "server.crt";
        klv::bench::MakeServerCertificate(certificate);
        std::printf(
            "update_pages_bench: %d pages and 2 images, vsftpd and the vendor's HTTP site behind "
            "a delay line adding %.1f ms each way, %d rounds each\n",
            klv::bench::kPages,
            std::chrono::duration<double, std::milli>(klv::bench::kOneWayDelay).count(), rounds);
        std::printf("machine: %u processors, load average %s\n",
                    std::thread::hardware_concurrency(), klv::bench::LoadAverage().c_str());

        klv::bench::RemoveStaleNamespaces();
        std::optional<klv::bench::SplitNetwork> network;
        try {
            network.emplace();
        } catch (const klv::bench::NamespacesRefused& refused) {
            std::printf("  network namespaces are refused here (%s): nothing to measure\n",
                        refused.what());
            return 0;
        }
        const klv::bench::DelayLine line(
            network->middle().fd(), klv::bench::SplitNetwork::kMiddleToClient,
            klv::bench::SplitNetwork::kMiddleToServer, klv::bench::kOneWayDelay, nullptr);
        const klv::bench::NamespaceScope inClient(network->client().fd());
        const VendorSite site(vendor, klv::bench::SplitNetwork::kServerAddress,
                              network->server().name(), scratch.path / "http.log");
        for (const Wire wire : {Wire::Plain, Wire::Tls}) {
            std::printf("\n== %s\n", NameOf(wire));
            const klv::bench::Vsftpd server(klv::bench::SplitNetwork::kServerAddress, 21,
                                            network->server().name(),
                                            wire == Wire::Tls ? certificate : fs::path());
            fs::create_directories(server.dir() / "root/www/klv");
            fs::permissions(server.dir() / "root/www/klv", fs::perms::all);
            const Rig rig{files, scratch.path / "site", server, site.baseUrl(), scratch.path};
            if (Runs("ftp")) {
                ok = FtpPart(rig, wire, rounds) && ok;
            }
            if (Runs("workflow")) {
                ok = WorkflowPart(rig, wire, rounds) && ok;
            }
            if (Runs("unchanged")) {
                ok = UnchangedPart(rig, wire, rounds) && ok;
            }
            std::printf("  load average %s\n", klv::bench::LoadAverage().c_str());
        }
        const klv::bench::DelayLine::Stats stats = line.stats();
        std::printf("\ndelay line: %llu frames, %llu dropped, latest send %lld us after its time\n",
                    static_cast<unsigned long long>(stats.frames),
                    static_cast<unsigned long long>(stats.dropped),
                    static_cast<long long>(stats.latestSend.count()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "update_pages_bench: %s\n", error.what());
        return 1;
    }
    return ok ? 0 : 1;
}
