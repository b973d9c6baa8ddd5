// The status line as a screen reader meets it.
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <gtest/gtest.h>

#include <QAccessible>

#include "app/installer_dialog.h"

namespace klv::app {
namespace {

std::vector<QObject*> nameChanges;

TEST(StatusLine, ScreenReadersHearTheTextAndEveryChangeOfIt) {
    SharedState shared;
    const Config config;
    InstallerDialog dialog{shared, config, "/nonexistent"};  // nothing is written
    QLabel& label = dialog.Status().label();
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&label);
    // As when a screen reader has registered: only then does Qt pass events on.
    QPlatformAccessibility* platform =
        QGuiApplicationPrivate::platformIntegration()->accessibility();
    platform->setActive(true);
    QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        if (event->type() == QAccessible::NameChanged) {
            nameChanges.push_back(event->object());
        }
    });
    EXPECT_EQ(accessible->text(QAccessible::Name),
              QStringLiteral("Enter Field Data Then Install!"));
    for (const char* text : {"Reading KLV Docs", ""}) {
        dialog.SetStatusLine(text);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(text));
        EXPECT_EQ(accessible->text(QAccessible::Description), QStringLiteral("Status"));
    }
    QAccessible::installUpdateHandler(nullptr);
    platform->setActive(false);
    EXPECT_EQ(nameChanges, std::vector<QObject*>(2, &label));
}

}  // namespace
}  // namespace klv::app
