#include "app/settings_trust_store.h"

#include <QUrl>

#include "app/program_settings.h"

namespace klv::app {

namespace {

// A host as one settings key: "/" would open a group, so the name is percent-encoded.
QString Key(const char* group, std::string_view host) {
    return QString::fromLatin1(group) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(
               QString::fromUtf8(host.data(), static_cast<qsizetype>(host.size()))));
}

}  // namespace

std::string SettingsTrustStore::TrustedFingerprint(std::string_view host) const {
    return ProgramSettings().value(Key("TrustedCertificates", host)).toString().toStdString();
}

void SettingsTrustStore::TrustFingerprint(std::string_view host, std::string_view fingerprint) {
    QSettings settings = ProgramSettings();
    settings.setValue(
        Key("TrustedCertificates", host),
        QString::fromLatin1(fingerprint.data(), static_cast<qsizetype>(fingerprint.size())));
    WritePrivately(settings);
}

bool SettingsTrustStore::SpokeTls(std::string_view host) const {
    return ProgramSettings().value(Key("TlsHosts", host), false).toBool();
}

void SettingsTrustStore::RememberSpokeTls(std::string_view host) {
    QSettings settings = ProgramSettings();
    settings.setValue(Key("TlsHosts", host), true);
    WritePrivately(settings);
}

}  // namespace klv::app
