// The status line as a screen reader meets it, and the working directory's end.
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/installer_dialog.h"
#include "installer/workflows.h"
#include "tests/app/url_recorder.h"

namespace klv::app {
namespace {

std::vector<QObject*> nameChanges;

void RecordNameChange(QAccessibleEvent* event) {
    if (event->type() == QAccessible::NameChanged) {
        nameChanges.push_back(event->object());
    }
}

class StatusLineTest : public ::testing::Test {
protected:
    testing::UrlRecorder browser;
    SharedState shared;
    Config config{"http://127.0.0.1:9", "http://127.0.0.1:9/", 9};
    QTemporaryDir directory;
    InstallerDialog dialog{shared, config, directory.path().toStdString()};
};

TEST_F(StatusLineTest, ScreenReadersHearTheTextAndEveryChangeOfIt) {
    QLabel& label = dialog.Status().label();
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&label);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Name),
              QStringLiteral("Enter Field Data Then Install!"));
    EXPECT_EQ(accessible->text(QAccessible::Description), QStringLiteral("Status"));

    // As when a screen reader has registered: only then does Qt pass events on.
    QPlatformAccessibility* platform =
        QGuiApplicationPrivate::platformIntegration()->accessibility();
    ASSERT_NE(platform, nullptr);
    platform->setActive(true);
    QAccessible::installUpdateHandler(&RecordNameChange);
    nameChanges.clear();
    for (const char* text : {"Reading KLV Docs", "Update Pages Is Now Complete!", ""}) {
        if (*text == 'R') {
            dialog.Button(Control::ReadDocs)->click();  // as the user starts it
        } else {
            dialog.SetStatusLine(text);
        }
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(text));
        EXPECT_EQ(accessible->text(QAccessible::Description), QStringLiteral("Status"));
    }
    QAccessible::installUpdateHandler(nullptr);
    platform->setActive(false);
    EXPECT_EQ(nameChanges, std::vector<QObject*>(3, &label));
}

TEST_F(StatusLineTest, ClosingTheWindowRemovesTheWorkingFilesAndTheirDirectory) {
    const std::filesystem::path path = directory.path().toStdString();
    for (std::string_view name : kWorkingFiles) {
        std::ofstream(path / name) << "x";
    }
    dialog.reject();
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace klv::app
