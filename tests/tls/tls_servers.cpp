#include "tests/tls/tls_servers.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace klv::testing {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kVsftpdUserId = 64011;
// "secret", hashed by `openssl passwd -6 -salt klvtls secret`.
constexpr char kVsftpdPasswordHash[] =
    "$6$klvtls$bnx4iRKHQE4ZvgmHf/vdHHuor0kC5IzP6CbdltERVXLK.PE8Zj70J/jaCV.PcxBDWKlgw.GuoR8kb0LKgCK/"
    "a.";

fs::path Scratch() {
    std::string pattern = (fs::temp_directory_path() / "klv-tls-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    fs::permissions(pattern, fs::perms::owner_all | fs::perms::others_exec);
    return pattern;
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void MakeCertificate(const fs::path& dir, const std::string& name, const std::string& subject,
                     const std::string& names, bool byAuthority) {
    std::vector<std::string> argv = {"/usr/bin/openssl",
                                     "req",
                                     "-x509",
                                     "-newkey",
                                     "rsa:2048",
                                     "-nodes",
                                     "-days",
                                     "2",
                                     "-subj",
                                     "/CN=" + subject,
                                     "-keyout",
                                     (dir / (name + ".key")).string(),
                                     "-out",
                                     (dir / (name + ".crt")).string()};
    if (!names.empty()) {
        argv.insert(argv.end(), {"-addext", "subjectAltName=" + names});
    }
    if (byAuthority) {
        argv.insert(argv.end(),
                    {"-CA", (dir / "ca.crt").string(), "-CAkey", (dir / "ca.key").string()});
    }
    if (RunToCompletion(argv, dir / (name + ".log"), std::chrono::seconds(60)) != 0) {
        throw std::runtime_error("openssl could not make " + name);
    }
}

}  // namespace

const fs::path& CertificateDirectory() {
    static const struct Directory {
        Directory() : path(Scratch()) {
            MakeCertificate(path, "ca", "klv test authority", "", false);
            MakeCertificate(path, "server", "klv test server", "IP:127.0.0.1,IP:127.0.0.21", true);
            MakeCertificate(path, "other", "other.example", "DNS:other.example", false);
        }
        ~Directory() { fs::remove_all(path); }
        fs::path path;
    } directory;
    return directory.path;
}

TlsServer::TlsServer(TlsServerKind kind, const std::string& certificate)
    : kind_(kind), scratch_(Scratch()), home_(scratch_ / "home") {
    const fs::path cert = CertificateDirectory() / (certificate + ".crt");
    const fs::path key = CertificateDirectory() / (certificate + ".key");
    fs::create_directories(home_);
    ServerProcessOptions options;
    options.logFile = scratch_ / "server.log";
    if (kind_ == TlsServerKind::Pyftpdlib) {
        host_ = "127.0.0.1";
        port_ = FreePort(host_);
        options.argv = {"/usr/bin/python3", KLV_TLS_FTPD_SCRIPT,  "--home", home_.string(),
                        "--cert",           cert.string(),        "--key",  key.string(),
                        "--port",           std::to_string(port_)};
    } else {
        // vsftpd takes its users from PAM: the user exists in a passwd only it sees.
        host_ = "127.0.0.21";
        port_ = FreePort(host_);
        if (::chown(home_.c_str(), kVsftpdUserId, kVsftpdUserId) != 0) {
            throw std::runtime_error("cannot hand the home directory to the server's user");
        }
        std::ifstream system("/etc/passwd");
        const std::string id = std::to_string(kVsftpdUserId);
        WriteText(scratch_ / "passwd", std::string(std::istreambuf_iterator<char>(system), {}) +
                                           "klvtls:" + kVsftpdPasswordHash + ":" + id + ":" + id +
                                           "::" + home_.string() + ":/bin/sh\n");
        fs::create_directories(scratch_ / "empty");
        std::string config;
        for (const auto& [key_, value] : std::vector<std::pair<std::string, std::string>>{
                 {"listen", "YES"},
                 {"listen_ipv6", "NO"},
                 {"listen_address", host_},
                 {"listen_port", std::to_string(port_)},
                 {"background", "NO"},
                 {"anonymous_enable", "NO"},
                 {"local_enable", "YES"},
                 {"write_enable", "YES"},
                 {"local_umask", "022"},
                 {"local_root", home_.string()},
                 {"secure_chroot_dir", (scratch_ / "empty").string()},
                 {"pam_service_name", "other"},
                 {"seccomp_sandbox", "NO"},
                 {"ssl_enable", "YES"},
                 {"ssl_ciphers", "HIGH"},
                 {"rsa_cert_file", cert.string()},
                 {"rsa_private_key_file", key.string()},
                 {"force_local_logins_ssl", "YES"},
                 {"force_local_data_ssl", "YES"},
                 {"require_ssl_reuse", "YES"}}) {
            config += key_ + "=" + value + "\n";
        }
        WriteText(scratch_ / "vsftpd.conf", config);
        options.argv = {KLV_TLS_SERVERS_DIR "/root/usr/sbin/vsftpd",
                        (scratch_ / "vsftpd.conf").string()};
        options.bindMounts = {{scratch_ / "passwd", "/etc/passwd"}};
    }
    process_ = std::make_unique<ServerProcess>(options);
    if (!WaitUntilListening(*process_, host_, port_, std::chrono::seconds(20))) {
        throw std::runtime_error("the TLS server did not start:\n" + process_->LogTail());
    }
}

ftp::LogonRequest TlsLogon(const TlsServer& server, std::vector<ftp::CertificateInfo>& asked,
                           bool answer) {
    ftp::LogonRequest request;
    request.host = server.host();
    request.port = server.port();
    request.user = server.user();
    request.password = "secret";
    request.tls.attempt = true;
    request.tls.askTrust = [&asked, answer](const ftp::CertificateInfo& certificate) {
        asked.push_back(certificate);
        return answer;
    };
    return request;
}

}  // namespace klv::testing
