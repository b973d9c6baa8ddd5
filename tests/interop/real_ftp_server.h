// RealFtpServer: one of four real FTP servers from Debian, started for one test on a
// loopback address of its own, with a user whose logon lands in a fresh home directory.
//
//   vsftpd     /usr/sbin/vsftpd (installed by apt)      127.0.0.2
//   proftpd    unpacked by scripts/fetch-ftp-servers.sh  127.0.0.3
//   pure-ftpd  unpacked by scripts/fetch-ftp-servers.sh  127.0.0.4
//   pyftpdlib  /usr/bin/python3 (PyFtpServer)            127.0.0.1
//
// Each writes its own configuration into a scratch directory, runs as root (switching to
// the test user's uid for a session, as on a web host) and is killed, with every session
// process, when the object goes away; it also stops by itself when the test process dies
// or after a few minutes. A server that cannot be found or started throws: a missing
// binary fails the test, it is never skipped.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tests/interop/server_process.h"
#include "tests/support/ftp/pyftpd.h"

namespace klv::testing {

enum class FtpServerKind { Vsftpd, Proftpd, PureFtpd, Pyftpdlib };

std::string_view NameOf(FtpServerKind kind);

class RealFtpServer {
public:
    explicit RealFtpServer(FtpServerKind kind);
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    [[nodiscard]] FtpServerKind kind() const { return kind_; }
    [[nodiscard]] const std::string& host() const { return host_; }
    [[nodiscard]] unsigned port() const { return port_; }
    // The directory the logon lands in; it holds www/cgi-bin and www/klv.
    [[nodiscard]] const std::filesystem::path& home() const { return home_; }
    [[nodiscard]] const std::string& user() const { return user_; }
    [[nodiscard]] const std::string& password() const { return password_; }

    // Writes `bytes` to home()/`relative`, owned by the server's user, mode 0644.
    void PutFile(const std::string& relative, const std::string& bytes) const;

    // The uid a session of this server runs as (the owner of what it stores).
    static constexpr unsigned kUserId = 64010;

private:
    void StartVsftpd();
    void StartProftpd();
    void StartPureFtpd();
    // Starts `options` on host_ at a free port, trying another port if one was taken.
    void StartAtFreePort(const std::function<ServerProcessOptions(unsigned port)>& options);
    void MakeHome();
    void WriteText(const std::filesystem::path& path, const std::string& text, unsigned mode) const;
    [[nodiscard]] std::string PasswordHash() const;

    FtpServerKind kind_;
    std::string host_;
    unsigned port_ = 0;
    std::string user_ = "webmaster";
    std::string password_ = "s3cret";
    std::filesystem::path scratch_;
    std::filesystem::path home_;
    std::unique_ptr<ServerProcess> process_;
    std::unique_ptr<PyFtpServer> pyftpd_;
};

// Where scripts/fetch-ftp-servers.sh unpacked proftpd and pure-ftpd.
std::filesystem::path UnpackedServersRoot();

}  // namespace klv::testing
