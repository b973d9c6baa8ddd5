// What the program remembers about FTP hosts between runs: the certificate the user
// chose to trust for a host, the hosts that completed a TLS handshake (which are never
// again spoken to in clear text), and those whose certificate verified (whose next one
// that does not is asked about as a change). The program keeps them in its settings; tests and a
// program without settings use the in-memory store.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace klv {

class TrustStore {
public:
    virtual ~TrustStore() = default;
    // Hosts are named by their HostKey (installer/server_address.h).
    [[nodiscard]] virtual std::string TrustedFingerprint(std::string_view host) const = 0;
    virtual void TrustFingerprint(std::string_view host, std::string_view fingerprint) = 0;
    [[nodiscard]] virtual bool SpokeTls(std::string_view host) const = 0;
    virtual void RememberSpokeTls(std::string_view host) = 0;
    [[nodiscard]] virtual bool VerifiedBefore(std::string_view host) const = 0;
    virtual void RememberVerified(std::string_view host) = 0;
};

class MemoryTrustStore final : public TrustStore {
public:
    [[nodiscard]] std::string TrustedFingerprint(std::string_view host) const override {
        const auto found = fingerprints_.find(std::string(host));
        return found == fingerprints_.end() ? std::string() : found->second;
    }
    void TrustFingerprint(std::string_view host, std::string_view fingerprint) override {
        fingerprints_[std::string(host)] = std::string(fingerprint);
    }
    [[nodiscard]] bool SpokeTls(std::string_view host) const override {
        return tlsHosts_.count(std::string(host)) != 0;
    }
    void RememberSpokeTls(std::string_view host) override { tlsHosts_.emplace(host); }
    [[nodiscard]] bool VerifiedBefore(std::string_view host) const override {
        return verifiedHosts_.count(std::string(host)) != 0;
    }
    void RememberVerified(std::string_view host) override { verifiedHosts_.emplace(host); }

private:
    std::map<std::string, std::string> fingerprints_;
    std::set<std::string> tlsHosts_;
    std::set<std::string> verifiedHosts_;
};

}  // namespace klv
