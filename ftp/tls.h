// Explicit FTP over TLS (RFC 4217) on OpenSSL 3: one owner per OpenSSL object and the
// few operations the control and data connections need.
//
// Reading list: RFC 4217 §4 (AUTH TLS, 234), §9 (PBSZ 0, PROT P), §10.2 (data
// connections resume the control connection's session); curl's lib/vtls/openssl.c for
// the session handling. Lessons other clients learned with TLS 1.3:
//  - a session is not resumable right after the handshake: the server's tickets arrive
//    later, so sessions are taken from the new-session callback and the newest one is
//    resumed (curl 7.63, php-src #12851);
//  - an upload ends with close_notify and a short drain (FtpClient does it), or an unread
//    ticket turns the close into a reset and the server drops the file's tail (curl
//    #6149, proftpd #959).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "base/c_handle.h"
#include "base/wait.h"
#include "ftp/certificate.h"

namespace klv::ftp::tls {

using UniqueCtx = CHandle<SSL_CTX, SSL_CTX_free>;
using UniqueSsl = CHandle<SSL, SSL_free>;
using UniqueSession = CHandle<SSL_SESSION, SSL_SESSION_free>;

// The TLS of one control connection: the context its data connections share, its own
// SSL, the newest session the server issued, and the certificate it presented. Neither
// copied nor moved: OpenSSL's new-session callback finds it by address.
class ControlTls {
public:
    // A client context: the system's trusted authorities, TLS 1.2 or later, no ALPN.
    // Null when OpenSSL cannot make one.
    [[nodiscard]] static std::unique_ptr<ControlTls> Create();

    struct Private {};  // only Create() makes one: the callback needs its final address
    explicit ControlTls(Private /*unused*/) {}
    ~ControlTls();
    ControlTls(const ControlTls&) = delete;
    ControlTls& operator=(const ControlTls&) = delete;

    // The handshake on the connected non-blocking socket `fd` for `hostName` (sent as
    // SNI, and the name the certificate must carry), done by `deadline`. False with the
    // reason in `error`.
    [[nodiscard]] bool Handshake(int fd, const std::string& hostName, Deadline deadline,
                                 std::string& error);

    // True when the peer's certificate verified against the trusted authorities and the
    // host name. Fills `info` either way (all but `host` and `changed`).
    [[nodiscard]] bool PeerVerified(CertificateInfo& info) const;

    // A TLS client on the data connection `fd`, resuming the newest session and checked
    // to present the control connection's certificate. Null with the reason in `error`.
    [[nodiscard]] UniqueSsl OpenData(int fd, Deadline deadline, std::string& error);

    [[nodiscard]] SSL* ssl() const { return ssl_.get(); }
    [[nodiscard]] const std::string& fingerprint() const { return fingerprint_; }

private:
    static int OnNewSession(SSL* ssl, SSL_SESSION* session);
    [[nodiscard]] UniqueSsl NewSsl(int fd) const;

    UniqueCtx context_;
    UniqueSsl ssl_;
    UniqueSession newest_;
    std::string hostName_;
    std::string fingerprint_;
    int group_ = 0;  // the key exchange group of the control connection's handshake
};

// Every wait below is WaitFor's (base/wait.h) on the SSL's socket, until `deadline`.
// Up to `size` bytes: the count read, 0 at the end of the stream, -1 on failure (errno
// ETIMEDOUT when nothing came in time, ECANCELED after Cancel).
[[nodiscard]] long Read(SSL* ssl, char* buffer, std::size_t size, Deadline deadline);
// Writes all `size` bytes: `size`, or -1 on failure.
[[nodiscard]] long Write(SSL* ssl, const char* data, std::size_t size, Deadline deadline);
// Sends close_notify without waiting for the peer's.
void SendCloseNotify(SSL* ssl, Deadline deadline);

}  // namespace klv::ftp::tls
