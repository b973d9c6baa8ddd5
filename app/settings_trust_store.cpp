#include "app/settings_trust_store.h"

#include <QUrl>

#include "app/program_settings.h"
#include "installer/server_address.h"

namespace klv::app {

namespace {

constexpr const char* kGroups[] = {"TrustedCertificates", "TlsHosts", "VerifiedHosts"};

// A host as one settings key: "/" would open a group, so the name is percent-encoded.
QString Key(const char* group, std::string_view host) {
    return QString::fromLatin1(group) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(
               QString::fromUtf8(host.data(), static_cast<qsizetype>(host.size()))));
}

// Moves every entry of `settings` stored under a host as it was typed (before HostKey) to
// its HostKey. An entry already there wins over a moved one.
void Rekey(QSettings& settings) {
    bool moved = false;
    for (const char* group : kGroups) {
        settings.beginGroup(QString::fromLatin1(group));
        const QStringList keys = settings.childKeys();
        settings.endGroup();
        for (const QString& key : keys) {
            const std::string stored =
                QUrl::fromPercentEncoding(key.toLatin1()).toUtf8().toStdString();
            const std::string rekeyed = RekeyStoredHost(stored);
            if (rekeyed == stored) {
                continue;
            }
            const QString from = QString::fromLatin1(group) + QLatin1Char('/') + key;
            const QString to = Key(group, rekeyed);
            if (!settings.contains(to)) {
                settings.setValue(to, settings.value(from));
            }
            settings.remove(from);
            moved = true;
        }
    }
    if (moved) {
        WritePrivately(settings);
    }
}

// The value stored for `host` in `group`, once the settings are rekeyed.
QVariant Read(const char* group, std::string_view host) {
    QSettings settings = ProgramSettings();
    Rekey(settings);
    return settings.value(Key(group, host));
}

void Write(const char* group, std::string_view host, const QVariant& value) {
    QSettings settings = ProgramSettings();
    Rekey(settings);
    settings.setValue(Key(group, host), value);
    WritePrivately(settings);
}

}  // namespace

std::string SettingsTrustStore::TrustedFingerprint(std::string_view host) const {
    return Read("TrustedCertificates", host).toString().toStdString();
}

void SettingsTrustStore::TrustFingerprint(std::string_view host, std::string_view fingerprint) {
    Write("TrustedCertificates", host,
          QString::fromLatin1(fingerprint.data(), static_cast<qsizetype>(fingerprint.size())));
}

bool SettingsTrustStore::SpokeTls(std::string_view host) const {
    return Read("TlsHosts", host).toBool();
}

void SettingsTrustStore::RememberSpokeTls(std::string_view host) {
    Write("TlsHosts", host, true);
}

bool SettingsTrustStore::VerifiedBefore(std::string_view host) const {
    return Read("VerifiedHosts", host).toBool();
}

void SettingsTrustStore::RememberVerified(std::string_view host) {
    Write("VerifiedHosts", host, true);
}

}  // namespace klv::app
