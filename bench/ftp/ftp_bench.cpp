// Throughput of FtpClient against the curl command line, side by side in one run, over
// loopback in active mode (the mode the installer uses), against a vsftpd started here.
//
//   ftp_bench [MiB]        file size, 256 unless given (or KLV_FTP_BENCH_MIB)
//
// Each direction is timed five times per tool, alternating the tools; the best run
// of each counts. MB/s means 10^6 bytes per second. Needs /usr/sbin/vsftpd and curl,
// and root (vsftpd's anonymous user is chrooted).
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/tcp_socket.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
constexpr int kRounds = 5;

unsigned FreeLoopbackPort() {
    const klv::ftp::UniqueFd probe = klv::ftp::tcp::OpenStreamSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("no free port");
    }
    return ntohs(klv::ftp::tcp::LocalAddress(probe.get())->sin_port);
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A vsftpd on 127.0.0.1 with anonymous upload into pub/, in a directory of its own.
class Vsftpd {
public:
    Vsftpd() {
        std::string pattern = (fs::temp_directory_path() / "klv-ftp-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
        fs::create_directories(dir_ / "root" / "pub");
        fs::permissions(dir_ / "root" / "pub", fs::perms::all, fs::perm_options::replace);
        port_ = FreeLoopbackPort();
        std::ofstream config(dir_ / "vsftpd.conf");
        config << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
               << "listen_port=" << port_ << "\n"
               << "background=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
               << "anon_upload_enable=YES\nanon_other_write_enable=YES\nno_anon_password=YES\n"
               << "anon_root=" << (dir_ / "root").string() << "\n"
               << "allow_writeable_chroot=YES\nseccomp_sandbox=NO\nisolate=NO\n"
               << "isolate_network=NO\nconnect_from_port_20=NO\nport_enable=YES\n"
               << "pasv_enable=YES\nxferlog_enable=NO\nanon_umask=022\nuse_sendfile=YES\n"
               << "secure_chroot_dir=/var/run/vsftpd/empty\n";
        config.close();
        fs::create_directories("/var/run/vsftpd/empty");
        pid_ = Spawn({kVsftpd, (dir_ / "vsftpd.conf").string()});
        // Ready once it accepts a connection.
        for (int attempt = 0; attempt < 200; ++attempt) {
            klv::ftp::UniqueFd probe = klv::ftp::tcp::OpenStreamSocket();
            const auto addresses = klv::ftp::tcp::Resolve("127.0.0.1", port_);
            if (klv::ftp::tcp::ConnectWithin(probe.get(), addresses.at(0),
                                             std::chrono::milliseconds(100))) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("vsftpd did not start");
    }
    ~Vsftpd() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            Wait(pid_);
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    [[nodiscard]] unsigned port() const { return port_; }
    [[nodiscard]] const fs::path& dir() const { return dir_; }
    [[nodiscard]] fs::path served(const std::string& name) const {
        return dir_ / "root" / "pub" / name;
    }

private:
    fs::path dir_;
    unsigned port_ = 0;
    pid_t pid_ = -1;
};

void WriteRandomFile(const fs::path& path, std::size_t bytes) {
    std::mt19937_64 generator(20240601);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& word : block) {
            word = generator();
        }
        const std::size_t chunk = std::min(bytes - written, block.size() * sizeof(block[0]));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
}

bool SameFiles(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary);
    std::ifstream y(b, std::ios::binary);
    std::vector<char> bx(1 << 20);
    std::vector<char> by(1 << 20);
    for (;;) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() ||
            !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) {
            return false;
        }
        if (x.gcount() == 0) {
            return true;
        }
    }
}

double Seconds(const std::function<bool()>& run) {
    const auto start = Clock::now();
    if (!run()) {
        throw std::runtime_error("a transfer failed");
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Best {
    double seconds = 1e30;
    void Add(double s) { seconds = std::min(seconds, s); }
    [[nodiscard]] double MBps(std::size_t bytes) const { return bytes / seconds / 1e6; }
};

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = 256;
    if (argc > 1) {
        mib = std::strtoul(argv[1], nullptr, 10);
    } else if (const char* env = std::getenv("KLV_FTP_BENCH_MIB")) {
        mib = std::strtoul(env, nullptr, 10);
    }
    const std::size_t bytes = mib << 20;
    if (::access(kVsftpd, X_OK) != 0) {
        std::fprintf(stderr, "ftp_bench: %s is missing (Debian package vsftpd)\n", kVsftpd);
        return 1;
    }
    try {
        Vsftpd server;
        const fs::path source = server.dir() / "source.bin";
        WriteRandomFile(source, bytes);
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

        Best clientUp, clientDown, curlUp, curlDown;
        const fs::path clientCopy = server.dir() / "client-down.bin";
        const fs::path curlCopy = server.dir() / "curl-down.bin";
        for (int round = 0; round < kRounds; ++round) {
            clientUp.Add(Seconds([&] {
                return client.TransferFile(
                    "pub/client.bin", source.string(), klv::ftp::DataConnection::Active,
                    klv::ftp::Direction::Upload, klv::ftp::TransferType::Image);
            }));
            curlUp.Add(Seconds([&] {
                return Wait(Spawn({"/usr/bin/curl", "-sS", "--ftp-port", "127.0.0.1", "-u",
                                   "anonymous:klv@", "-T", source.string(), url + "curl.bin"})) ==
                       0;
            }));
            clientDown.Add(Seconds([&] {
                return client.TransferFile(
                    "pub/client.bin", clientCopy.string(), klv::ftp::DataConnection::Active,
                    klv::ftp::Direction::Download, klv::ftp::TransferType::Image);
            }));
            curlDown.Add(Seconds([&] {
                return Wait(Spawn({"/usr/bin/curl", "-sS", "--ftp-port", "127.0.0.1", "-u",
                                   "anonymous:klv@", "-o", curlCopy.string(), url + "curl.bin"})) ==
                       0;
            }));
        }
        client.LogOff();

        const bool intact =
            SameFiles(source, server.served("client.bin")) && SameFiles(source, clientCopy) &&
            SameFiles(source, server.served("curl.bin")) && SameFiles(source, curlCopy);

        std::printf("ftp_bench: %zu MiB over loopback, active mode, vsftpd, best of %d\n", mib,
                    kRounds);
        std::printf("  %-9s %12s %12s %8s\n", "", "FtpClient", "curl", "ratio");
        std::printf("  %-9s %7.0f MB/s %7.0f MB/s %8.2f\n", "upload", clientUp.MBps(bytes),
                    curlUp.MBps(bytes), clientUp.MBps(bytes) / curlUp.MBps(bytes));
        std::printf("  %-9s %7.0f MB/s %7.0f MB/s %8.2f\n", "download", clientDown.MBps(bytes),
                    curlDown.MBps(bytes), clientDown.MBps(bytes) / curlDown.MBps(bytes));
        std::printf("  files intact: %s\n", intact ? "yes" : "NO");
        return intact ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ftp_bench: %s\n", error.what());
        return 1;
    }
}
