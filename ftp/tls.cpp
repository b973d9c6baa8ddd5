#include "ftp/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ftp/socket_layer.h"

namespace klv::ftp::tls {

namespace {

using UniqueBio = CHandle<BIO, BIO_free>;
using UniqueX509 = CHandle<X509, X509_free>;

// An IPv4 or IPv6 address: checked against the certificate's IP addresses, and never
// sent as SNI (RFC 6066 §3).
bool IsAddress(const std::string& host) {
    in6_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string NameText(const X509_NAME* name) {
    const UniqueBio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* time) {
    const UniqueBio bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), time) != 1) {
        return {};
    }
    return BioText(bio.get());
}

std::string Fingerprint(X509* certificate) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) {
        return {};
    }
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        std::array<char, 4> byte{};
        std::snprintf(byte.data(), byte.size(), i == 0 ? "%02X" : ":%02X", digest[i]);
        text += byte.data();
    }
    return text;
}

std::string PeerFingerprint(SSL* ssl) {
    const UniqueX509 certificate(SSL_get1_peer_certificate(ssl));
    return certificate ? Fingerprint(certificate.get()) : std::string();
}

// How one OpenSSL call ended: its result, SSL_get_error's verdict, and errno as the
// call (or the wait that ended it) left it.
struct Outcome {
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    int sysError = 0;
    [[nodiscard]] bool ok() const { return result > 0; }
};

// Runs one OpenSSL call on a non-blocking socket to its end: whenever it wants to read
// or write, WaitFor waits for the socket until `deadline` (or Cancel) and the call is
// made again with the same arguments, as OpenSSL requires.
template <typename Call>
Outcome Drive(SSL* ssl, Deadline deadline, Call call) {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        Outcome outcome;
        outcome.result = call();
        if (outcome.ok()) {
            return outcome;
        }
        outcome.sslError = SSL_get_error(ssl, outcome.result);
        outcome.sysError = errno;
        short events = 0;
        if (outcome.sslError == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (outcome.sslError == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else if (outcome.sslError == SSL_ERROR_SYSCALL && outcome.sysError == EINTR) {
            continue;
        } else {
            return outcome;
        }
        if (WaitFor(SSL_get_fd(ssl), events, deadline) != WaitOutcome::Ready) {
            outcome.sysError = errno;  // ETIMEDOUT or ECANCELED
            return outcome;
        }
    }
}

// Why a driven OpenSSL call failed, for the user.
std::string FailureText(const Outcome& outcome) {
    const unsigned long queued = ERR_peek_last_error();
    if (queued != 0) {
        std::array<char, 256> text{};
        ERR_error_string_n(queued, text.data(), text.size());
        ERR_clear_error();
        return text.data();
    }
    const bool waiting =
        outcome.sslError == SSL_ERROR_WANT_READ || outcome.sslError == SSL_ERROR_WANT_WRITE;
    if (waiting && outcome.sysError == ETIMEDOUT) {
        return "no answer within the idle bound";
    }
    if ((waiting || outcome.sslError == SSL_ERROR_SYSCALL) && outcome.sysError != 0) {
        return std::strerror(outcome.sysError);
    }
    return "the server closed the connection";
}

}  // namespace

std::unique_ptr<ControlTls> ControlTls::Create() {
    // OpenSSL writes to sockets with write(): a server that has gone must not end the
    // process with SIGPIPE.
    (void)InitializeSocketLayer();
    auto tls = std::make_unique<ControlTls>(Private{});
    tls->context_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = tls->context_.get();
    if (context == nullptr || SSL_CTX_set_default_verify_paths(context) != 1 ||
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        return nullptr;
    }
    // Sessions reach us only through the callback; OpenSSL keeps no cache of its own.
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, &ControlTls::OnNewSession);
    SSL_CTX_set_app_data(context, tls.get());
    return tls;
}

ControlTls::~ControlTls() = default;

int ControlTls::OnNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<ControlTls*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (self == nullptr || SSL_SESSION_is_resumable(session) != 1) {
        return 0;  // OpenSSL keeps its reference
    }
    // With TLS 1.3 a ticket may be good for one resumption only: always the newest.
    self->newest_.reset(session);
    return 1;  // the reference is ours now
}

UniqueSsl ControlTls::NewSsl(int fd) const {
    UniqueSsl ssl(SSL_new(context_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
        return nullptr;
    }
    // The decision is made after the handshake, by PeerVerified and the user.
    SSL_set_verify(ssl.get(), SSL_VERIFY_NONE, nullptr);
    if (!IsAddress(hostName_)) {
        (void)SSL_set_tlsext_host_name(ssl.get(), hostName_.c_str());
    }
    return ssl;
}

bool ControlTls::Handshake(int fd, const std::string& hostName, Deadline deadline,
                           std::string& error) {
    // "host." is the same host to the resolver, but neither SNI nor a certificate names it so.
    hostName_ = hostName.size() > 1 && hostName.back() == '.'
                    ? hostName.substr(0, hostName.size() - 1)
                    : hostName;
    ssl_ = NewSsl(fd);
    const bool checked =
        ssl_ && (IsAddress(hostName_)
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), hostName_.c_str())
                     : SSL_set1_host(ssl_.get(), hostName_.c_str())) == 1;
    if (!checked) {
        error = "Unable to set up TLS";
        return false;
    }
    // A control connection that ends without close_notify has still ended: nothing is
    // lost that a reply would not report.
    SSL_set_options(ssl_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    const Outcome connected = Drive(ssl_.get(), deadline, [&] { return SSL_connect(ssl_.get()); });
    if (!connected.ok()) {
        error = "TLS handshake failed: " + FailureText(connected);
        return false;
    }
    fingerprint_ = PeerFingerprint(ssl_.get());
    const int group = SSL_get_negotiated_group(ssl_.get());
    group_ = (group & TLSEXT_nid_unknown) == 0 ? group : 0;  // one OpenSSL cannot name back
    if (fingerprint_.empty()) {
        error = "TLS handshake failed: the server presented no certificate";
        return false;
    }
    return true;
}

bool ControlTls::PeerVerified(CertificateInfo& info) const {
    const UniqueX509 certificate(SSL_get1_peer_certificate(ssl_.get()));
    if (!certificate) {
        return false;
    }
    info.subject = NameText(X509_get_subject_name(certificate.get()));
    info.issuer = NameText(X509_get_issuer_name(certificate.get()));
    info.notBefore = TimeText(X509_get0_notBefore(certificate.get()));
    info.notAfter = TimeText(X509_get0_notAfter(certificate.get()));
    info.sha256Fingerprint = fingerprint_;
    const long result = SSL_get_verify_result(ssl_.get());
    info.reason = X509_verify_cert_error_string(result);
    // Verification stops at the first fault; the user should also learn of a wrong name.
    const bool nameMatches = IsAddress(hostName_)
                                 ? X509_check_ip_asc(certificate.get(), hostName_.c_str(), 0) == 1
                                 : X509_check_host(certificate.get(), hostName_.c_str(),
                                                   hostName_.size(), 0, nullptr) == 1;
    if (result != X509_V_ERR_HOSTNAME_MISMATCH && result != X509_V_ERR_IP_ADDRESS_MISMATCH &&
        !nameMatches) {
        info.reason += "; it was issued for another host name than " + hostName_;
    }
    return result == X509_V_OK;
}

UniqueSsl ControlTls::OpenData(int fd, Deadline deadline, std::string& error) {
    UniqueSsl ssl = NewSsl(fd);
    // OpenSSL retires a TLS 1.3 session on the client once it has been resumed. A server
    // that issues no new ticket on a data connection (proftpd 1.3.8) then sees the next
    // data connection start afresh and refuses it; a copy keeps the newest one usable.
    const UniqueSession copy(newest_ ? SSL_SESSION_dup(newest_.get()) : nullptr);
    // A server that takes fewer key exchange groups than we offer (vsftpd takes P-256
    // alone) answers a key share for another with a HelloRetryRequest: a round trip more
    // on every data connection, unless each one offers just the group the server took
    // on the control connection.
    if (!ssl || (copy && SSL_set_session(ssl.get(), copy.get()) != 1) ||
        (group_ > 0 && SSL_set1_groups(ssl.get(), &group_, 1) != 1)) {
        error = "Unable to set up TLS";
        return nullptr;
    }
    const Outcome connected = Drive(ssl.get(), deadline, [&] { return SSL_connect(ssl.get()); });
    if (!connected.ok()) {
        error = "TLS handshake failed on the data connection: " + FailureText(connected);
        return nullptr;
    }
    // The data connection must come from the server the user accepted.
    if (PeerFingerprint(ssl.get()) != fingerprint_) {
        error = "The data connection presented another certificate than the control connection";
        return nullptr;
    }
    return ssl;
}

long Read(SSL* ssl, char* buffer, std::size_t size, Deadline deadline) {
    std::size_t got = 0;
    const Outcome read = Drive(ssl, deadline, [&] { return SSL_read_ex(ssl, buffer, size, &got); });
    ERR_clear_error();
    if (read.ok()) {
        return static_cast<long>(got);
    }
    errno = read.sysError;
    return read.sslError == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

long Write(SSL* ssl, const char* data, std::size_t size, Deadline deadline) {
    std::size_t written = 0;
    const Outcome wrote =
        Drive(ssl, deadline, [&] { return SSL_write_ex(ssl, data, size, &written); });
    ERR_clear_error();
    errno = wrote.sysError;
    return wrote.ok() ? static_cast<long>(written) : -1;
}

void SendCloseNotify(SSL* ssl, Deadline deadline) {
    // 0 once close_notify is out: the peer's is not waited for.
    (void)Drive(ssl, deadline, [&] { return SSL_shutdown(ssl); });
    ERR_clear_error();
}

}  // namespace klv::ftp::tls
