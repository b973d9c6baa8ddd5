#include "app/about_dialog.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace klv::app {
namespace {

QPushButton* OkButton(AboutDialog& about) {
    const QList<QPushButton*> buttons = about.findChildren<QPushButton*>();
    return buttons.size() == 1 ? buttons.front() : nullptr;
}

TEST(AboutDialog, ShowsTheIconAndTheVersion) {
    AboutDialog about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About KLV"));
    int versions = 0;
    int icons = 0;
    for (const QLabel* label : about.findChildren<QLabel*>()) {
        versions += label->text() == QStringLiteral("KLV Version 1.0") ? 1 : 0;
        icons += label->pixmap().isNull() ? 0 : 1;
    }
    EXPECT_EQ(versions, 1);
    EXPECT_EQ(icons, 1);
}

TEST(AboutDialog, HasAFixedSizeFromItsTemplate) {
    AboutDialog about;
    const QFontMetrics metrics(about.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = metrics.height();
    EXPECT_EQ(about.size(), QSize((235 * baseX + 2) / 4, (55 * baseY + 4) / 8));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    QPushButton* ok = OkButton(about);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->geometry(), QRect((178 * baseX + 2) / 4, (7 * baseY + 4) / 8,
                                    (50 * baseX + 2) / 4, (14 * baseY + 4) / 8));
}

TEST(AboutDialog, EnterPressesTheDefaultOkButton) {
    AboutDialog about;
    about.show();
    QPushButton* ok = OkButton(about);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    QTest::keyClick(&about, Qt::Key_Return);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(AboutDialog, EscapeClosesIt) {
    AboutDialog about;
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace klv::app
