#include "app/installer_dialog.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/about_dialog.h"
#include "installer/form.h"
#include "tests/app/url_recorder.h"

namespace klv::app {
namespace {

namespace fs = std::filesystem;

// What the window must show, written out here rather than taken from the program's
// tables, so that a wrong table is caught too.
struct ExpectedField {
    Control id;
    const char* label;
    const char* textAtStart;
};

const std::vector<ExpectedField> kExpectedFields{
    {Control::Username, "Username", ""},
    {Control::Password, "Password", ""},
    {Control::Server, "Server", ""},
    {Control::CgiPath, "CGI Path", "www/cgi-bin"},
    {Control::HttpCgiPath, "HTTP CGI Path", "http://www.example.com/cgi-bin"},
    {Control::BlogTitle, "Blog Title", "Welcome to our Blog!"},
    {Control::BlogPassword, "Blog Password", ""},
    {Control::MainEmail, "Main Email", ""},
    {Control::PayPalEmail, "PayPal Email", ""},
    {Control::StormPayEmail, "StormPay Email", ""},
    {Control::AdPricing, "AD Pricing", "5.00"},
    {Control::ClickBankNickName, "ClickBank NickName", "tamrixo"},
};

const std::vector<std::string> kWorkingFileNames{"klv.cgi", "klvcfg.cgi", "klv.txt", "temp.txt"};

std::set<std::string> FilesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

void Touch(const fs::path& path) {
    std::ofstream(path) << "x";
}

// Types `text` character by character, as a keyboard layout that has the characters
// would. (QTest::keyClicks knows only ASCII.)
void Type(QWidget& widget, const QString& text) {
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QApplication::sendEvent(&widget, &press);
        QApplication::sendEvent(&widget, &release);
    }
}

// Runs `handle` on the modal widget that the code under test is about to open, as
// soon as its event loop runs.
template <typename Widget>
void WhenModalOpens(std::function<void(Widget&)> handle) {
    QTimer::singleShot(0, [handle] {
        auto* widget = qobject_cast<Widget*>(QApplication::activeModalWidget());
        if (widget == nullptr) {
            ADD_FAILURE() << "no " << Widget::staticMetaObject.className() << " is open";
            return;
        }
        handle(*widget);
    });
}

class InstallerDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory.isValid()); }

    fs::path AppDirectory() const { return directory.path().toStdString(); }

    QLineEdit& FieldOf(Control id) {
        QLineEdit* field = dialog.Field(id);
        EXPECT_NE(field, nullptr);
        return *field;
    }

    void ShowAndActivate() {
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    }

    std::vector<std::string> AllFieldTexts() const {
        std::vector<std::string> texts;
        for (const ExpectedField& field : kExpectedFields) {
            texts.push_back(dialog.FieldText(field.id));
        }
        return texts;
    }

    testing::UrlRecorder browser;
    SharedState shared;
    // Nothing listens on the discard port of loopback: a workflow that tries the
    // network fails at once.
    Config config{"http://127.0.0.1:9", "http://127.0.0.1:9/", 9};
    QTemporaryDir directory;
    InstallerDialog dialog{shared, config, directory.path().toStdString()};
};

// ---- The fresh window ---------------------------------------------------------------

TEST_F(InstallerDialogTest, FreshWindowShowsTheDefaultsAndTheStatusText) {
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Kolvane Installer 1.0"));
    for (const ExpectedField& field : kExpectedFields) {
        EXPECT_EQ(FieldOf(field.id).text(), QString::fromUtf8(field.textAtStart)) << field.label;
        EXPECT_EQ(dialog.FieldText(field.id), field.textAtStart) << field.label;
    }
    EXPECT_EQ(dialog.Status().label().text(), QStringLiteral("Enter Field Data Then Install!"));
    EXPECT_EQ(dialog.Status().label().alignment(), Qt::AlignCenter);
    EXPECT_EQ(dialog.Status().frameShadow(), QFrame::Raised);
    EXPECT_EQ(dialog.Status().label().frameShadow(), QFrame::Sunken);
    EXPECT_EQ(dialog.Button(Control::ReadDocs)->text(), QStringLiteral("Read Docs"));
    EXPECT_EQ(dialog.Button(Control::InstallScript)->text(), QStringLiteral("Install Script"));
    EXPECT_EQ(dialog.Button(Control::UpdatePages)->text(), QStringLiteral("Update Pages"));
}

TEST_F(InstallerDialogTest, EveryLabelIsTheBuddyOfItsFieldAndNamesItForScreenReaders) {
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
    for (const ExpectedField& field : kExpectedFields) {
        QLineEdit& edit = FieldOf(field.id);
        const QString text = QString::fromUtf8(field.label);
        int found = 0;
        for (const QLabel* label : labels) {
            if (label->text() == text) {
                ++found;
                EXPECT_EQ(label->buddy(), &edit) << field.label;
                EXPECT_EQ(label->y(), edit.y()) << field.label;
                EXPECT_LT(label->x(), edit.x()) << field.label;
            }
        }
        EXPECT_EQ(found, 1) << field.label;

        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&edit);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), text);
        EXPECT_EQ(accessible->role(), QAccessible::EditableText);
    }
}

TEST_F(InstallerDialogTest, FocusChainRunsDownTheLeftColumnThenTheRightThenTheButtons) {
    std::vector<QWidget*> expected;
    for (const ExpectedField& field : kExpectedFields) {
        expected.push_back(&FieldOf(field.id));
    }
    for (Control id : {Control::ReadDocs, Control::InstallScript, Control::UpdatePages}) {
        expected.push_back(dialog.Button(id));
    }

    std::vector<QWidget*> chain;
    QWidget* widget = &FieldOf(Control::Username);
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isVisibleTo(&dialog) &&
            widget->isEnabled() && widget != &dialog) {
            chain.push_back(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != &FieldOf(Control::Username) && chain.size() <= 40);
    EXPECT_EQ(chain, expected);
}

TEST_F(InstallerDialogTest, FocusStartsInUsernameAndTabWalksTheForm) {
    ShowAndActivate();
    EXPECT_EQ(QApplication::focusWidget(), &FieldOf(Control::Username));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), &FieldOf(Control::Password));
    for (int i = 0; i < 11; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(QApplication::focusWidget(), dialog.Button(Control::ReadDocs));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), &FieldOf(Control::ClickBankNickName));
}

TEST_F(InstallerDialogTest, PasswordsShowInClearAndNoButtonIsTheDefault) {
    for (const ExpectedField& field : kExpectedFields) {
        EXPECT_EQ(FieldOf(field.id).echoMode(), QLineEdit::Normal) << field.label;
    }
    QTest::keyClicks(&FieldOf(Control::BlogPassword), "open sesame");
    EXPECT_EQ(FieldOf(Control::BlogPassword).displayText(), QStringLiteral("open sesame"));
    for (Control id : {Control::ReadDocs, Control::InstallScript, Control::UpdatePages}) {
        EXPECT_FALSE(dialog.Button(id)->isDefault());
        EXPECT_FALSE(dialog.Button(id)->autoDefault());
    }
}

TEST_F(InstallerDialogTest, WindowHasAFixedSizeAndNoMinimiseOrMaximiseBox) {
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.size(), dialog.minimumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
}

TEST_F(InstallerDialogTest, WindowOpensCentredOnTheScreen) {
    const QRect screen = dialog.screen()->availableGeometry();
    const QPoint offset = dialog.geometry().center() - screen.center();
    EXPECT_LE(offset.manhattanLength(), 1) << offset.x() << "," << offset.y();
}

TEST_F(InstallerDialogTest, WindowIconComesInThreeSizes) {
    const QList<QSize> sizes = dialog.windowIcon().availableSizes();
    for (int size : {16, 32, 48}) {
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    }
}

// ---- Geometry -----------------------------------------------------------------------

TEST_F(InstallerDialogTest, ControlsSitWhereTheDialogUnitsPutThem) {
    // The dialog's base units, worked out here from the font as the classic dialog
    // manager did.
    const QFontMetrics metrics(dialog.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = metrics.height();
    ASSERT_GT(baseX, 0);
    auto px = [&](int x, int y, int w, int h) {
        auto round = [](int units, int base, int per) { return (units * base + per / 2) / per; };
        return QRect(round(x, baseX, 4), round(y, baseY, 8), round(w, baseX, 4),
                     round(h, baseY, 8));
    };

    EXPECT_EQ(QRect(QPoint(0, 0), dialog.size()), px(0, 0, 466, 199));
    EXPECT_EQ(FieldOf(Control::Username).geometry(), px(64, 12, 154, 11));
    EXPECT_EQ(FieldOf(Control::BlogPassword).geometry(), px(64, 126, 154, 11));
    EXPECT_EQ(FieldOf(Control::ClickBankNickName).geometry(), px(304, 88, 154, 11));
    EXPECT_EQ(dialog.Button(Control::UpdatePages)->geometry(), px(278, 148, 62, 15));
    EXPECT_EQ(dialog.Status().geometry(), px(126, 175, 213, 17));
}

// ---- The form through the real window -----------------------------------------------

TEST_F(InstallerDialogTest, CaptureKeepsTypedValuesWholeWithTheirBlanks) {
    FieldOf(Control::Username).clear();
    QTest::keyClicks(&FieldOf(Control::Username), "  web master  ");
    QTest::keyClicks(&FieldOf(Control::Password), " p w ");
    QTest::keyClicks(&FieldOf(Control::MainEmail), "me@example.org ");
    FieldOf(Control::AdPricing).clear();
    Type(FieldOf(Control::BlogTitle), QString::fromUtf8(" – Grüße"));

    FormData data;
    CaptureForm(dialog, data, config.affiliateHopUrl);
    EXPECT_EQ(data.ftpUser, "  web master  ");
    EXPECT_EQ(data.ftpPassword, " p w ");
    EXPECT_EQ(data.mainEmail, "me@example.org ");
    EXPECT_EQ(data.adPrice, "");
    EXPECT_EQ(data.blogTitle, "Welcome to our Blog! – Grüße");
    EXPECT_EQ(data.cgiPath, "www/cgi-bin");
    EXPECT_EQ(data.adUrl, "http://127.0.0.1:9/?tamrixo/tamrixo");
}

TEST_F(InstallerDialogTest, FieldTextCrossesTheWindowsEdgeAsUtf8) {
    const std::string text = "Grüße, 世界 😀";
    dialog.SetFieldText(Control::BlogTitle, text);
    EXPECT_EQ(FieldOf(Control::BlogTitle).text(), QString::fromUtf8(text.c_str()));
    EXPECT_EQ(dialog.FieldText(Control::BlogTitle), text);
}

TEST_F(InstallerDialogTest, AFieldTakesExactly255BytesAndNoMore) {
    QLineEdit& field = FieldOf(Control::Server);
    dialog.SetFieldText(Control::Server, std::string(255, 'a'));
    EXPECT_EQ(dialog.FieldText(Control::Server), std::string(255, 'a'));
    field.end(false);
    QTest::keyClick(&field, Qt::Key_B);
    EXPECT_EQ(dialog.FieldText(Control::Server), std::string(255, 'a'));

    FormData data;
    CaptureForm(dialog, data, config.affiliateHopUrl);
    EXPECT_EQ(data.ftpServer, std::string(255, 'a'));
}

TEST_F(InstallerDialogTest, AFieldRefusesACharacterThatWouldCrossTheLimitWhole) {
    QLineEdit& field = FieldOf(Control::MainEmail);
    dialog.SetFieldText(Control::MainEmail, std::string(254, 'x'));
    field.end(false);
    Type(field, QString::fromUtf8("é"));  // two bytes: one too many
    EXPECT_EQ(dialog.FieldText(Control::MainEmail), std::string(254, 'x'));
    QTest::keyClicks(&field, QStringLiteral("y"));
    EXPECT_EQ(dialog.FieldText(Control::MainEmail), std::string(254, 'x') + "y");

    std::string euros;  // 85 three-byte characters: 255 bytes
    for (int i = 0; i < 85; ++i) {
        euros += "€";
    }
    dialog.SetFieldText(Control::PayPalEmail, euros);
    EXPECT_EQ(dialog.FieldText(Control::PayPalEmail), euros);
    dialog.SetFieldText(Control::PayPalEmail, euros + "€");
    EXPECT_EQ(dialog.FieldText(Control::PayPalEmail), euros);
}

TEST_F(InstallerDialogTest, APasteThatIsTooLongIsCutAtACharacterBoundary) {
    QLineEdit& field = FieldOf(Control::Username);
    dialog.SetFieldText(Control::Username, "ab");
    field.setCursorPosition(1);
    field.insert(QString::fromUtf8("é").repeated(300));
    // "a", as many two-byte characters as fit before "b", then "b": 1 + 252 + 1 bytes.
    const std::string text = dialog.FieldText(Control::Username);
    EXPECT_EQ(text.size(), 254u);
    EXPECT_EQ(text.front(), 'a');
    EXPECT_EQ(text.back(), 'b');
    EXPECT_EQ(QString::fromUtf8(text.c_str()).toStdString(), text);  // valid UTF-8

    FormData data;
    CaptureForm(dialog, data, config.affiliateHopUrl);
    EXPECT_EQ(data.ftpUser, text);
}

TEST_F(InstallerDialogTest, StatusLinePaintsTheNewTextBeforeReturning) {
    ShowAndActivate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    dialog.Status().label().installEventFilter(&counter);
    dialog.SetStatusLine("Uploading blåbær.html");
    // No event loop has run since: only an immediate repaint can have painted it.
    EXPECT_GE(counter.paints, 1);
    EXPECT_EQ(dialog.Status().label().text(), QString::fromUtf8("Uploading blåbær.html"));
    dialog.Status().label().removeEventFilter(&counter);
}

// ---- Ending the dialog --------------------------------------------------------------

TEST_F(InstallerDialogTest, EnterInAFieldEndsTheDialog) {
    dialog.show();
    QTest::keyClick(&FieldOf(Control::Server), Qt::Key_Return);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(InstallerDialogTest, KeypadEnterInAFieldEndsTheDialog) {
    dialog.show();
    QTest::keyClick(&FieldOf(Control::AdPricing), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(InstallerDialogTest, EscapeEndsTheDialog) {
    dialog.show();
    QTest::keyClick(&FieldOf(Control::Username), Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(InstallerDialogTest, TheCloseButtonEndsTheDialog) {
    dialog.show();
    EXPECT_TRUE(dialog.close());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(InstallerDialogTest, EnterOnAFocusedButtonPressesItAndTheDialogStaysOpen) {
    ShowAndActivate();
    QPushButton* readDocs = dialog.Button(Control::ReadDocs);
    readDocs->setFocus();
    QSignalSpy clicks(readDocs, &QPushButton::clicked);
    QTest::keyClick(readDocs, Qt::Key_Return);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(InstallerDialogTest, ReadDocsOpensTheDocumentationPage) {
    dialog.Button(Control::ReadDocs)->click();
    ASSERT_EQ(browser.urls.size(), 1u);
    EXPECT_EQ(browser.urls[0].toString(), QStringLiteral("http://127.0.0.1:9/klvdocs.html?id=500"));
    EXPECT_EQ(dialog.Status().label().text(), QStringLiteral("Reading KLV Docs"));
}

// ---- Working files ------------------------------------------------------------------

TEST_F(InstallerDialogTest, AppDirectoryIsTheOneGiven) {
    EXPECT_EQ(shared.appDirectory, directory.path().toStdString());
}

TEST_F(InstallerDialogTest, ClosingDeletesExactlyTheFourWorkingFiles) {
    const std::set<std::string> others{"klv.cgi.bak", "notes.txt", "KLV.TXT", "klvcfg.cgi~"};
    for (const std::string& name : kWorkingFileNames) {
        Touch(AppDirectory() / name);
    }
    for (const std::string& name : others) {
        Touch(AppDirectory() / name);
    }
    QTemporaryDir elsewhere;
    Touch(fs::path(elsewhere.path().toStdString()) / "klv.txt");

    dialog.show();
    QTest::keyClick(&FieldOf(Control::Username), Qt::Key_Escape);

    EXPECT_EQ(FilesIn(AppDirectory()), others);
    EXPECT_TRUE(fs::exists(fs::path(elsewhere.path().toStdString()) / "klv.txt"));
}

TEST_F(InstallerDialogTest, EnterDeletesTheWorkingFilesToo) {
    for (const std::string& name : kWorkingFileNames) {
        Touch(AppDirectory() / name);
    }
    dialog.show();
    QTest::keyClick(&FieldOf(Control::HttpCgiPath), Qt::Key_Return);
    EXPECT_FALSE(fs::exists(AppDirectory()));  // the files, then their emptied directory
}

TEST_F(InstallerDialogTest, TheWorkingFilesAreDeletedOnceOnly) {
    dialog.show();
    dialog.reject();
    fs::create_directory(AppDirectory());  // the first close removed it
    for (const std::string& name : kWorkingFileNames) {
        Touch(AppDirectory() / name);
    }
    dialog.show();
    dialog.reject();
    EXPECT_EQ(FilesIn(AppDirectory()).size(), kWorkingFileNames.size());
}

// ---- Message boxes, the browser, the About box --------------------------------------

TEST_F(InstallerDialogTest, MessageBoxIsAWarningTitledKlvWithOneOkButton) {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::vector<QMessageBox::StandardButton> buttons;
    Qt::TextFormat format = Qt::AutoText;
    WhenModalOpens<QMessageBox>([&](QMessageBox& box) {
        title = box.windowTitle();
        text = box.text();
        icon = box.icon();
        format = box.textFormat();
        for (QAbstractButton* button : box.buttons()) {
            buttons.push_back(box.standardButton(button));
        }
        box.button(QMessageBox::Ok) != nullptr ? box.button(QMessageBox::Ok)->click()
                                               : box.reject();
    });
    dialog.ShowMessage("530 Login <b>incorrect</b> – Grüße");

    EXPECT_EQ(title, QStringLiteral("klv"));
    EXPECT_EQ(text, QString::fromUtf8("530 Login <b>incorrect</b> – Grüße"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(buttons, std::vector<QMessageBox::StandardButton>{QMessageBox::Ok});
}

TEST_F(InstallerDialogTest, OpenUrlHandsTheAddressOverEncodedWhereItMustBe) {
    dialog.OpenUrl("http://www.example.com/cgi-bin/klv.cgi?data=setup");
    dialog.OpenUrl("http://www.example.com/my cgi/klv.cgi?data=setup");
    dialog.OpenUrl("http://www.example.com/cgi-bin/é/klv.cgi");
    ASSERT_EQ(browser.urls.size(), 3u);
    EXPECT_EQ(browser.urls[0].toEncoded(), "http://www.example.com/cgi-bin/klv.cgi?data=setup");
    EXPECT_EQ(browser.urls[1].toEncoded(), "http://www.example.com/my%20cgi/klv.cgi?data=setup");
    EXPECT_EQ(browser.urls[2].toEncoded(), "http://www.example.com/cgi-bin/%C3%A9/klv.cgi");
}

TEST_F(InstallerDialogTest, ContextMenuOpensTheAboutBoxAndLeavesTheFormAsItWas) {
    dialog.show();
    dialog.SetFieldText(Control::Server, "ftp.example.org");
    dialog.SetStatusLine("Uploading KLV Script");
    const std::vector<std::string> before = AllFieldTexts();

    std::vector<QString> menuItems;
    QString aboutTitle;
    std::vector<QString> aboutTexts;
    bool okIsDefault = false;
    QWidget* aboutParent = nullptr;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) {
            ADD_FAILURE() << "no context menu is open";
            return;
        }
        for (const QAction* action : menu->actions()) {
            menuItems.push_back(action->text());
        }
        WhenModalOpens<AboutDialog>([&](AboutDialog& about) {
            aboutTitle = about.windowTitle();
            aboutParent = about.parentWidget();
            for (const QLabel* label : about.findChildren<QLabel*>()) {
                aboutTexts.push_back(label->text());
            }
            for (QPushButton* button : about.findChildren<QPushButton*>()) {
                okIsDefault = button->isDefault() && button->text() == QStringLiteral("OK");
            }
            QTest::keyClick(&about, Qt::Key_Return);  // the default button ends it
        });
        QTest::keyClick(menu, Qt::Key_A);  // the item's mnemonic
    });
    const QPoint inside(4, 4);  // the window's background, left of "Username"
    QContextMenuEvent event(QContextMenuEvent::Mouse, inside, dialog.mapToGlobal(inside));
    QApplication::sendEvent(&dialog, &event);

    EXPECT_EQ(menuItems, std::vector<QString>{QStringLiteral("&About KLV...")});
    EXPECT_EQ(aboutTitle, QStringLiteral("About KLV"));
    EXPECT_NE(std::find(aboutTexts.begin(), aboutTexts.end(), QStringLiteral("KLV Version 1.0")),
              aboutTexts.end());
    EXPECT_TRUE(okIsDefault);
    EXPECT_EQ(aboutParent, &dialog);
    EXPECT_EQ(AllFieldTexts(), before);
    EXPECT_EQ(dialog.Status().label().text(), QStringLiteral("Uploading KLV Script"));
    EXPECT_TRUE(dialog.isVisible());  // the main window runs on
}

}  // namespace
}  // namespace klv::app
