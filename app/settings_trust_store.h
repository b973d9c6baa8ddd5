// The trust store kept in the program's settings (app/program_settings.h):
// trusted certificate fingerprints per FTP host, the hosts that spoke TLS and those whose
// certificate verified. Entries stored before hosts were named by their HostKey (under the
// host as typed) are moved to their HostKey whenever the store is read or written.
#pragma once

#include "installer/trust_store.h"

namespace klv::app {

class SettingsTrustStore final : public TrustStore {
public:
    [[nodiscard]] std::string TrustedFingerprint(std::string_view host) const override;
    void TrustFingerprint(std::string_view host, std::string_view fingerprint) override;
    [[nodiscard]] bool SpokeTls(std::string_view host) const override;
    void RememberSpokeTls(std::string_view host) override;
    [[nodiscard]] bool VerifiedBefore(std::string_view host) const override;
    void RememberVerified(std::string_view host) override;
};

}  // namespace klv::app
