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
};

// True: trust this certificate for this host; false: cancel the logon.
using TrustQuestion = std::function<bool(const CertificateInfo&)>;

// How LogOn secures the control connection (logon type 0 only; gateways stay as they are).
struct TlsOptions {
    bool attempt = false;  // send "AUTH TLS" after the greeting
    // The host completed a TLS logon before: a refusal or a failed handshake ends the
    // logon instead of going on in clear text.
    bool required = false;
    std::string trustedFingerprint;  // accepted without asking, though it does not verify
    TrustQuestion askTrust;          // unset: a certificate that does not verify is refused
};

}  // namespace klv::ftp
