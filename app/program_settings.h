// The program's settings: one file, klv/klv.conf under $XDG_CONFIG_HOME (~/.config when
// it is not set), holding the remembered form values and the trusted certificates. It
// names the user's FTP account, server and certificate pins: only its user may read it.
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

// Writes what was changed through `settings` (from ProgramSettings) now, its directory
// mode 0700 and the file 0600 whatever they were before. A failure to write costs
// nothing but the memory of the values.
void WritePrivately(QSettings& settings);

}  // namespace klv::app
