// Real FTP servers that require TLS, for one test each, with certificates made for the
// run by openssl: "server" (issued by the run's own authority "ca" for 127.0.0.1 and
// 127.0.0.21) and "other" (self-signed, for other.example). Each server runs under
// ServerProcess, so it stops with the test however the test ends.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "tests/interop/server_process.h"

namespace klv::testing {

enum class TlsServerKind { Pyftpdlib, Vsftpd };

// The run's certificates: ca.crt, server.crt/.key, other.crt/.key; made on first use.
const std::filesystem::path& CertificateDirectory();

class TlsServer {
public:
    TlsServer(TlsServerKind kind, const std::string& certificate);
    [[nodiscard]] const std::string& host() const { return host_; }
    [[nodiscard]] unsigned port() const { return port_; }
    [[nodiscard]] std::string user() const {
        return kind_ == TlsServerKind::Vsftpd ? "klvtls" : "klv";
    }
    [[nodiscard]] const std::filesystem::path& home() const { return home_; }
    [[nodiscard]] std::string LogTail() const { return process_ ? process_->LogTail() : ""; }

private:
    TlsServerKind kind_;
    std::string host_;
    unsigned port_ = 0;
    std::filesystem::path scratch_;
    std::filesystem::path home_;
    std::unique_ptr<ServerProcess> process_;
};

// A logon with TLS for `server`; every certificate question is recorded in `asked` and
// answered with `answer`.
ftp::LogonRequest TlsLogon(const TlsServer& server, std::vector<ftp::CertificateInfo>& asked,
                           bool answer);

}  // namespace klv::testing
