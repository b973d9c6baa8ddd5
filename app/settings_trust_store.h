// The trust store kept in the program's settings (app/program_settings.h):
// trusted certificate fingerprints per FTP host and the hosts that spoke TLS.
#pragma once

#include "installer/trust_store.h"

namespace klv::app {

class SettingsTrustStore final : public TrustStore {
public:
    [[nodiscard]] std::string TrustedFingerprint(std::string_view host) const override;
    void TrustFingerprint(std::string_view host, std::string_view fingerprint) override;
    [[nodiscard]] bool SpokeTls(std::string_view host) const override;
    void RememberSpokeTls(std::string_view host) override;
};

}  // namespace klv::app
