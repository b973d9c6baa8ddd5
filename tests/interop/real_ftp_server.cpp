#include "tests/interop/real_ftp_server.h"

#include <crypt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

namespace klv::testing {

namespace fs = std::filesystem;

namespace {

constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
constexpr int kPortAttempts = 3;
constexpr std::chrono::milliseconds kStartupBound{15000};

// The parts one after another (instead of chains of "+", which GCC 12 misreads).
std::string Joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(Joined({"cannot read ", path.string()}));
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path MakeScratch() {
    std::string pattern = (fs::temp_directory_path() / "klv-interop-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    // The server's user must be able to reach its home inside.
    fs::permissions(pattern, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    return pattern;
}

using Settings = std::vector<std::pair<std::string_view, std::string>>;

// A configuration file: one "name<separator>value" line per setting.
std::string ConfigText(const Settings& settings, std::string_view separator) {
    std::string text;
    for (const auto& [name, value] : settings) {
        text += name;
        text += separator;
        text += value;
        text += '\n';
    }
    return text;
}

}  // namespace

std::string_view NameOf(FtpServerKind kind) {
    switch (kind) {
        case FtpServerKind::Vsftpd:
            return "vsftpd";
        case FtpServerKind::Proftpd:
            return "proftpd";
        case FtpServerKind::PureFtpd:
            return "pure-ftpd";
        case FtpServerKind::Pyftpdlib:
            return "pyftpdlib";
    }
    return "?";
}

fs::path UnpackedServersRoot() {
    return fs::path(KLV_FTP_SERVERS_DIR) / "root";
}

RealFtpServer::RealFtpServer(FtpServerKind kind) : kind_(kind) {
    if (kind_ == FtpServerKind::Pyftpdlib) {
        PyFtpServerOptions options;
        options.user = user_;
        options.password = password_;
        options.subdirectories = {"www/cgi-bin", "www/klv"};
        options.maxSeconds = 300;
        pyftpd_ = std::make_unique<PyFtpServer>(std::move(options));
        host_ = "127.0.0.1";
        port_ = pyftpd_->port();
        home_ = pyftpd_->home();
        return;
    }
    try {
        scratch_ = MakeScratch();
        MakeHome();
        switch (kind_) {
            case FtpServerKind::Vsftpd:
                StartVsftpd();
                break;
            case FtpServerKind::Proftpd:
                StartProftpd();
                break;
            case FtpServerKind::PureFtpd:
                StartPureFtpd();
                break;
            case FtpServerKind::Pyftpdlib:
                break;
        }
    } catch (...) {
        process_.reset();
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
        throw;
    }
}

RealFtpServer::~RealFtpServer() {
    process_.reset();  // kills the server and its sessions before their files go
    pyftpd_.reset();
    if (!scratch_.empty()) {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
}

void RealFtpServer::MakeHome() {
    home_ = scratch_ / "home";
    for (const char* directory : {"", "www", "www/cgi-bin", "www/klv"}) {
        const fs::path path = home_ / directory;
        fs::create_directories(path);
        if (::chown(path.c_str(), kUserId, kUserId) != 0) {
            throw std::runtime_error(
                Joined({"cannot hand ", path.string(), " to the server's user"}));
        }
    }
}

void RealFtpServer::WriteText(const fs::path& path, const std::string& text, unsigned mode) const {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw std::runtime_error(Joined({"cannot write ", path.string()}));
        }
    }
    fs::permissions(path, static_cast<fs::perms>(mode));
}

void RealFtpServer::PutFile(const std::string& relative, const std::string& bytes) const {
    const fs::path path = home_ / relative;
    WriteText(path, bytes, 0644);
    if (!pyftpd_ && ::chown(path.c_str(), kUserId, kUserId) != 0) {
        throw std::runtime_error(Joined({"cannot hand ", path.string(), " to the server's user"}));
    }
}

std::string RealFtpServer::PasswordHash() const {
    crypt_data data{};
    const char* hash = ::crypt_r(password_.c_str(), "$6$klvinterop$", &data);
    if (hash == nullptr || hash[0] == '*') {
        throw std::runtime_error("crypt_r cannot hash the test password");
    }
    return hash;
}

void RealFtpServer::StartAtFreePort(
    const std::function<ServerProcessOptions(unsigned port)>& options) {
    std::string failures;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        const unsigned port = FreePort(host_);
        process_ = std::make_unique<ServerProcess>(options(port));
        if (WaitUntilListening(*process_, host_, port, kStartupBound)) {
            port_ = port;
            return;
        }
        failures += Joined({"\n--- ", NameOf(kind_), " at ", host_, ":", std::to_string(port),
                            " did not start; its log:\n", process_->LogTail()});
        process_.reset();
    }
    throw std::runtime_error(failures);
}

// vsftpd authenticates local users through PAM, so the user has to be in /etc/passwd.
// Only the server sees such a passwd: a copy of the system's with the user added (the
// hash in the password field, which pam_unix takes when there is no "x"), bound over
// /etc/passwd in the server's private mount namespace.
void RealFtpServer::StartVsftpd() {
    host_ = "127.0.0.2";
    const fs::path passwd = scratch_ / "passwd";
    const std::string id = std::to_string(kUserId);
    WriteText(passwd,
              Joined({ReadText("/etc/passwd"), user_, ":", PasswordHash(), ":", id, ":", id,
                      ":klv interop:", home_.string(), ":/bin/sh\n"}),
              0644);
    // vsftpd runs its unprivileged parts chrooted here: empty, owned by root.
    const fs::path empty = scratch_ / "empty";
    fs::create_directories(empty);
    const fs::path config = scratch_ / "vsftpd.conf";
    StartAtFreePort([&](unsigned port) {
        const Settings settings = {
            {"listen", "YES"},
            {"listen_ipv6", "NO"},
            {"listen_address", host_},
            {"listen_port", std::to_string(port)},
            {"background", "NO"},
            {"anonymous_enable", "NO"},
            {"local_enable", "YES"},
            {"write_enable", "YES"},
            {"local_umask", "022"},
            {"chmod_enable", "YES"},
            {"local_root", home_.string()},
            {"secure_chroot_dir", empty.string()},
            {"pam_service_name", "vsftpd"},
            {"seccomp_sandbox", "NO"},
            {"xferlog_enable", "NO"},
            {"idle_session_timeout", "120"},
            {"data_connection_timeout", "60"},
        };
        WriteText(config, ConfigText(settings, "="), 0600);
        ServerProcessOptions options;
        options.argv = {kVsftpd, config.string()};
        options.logFile = scratch_ / "server.log";
        options.bindMounts = {{passwd, "/etc/passwd"}};
        return options;
    });
}

// proftpd takes its users from an AuthUserFile of its own: nothing of the system's.
void RealFtpServer::StartProftpd() {
    host_ = "127.0.0.3";
    const fs::path binary = UnpackedServersRoot() / "usr/sbin/proftpd";
    const fs::path users = scratch_ / "ftpd.passwd";
    const fs::path groups = scratch_ / "ftpd.group";
    const std::string id = std::to_string(kUserId);
    WriteText(
        users,
        Joined({user_, ":", PasswordHash(), ":", id, ":", id, "::", home_.string(), ":/bin/sh\n"}),
        0600);
    WriteText(groups, Joined({"klv:x:", id, ":", user_, "\n"}), 0600);
    const fs::path config = scratch_ / "proftpd.conf";
    StartAtFreePort([&](unsigned port) {
        const Settings settings = {
            {"ServerName", "\"klv interop\""},
            {"ServerType", "standalone"},
            {"UseIPv6", "off"},
            {"DefaultAddress", host_},
            {"SocketBindTight", "on"},
            {"Port", std::to_string(port)},
            {"User", "nobody"},
            {"Group", "nogroup"},
            {"PidFile", (scratch_ / "proftpd.pid").string()},
            {"ScoreboardFile", (scratch_ / "proftpd.scoreboard").string()},
            {"ControlsEngine", "off"},
            {"ControlsSocket", (scratch_ / "proftpd.sock").string()},
            {"DelayTable", "none"},
            {"WtmpLog", "off"},
            {"TransferLog", "none"},
            {"UseReverseDNS", "off"},
            {"AuthOrder", "mod_auth_file.c"},
            {"AuthUserFile", users.string()},
            {"AuthGroupFile", groups.string()},
            {"RequireValidShell", "off"},
            {"AllowOverwrite", "on"},
            {"Umask", "022"},
            {"TimeoutIdle", "120"},
            {"MaxInstances", "20"},
        };
        WriteText(config, ConfigText(settings, " "), 0600);
        ServerProcessOptions options;
        options.argv = {binary.string(), "--nodaemon", "--config", config.string()};
        options.logFile = scratch_ / "server.log";
        return options;
    });
}

// pure-ftpd takes its users from a PureDB file that pure-pw builds from a passwd-like list.
void RealFtpServer::StartPureFtpd() {
    host_ = "127.0.0.4";
    const fs::path binary = UnpackedServersRoot() / "usr/sbin/pure-ftpd";
    const fs::path purePw = UnpackedServersRoot() / "usr/bin/pure-pw";
    const fs::path users = scratch_ / "pureftpd.passwd";
    const fs::path database = scratch_ / "pureftpd.pdb";
    const std::string id = std::to_string(kUserId);
    WriteText(users,
              Joined({user_, ":", PasswordHash(), ":", id, ":", id, "::", home_.string(),
                      "::::::::::::\n"}),
              0600);
    if (::access(purePw.c_str(), X_OK) != 0) {
        throw std::runtime_error(Joined(
            {"no executable ", purePw.string(), " (scripts/fetch-ftp-servers.sh unpacks it)"}));
    }
    if (RunToCompletion({purePw.string(), "mkdb", database.string(), "-f", users.string()},
                        scratch_ / "pure-pw.log", kStartupBound) != 0) {
        throw std::runtime_error(
            Joined({"pure-pw mkdb failed: ", ReadText(scratch_ / "pure-pw.log")}));
    }
    const fs::path run = scratch_ / "run";
    fs::create_directories(run);
    StartAtFreePort([&](unsigned port) {
        ServerProcessOptions options;
        options.argv = {binary.string(),
                        "--bind",
                        Joined({host_, ",", std::to_string(port)}),
                        "--login",
                        Joined({"puredb:", database.string()}),
                        "--noanonymous",
                        "--dontresolve",
                        "--ipv4only",
                        "--maxidletime",
                        "2"};  // minutes
        options.logFile = scratch_ / "server.log";
        // pure-ftpd keeps a file per session in /run/pure-ftpd (for pure-ftpwho), with no
        // option to put it elsewhere; this /run is the server's own.
        options.bindMounts = {{run, "/run"}};
        return options;
    });
}

}  // namespace klv::testing
