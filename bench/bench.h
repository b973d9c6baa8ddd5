// What the benchmarks add to testkit/testkit.h: running a tool to its end, random files and
// their comparison, and an anonymous vsftpd (the one scripts/fetch-ftp-servers.sh unpacks)
// whose /pub takes uploads.
#pragma once

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "base/resolver.h"
#include "ftp/tcp_socket.h"
#include "installer/window.h"
#include "testkit/testkit.h"

namespace klv::bench {

namespace fs = std::filesystem;

inline constexpr char kVsftpdPath[] = KLV_FTP_SERVERS_DIR "/root/usr/sbin/vsftpd";
// The account vsftpd's anonymous sessions run as, in its own passwd (see Vsftpd).
inline constexpr char kAnonymousUser[] = "klvbench";

inline int RunToEnd(const std::vector<std::string>& argv) {  // its exit status
    return testing::Process(argv, "/dev/null").Wait();
}

inline void WriteRandomFile(const fs::path& path, std::size_t bytes, std::uint64_t seed = 1) {
    std::mt19937_64 generator(seed);
    std::ofstream out(path, std::ios::binary);
    for (std::string block(1 << 20, '\0'); bytes > 0; bytes -= std::min(bytes, block.size())) {
        std::generate(block.begin(), block.end(), [&] { return static_cast<char>(generator()); });
        out.write(block.data(), static_cast<std::streamsize>(std::min(bytes, block.size())));
    }
}

// Both exist and hold the same bytes; compared in blocks, since the benchmarks check
// every copy of files up to hundreds of MiB after every round.
inline bool SameFiles(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) {
        return false;
    }
    std::string blockX(1 << 20, '\0'), blockY(1 << 20, '\0');
    while (true) {
        const std::streamsize readX = x.read(blockX.data(), std::ssize(blockX)).gcount();
        const std::streamsize readY = y.read(blockY.data(), std::ssize(blockY)).gcount();
        const auto length = static_cast<std::size_t>(readX);
        if (readX != readY || blockX.compare(0, length, blockY, 0, length) != 0) {
            return false;
        }
        if (readX < std::ssize(blockX)) {
            return true;
        }
    }
}

// A window nobody looks at: the session operations report through it.
struct QuietWindow : Window {
    std::string FieldText(Control) const override { return {}; }
    void SetFieldText(Control, std::string_view) override {}
    void SetStatusLine(std::string_view) override {}
    void ShowMessage(std::string_view) override {}
    void OpenUrl(std::string_view) override {}
    // The benchmarks' servers show a certificate of their own making; the user trusts it.
    bool TrustCertificate(const ftp::CertificateInfo&) override { return true; }
    bool TrustHostKey(const sftp::HostKeyInfo&) override { return true; }  // likewise a host key
};

class Vsftpd {
public:
    // On 127.0.0.1 at a free port, or at `address`:`port` inside the network namespace.
    // With `tlsCertificate` (a PEM file, its key beside it in NAME.key) it takes
    // logons and data only over TLS, each data connection resuming the control
    // connection's session, as hosts that require encryption do.
    explicit Vsftpd(std::string address = "127.0.0.1", unsigned port = 0,
                    const std::string& networkNamespace = {}, const fs::path& tlsCertificate = {})
        : address_(std::move(address)), port_(port != 0 ? port : FreePort()) {
        fs::create_directories(dir() / "root/pub");
        fs::permissions(dir() / "root/pub", fs::perms::all);
        fs::create_directories(dir() / "empty");
        // vsftpd runs anonymous sessions as `ftp_username`, whose home must exist, and the
        // usual "ftp" account is there only where a distribution's FTP server was installed.
        // So vsftpd reads a passwd of its own, bound over /etc/passwd in a mount namespace
        // of its own (as the tests' servers do): the account is nobody's ids with the served
        // root as home, and the machine's accounts stay as they are.
        testing::WriteFile(dir() / "passwd", testing::ReadFile("/etc/passwd") + kAnonymousUser +
                                                 ":x:65534:65534::" + (dir() / "root").string() +
                                                 ":/usr/sbin/nologin\n");
        testing::WriteFile(
            dir() / "vsftpd.conf",
            "listen=YES\nlisten_ipv6=NO\nlisten_address=" + address_ +
                "\nlisten_port=" + std::to_string(port_) +
                "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
                "anon_upload_enable=YES\nanon_other_write_enable=YES\nno_anon_password=YES\n"
                "ftp_username=" +
                std::string(kAnonymousUser) + "\nanon_root=" + (dir() / "root").string() +
                "\nallow_writeable_chroot=YES\nseccomp_sandbox=NO\nisolate=NO\n"
                "isolate_network=NO\nconnect_from_port_20=NO\nxferlog_enable=NO\nanon_umask=022\n"
                // Its empty directory in the scratch one: nothing outside it changes.
                "secure_chroot_dir=" +
                (dir() / "empty").string() +
                "\n"
                // Sessions left behind by an interrupted benchmark end within a minute.
                "idle_session_timeout=60\ndata_connection_timeout=60\n" +
                (tlsCertificate.empty()
                     ? std::string()
                     : "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                       "force_anon_data_ssl=YES\nrequire_ssl_reuse=YES\nrsa_cert_file=" +
                           tlsCertificate.string() + "\nrsa_private_key_file=" +
                           fs::path(tlsCertificate).replace_extension(".key").string() + "\n"));
        // Each of these execs the next in place, so the process is vsftpd's own.
        std::vector<std::string> command{"/usr/bin/unshare",
                                         "--mount",
                                         "--propagation",
                                         "private",
                                         "/bin/sh",
                                         "-c",
                                         "mount --bind \"$1\" /etc/passwd && shift && exec \"$@\"",
                                         "sh",
                                         dir() / "passwd",
                                         kVsftpdPath,
                                         dir() / "vsftpd.conf"};
        if (!networkNamespace.empty()) {
            command.insert(command.begin(), {"/usr/sbin/ip", "netns", "exec", networkNamespace});
        }
        process_.emplace(command, dir() / "vsftpd.log");
        const auto target =
            Resolve(address_, port_, AF_INET, DeadlineAfter(std::chrono::seconds(5)));
        for (int attempt = 0; attempt < 200 && !target.addresses.empty(); ++attempt) {
            const SocketAddress& address = target.addresses.front();
            const UniqueFd probe = ftp::tcp::OpenStreamSocket();
            if (ftp::tcp::Connect(probe.get(), address.get(), address.length,
                                  DeadlineAfter(std::chrono::seconds(1)))) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("vsftpd did not start: " +
                                 testing::ReadFile(dir() / "vsftpd.log"));
    }
    ~Vsftpd() { process_->Stop(); }  // before its directory goes
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    const std::string& address() const { return address_; }
    unsigned port() const { return port_; }
    const fs::path& dir() const { return scratch_.path; }
    fs::path served(const std::string& name) const { return dir() / "root/pub" / name; }
    void ClearServed() const {
        for (const fs::directory_entry& entry : fs::directory_iterator(dir() / "root/pub")) {
            fs::remove_all(entry.path());
        }
    }

private:
    static unsigned FreePort() {
        const UniqueFd probe = ftp::tcp::OpenStreamSocket();
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("no free port");
        }
        return ftp::tcp::PortOf(*ftp::tcp::LocalAddress(probe.get()));
    }

    testing::Scratch scratch_;
    std::string address_;
    unsigned port_;
    std::optional<testing::Process> process_;
};

}  // namespace klv::bench
