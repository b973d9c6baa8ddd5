// The program's settings: one file, klv/klv.conf under $XDG_CONFIG_HOME (~/.config when
// it is not set), holding the remembered form values and the trusted certificates.
#pragma once

#include <QSettings>
#include <QStandardPaths>

namespace klv::app {

// Opened anew on each call, at the place XDG_CONFIG_HOME names now.
inline QSettings ProgramSettings() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/klv/klv.conf"),
                     QSettings::IniFormat);
}

}  // namespace klv::app
