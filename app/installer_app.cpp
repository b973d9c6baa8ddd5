#include "app/installer_app.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "app/installer_dialog.h"
#include "app/settings_trust_store.h"
#include "app/ui_support.h"
#include "installer/run_directory.h"
#include "installer/upload_record.h"
#include "installer/workflows.h"
#include "klv/build_config.h"

namespace klv::app {

InstallerApp::InstallerApp(char* programName, Config config)
    : config_(std::move(config)), argv_{programName, nullptr}, application_(argc_, argv_.data()) {
    QApplication::setApplicationName(FromUtf8(kApplicationTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(build::kVersion));
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("klv"));
}

int InstallerApp::Run() {
    if (!InitializeNetworking()) {
        ShowWarningBox(nullptr, QStringLiteral("Could not initialize Windows Sockets!"));
        return EXIT_FAILURE;
    }
    std::string failure;
    const std::optional<RunDirectory> workingDirectory = RunDirectory::Make(failure);
    if (!workingDirectory) {
        ShowWarningBox(nullptr, FromUtf8("Could not make a private folder for the working files (" +
                                         failure + ")."));
        return EXIT_FAILURE;
    }
    shared_.trustStore = std::make_unique<SettingsTrustStore>();
    shared_.stateDirectory = UploadRecordDirectory();
    InstallerDialog dialog(shared_, config_, workingDirectory->path());
    dialog.exec();
    return EXIT_SUCCESS;
}

}  // namespace klv::app
