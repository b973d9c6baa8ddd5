// What the user is shown about a server certificate that did not verify, and how the
// client asks whether to trust it anyway. No OpenSSL here: the window's side sees only
// these values.
#pragma once

#include <functional>
#include <string>

namespace klv::ftp {

struct CertificateInfo {
    std::string host;  // the host text the connection was made for ("name" or "name:port")
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string sha256Fingerprint;  // "AB:CD:..." over the DER encoding
    std::string reason;             // why it did not verify
    bool changed = false;           // another certificate was trusted for this host before
    // This host presented a certificate that verified before (changed is set too).
    bool verifiedBefore = false;
};

// True: trust this certificate for this host; false: cancel the logon.
using TrustQuestion = std::function<bool(const CertificateInfo&)>;

// How LogOn secures the control connection (logon type 0 only; gateways stay as they are).
struct TlsOptions {
    bool attempt = false;  // send "AUTH TLS" after the greeting
    // The host completed a TLS handshake before: a refusal or a failed handshake ends the
    // logon instead of going on in clear text.
    bool required = false;
    std::string trustedFingerprint{};  // accepted without asking, though it does not verify
    TrustQuestion askTrust{};          // unset: a certificate that does not verify is refused
    // Implicit TLS (ftps://): the handshake right after the connect, before the greeting;
    // there is no clear text to fall back to. Needs no `attempt`.
    bool implicit = false;
    // Asked once connected, with the address reached ("192.0.2.7", "2001:db8::1"): true
    // when a TLS handshake was made with that address before, which makes TLS required
    // as `required` does.
    std::function<bool(const std::string& address)> spokeTlsAt{};
    // Told as soon as a handshake completes, before the certificate is judged or anything
    // is sent through it: the address reached, and whether the certificate verified.
    std::function<void(const std::string& address, bool verified)> onHandshake{};
    // The host presented a certificate that verified before: one that does not is asked
    // about as a change.
    bool verifiedBefore = false;
};

}  // namespace klv::ftp
