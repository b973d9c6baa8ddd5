// The real window on Qt's offscreen platform: its layout and keys, the form's byte
// limit, message boxes, the About box, and the whole program against loopback servers.
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <optional>
#include <set>

#include "app/about_dialog.h"
#include "app/dialog_template.h"
#include "app/installer_dialog.h"
#include "app/program_settings.h"
#include "app/settings_trust_store.h"
#include "tests/support/support.h"

namespace klv::app {
namespace {

using klv::testing::LocalServer;
using klv::testing::ModeOf;
using klv::testing::Scratch;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class Browser : public QObject {  // stands in for the desktop's browser
    Q_OBJECT
public:
    Browser() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~Browser() override { QDesktopServices::unsetUrlHandler("http"); }
    std::vector<QByteArray> urls;
public slots:
    void Open(const QUrl& url) { urls.push_back(url.toEncoded()); }
};

// Runs `handle` on the modal widget the code under test is about to open.
template <typename Widget>
void WhenModalOpens(std::function<void(Widget&)> handle) {
    QTimer::singleShot(0, [handle] {
        auto* widget = qobject_cast<Widget*>(QApplication::activeModalWidget());
        ASSERT_NE(widget, nullptr);
        handle(*widget);
    });
}

// Every control the window shows lies inside it, and no two overlap.
void ExpectInsideAndApart(const QWidget& window) {
    std::vector<const QWidget*> shown;
    for (const QWidget* control : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control->isVisibleTo(&window)) {
            shown.push_back(control);
        }
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_TRUE(window.rect().contains(shown[i]->geometry())) << i;
        for (std::size_t j = i + 1; j < shown.size(); ++j) {
            EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry())) << i << "," << j;
        }
    }
}

class Window : public ::testing::Test {
protected:
    std::string Dir(const char* name = "") const { return scratch / name; }
    Browser browser;
    Scratch scratch;
    SharedState shared;
    Config config{"http://127.0.0.1:9", "http://127.0.0.1:9/", 9};  // nothing listens there
    InstallerDialog dialog{shared, config, scratch.path};
};

TEST_F(Window, ShowsEachFieldRightOfItsLabelApartAndInsideInTheFormsTabOrder) {
    EXPECT_EQ(dialog.windowTitle(), "Kolvane Installer 1.0");
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowContextHelpButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    for (int size : {16, 32, 48}) {
        EXPECT_TRUE(dialog.windowIcon().availableSizes().contains(QSize(size, size)));
    }
    ExpectInsideAndApart(dialog);
    // A dialog unit follows the average letter width rounded to the nearest pixel.
    EXPECT_EQ(app::BaseUnitsOf(52 * 6 + 25, 13).x, 6);
    EXPECT_EQ(app::BaseUnitsOf(52 * 6 + 26, 13).x, 7);
    EXPECT_EQ(app::MulDiv(5, 3, 2), 8);  // dialog units to pixels: 7.5 rounds up
    std::vector<QWidget*> tabOrder;
    std::set<int> fieldColumns, labelColumns;  // left edges
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
    for (const FormField& field : kFormFields) {
        QLineEdit* edit = dialog.Field(field.id);
        tabOrder.push_back(edit);
        EXPECT_EQ(edit->text().toStdString(), field.textAtStart);
        const auto label = std::find_if(labels.begin(), labels.end(), [&](const QLabel* label) {
            return label->buddy() == edit;
        });
        ASSERT_NE(label, labels.end()) << field.label;
        EXPECT_EQ((*label)->text().toStdString(), field.label);
        EXPECT_EQ((*label)->y(), edit->y());  // on its field's row, to the left of it
        EXPECT_LT((*label)->geometry().right(), edit->x());
        fieldColumns.insert(edit->x()), labelColumns.insert((*label)->x());
        EXPECT_LE((*label)->heightForWidth((*label)->width()), (*label)->height()) << field.label;
        // A label too long for one line wraps (within its height: the line above).
        EXPECT_TRUE((*label)->wordWrap() || (*label)->sizeHint().width() <= (*label)->width())
            << field.label;
        EXPECT_EQ(QAccessible::queryAccessibleInterface(edit)->text(QAccessible::Name),
                  (*label)->text());
    }
    EXPECT_EQ(fieldColumns.size(), 2u);  // two columns, each aligned on the left
    EXPECT_EQ(labelColumns.size(), 2u);
    std::set<int> buttonRows;
    for (const Control id : {Control::ReadDocs, Control::InstallScript, Control::UpdatePages}) {
        tabOrder.push_back(dialog.Button(id));
        buttonRows.insert(dialog.Button(id)->y());
        EXPECT_FALSE(dialog.Button(id)->isDefault() || dialog.Button(id)->autoDefault());
    }
    EXPECT_EQ(buttonRows.size(), 1u);
    EXPECT_EQ(dialog.Status().label().alignment(), Qt::AlignCenter);
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    for (QWidget* expected : tabOrder) {
        EXPECT_EQ(QApplication::focusWidget(), expected);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QSignalSpy clicks(dialog.Button(Control::UpdatePages), &QPushButton::clicked);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);  // presses the button
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(Window, FieldsHoldUtf8UpTo255BytesAndCaptureItWhole) {
    dialog.SetFieldText(Control::Server, std::string(254, 'a'));
    dialog.Field(Control::Server)->end(false);
    QTest::keyClicks(dialog.Field(Control::Server), "bc");
    QLineEdit& user = *dialog.Field(Control::Username);
    QTest::keyClicks(&user, "  web master ");
    user.setCursorPosition(3);
    user.insert(QString::fromUtf8("é").repeated(300));  // a paste cut at a character
    FormData data;
    CaptureForm(dialog, data, config.affiliateHopUrl);
    EXPECT_EQ(data.ftpUser.size(), 255u);
    EXPECT_TRUE(data.ftpUser.view().starts_with("  wé"));
    EXPECT_TRUE(data.ftpUser.view().ends_with("éeb master "));
    EXPECT_EQ(data.ftpServer, std::string(254, 'a') + "b");
}

TEST_F(Window, MessageBoxesShowTheTextAsItIsAndAddressesAreEncoded) {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    WhenModalOpens<QMessageBox>([](QMessageBox& box) {
        EXPECT_EQ(box.text(), "530 <b>no</b> – Grüße");
        EXPECT_EQ(box.textFormat(), Qt::PlainText);
        box.button(QMessageBox::Ok)->click();
    });
    dialog.ShowMessage("530 <b>no</b> – Grüße");
    dialog.OpenUrl("http://www.example.com/my cgi/é/klv.cgi?data=setup");
    dialog.Button(Control::ReadDocs)->click();
    EXPECT_THAT(browser.urls,
                ElementsAre("http://www.example.com/my%20cgi/%C3%A9/klv.cgi?data=setup",
                            "http://127.0.0.1:9/klvdocs.html?id=500"));
    EXPECT_EQ(dialog.Status().label().text(), "Reading KLV Docs");
}

TEST_F(Window, TheCertificateQuestionShowsWhatFailedAndTrustIsRememberedPerHost) {
    ftp::CertificateInfo cert{"h.example:2121", "CN=<b>x</b>", "CN=ca", "2026", "2027",
                              "AB:CD",          "self-signed", true,    false};
    // A pinned certificate that changed; one after a certificate that verified, as a change.
    for (const auto& [verifiedBefore, trust] :
         {std::pair{false, true}, {false, false}, {true, false}}) {
        cert.verifiedBefore = verifiedBefore;
        const char* change = verifiedBefore
                                 ? "h.example:2121 has CHANGED: this server's certificate was "
                                   "issued by a trusted authority before"
                                 : "h.example:2121 has CHANGED since you trusted it";
        WhenModalOpens<QMessageBox>([trust, change](QMessageBox& box) {
            EXPECT_EQ(box.textFormat(), Qt::PlainText);  // the names come from the server
            for (const char* shown :
                 {change, "self-signed", "CN=<b>x</b>", "CN=ca", "2027", "AB:CD"}) {
                EXPECT_THAT(box.text().toStdString(), ::testing::HasSubstr(shown));
            }
            for (QAbstractButton* button : box.buttons()) {
                if ((button->text() == "Trust this certificate") == trust) {
                    return button->click();
                }
            }
        });
        EXPECT_EQ(dialog.TrustCertificate(cert), trust);
    }
    SettingsTrustStore().TrustFingerprint("ftp.example.org:2121", "AB:CD:EF");
    SettingsTrustStore().RememberSpokeTls("ftp.example.org/x");
    SettingsTrustStore().RememberVerified("[2001:db8::1]:21");
    // Entries stored under the host as typed, with ":port" unless it was 21, as the
    // program stored them before keys were normalised: each is found under its HostKey.
    {
        QSettings old = ProgramSettings();
        old.setValue("TlsHosts/FTP.Example.COM.", true);
        old.setValue("TlsHosts/old.example.com%3A2121", true);
        old.setValue("TrustedCertificates/Old.Example.com%3A990", "11:22");
        old.setValue("TrustedCertificates/old.example.com%3A990", "33:44");  // already moved
    }
    const SettingsTrustStore later;
    EXPECT_EQ(later.TrustedFingerprint("ftp.example.org:2121"), "AB:CD:EF");
    EXPECT_EQ(later.TrustedFingerprint("ftp.example.org"), "");
    EXPECT_TRUE(later.SpokeTls("ftp.example.org/x"));
    EXPECT_FALSE(later.SpokeTls("ftp.example.org"));
    EXPECT_TRUE(later.VerifiedBefore("[2001:db8::1]:21"));
    EXPECT_FALSE(later.VerifiedBefore("ftp.example.org:2121"));
    EXPECT_TRUE(later.SpokeTls("ftp.example.com:21"));
    EXPECT_TRUE(later.SpokeTls("old.example.com:2121"));
    EXPECT_EQ(later.TrustedFingerprint("old.example.com:990"), "33:44");
    EXPECT_FALSE(ProgramSettings().allKeys().contains("TlsHosts/FTP.Example.COM."));
}

// The certificate's box, for an SSH host key: what identifies the key, and a change plainly.
TEST_F(Window, TheHostKeyQuestionShowsTheKeyAndSaysWhenItChanged) {
    WhenModalOpens<QMessageBox>([](QMessageBox& box) {
        for (const char* shown : {"h.example port 2222 has CHANGED", "ssh-ed25519", "SHA256:a+b"}) {
            EXPECT_THAT(box.text().toStdString(), ::testing::HasSubstr(shown));
        }
        for (QAbstractButton* button : box.buttons()) {
            if (button->text() == "Trust this key") {
                return button->click();
            }
        }
    });
    EXPECT_TRUE(dialog.TrustHostKey({"h.example", 2222, "ssh-ed25519", "SHA256:a+b", true}));
}

std::vector<QObject*> nameChanges;

TEST_F(Window, TheStatusLineShowsItsTextAndScreenReadersHearEveryChange) {
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
    EXPECT_EQ(label.frameShadow(), QFrame::Sunken);  // a status panel set into the window
    EXPECT_EQ(accessible->text(QAccessible::Name), "Enter Field Data Then Install!");
    for (const char* text : {"Uploading blåbær.html", ""}) {
        dialog.SetStatusLine(text);
        EXPECT_EQ(label.text(), text);
        EXPECT_EQ(accessible->text(QAccessible::Name), text);
        EXPECT_EQ(accessible->text(QAccessible::Description), "Status");
    }
    QAccessible::installUpdateHandler(nullptr);
    platform->setActive(false);
    EXPECT_EQ(nameChanges, std::vector<QObject*>(2, &label));
}

TEST_F(Window, TheContextMenuOpensTheAboutBox) {
    dialog.show();
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 2);
        EXPECT_EQ(menu->actions()[0]->text(), "&About KLV...");
        EXPECT_EQ(menu->actions()[1]->text(), "Remember Passwords in Keyring");
        EXPECT_TRUE(menu->actions()[1]->isCheckable() && !menu->actions()[1]->isChecked());
        WhenModalOpens<AboutDialog>([&](AboutDialog& about) {
            EXPECT_EQ(about.windowTitle(), "About KLV");
            ExpectInsideAndApart(about);
            const QList<QLabel*> labels = about.findChildren<QLabel*>();  // the version, the icon
            EXPECT_TRUE(std::ranges::any_of(
                labels, [](auto* l) { return l->text() == "KLV Version 1.0"; }));
            EXPECT_TRUE(std::ranges::any_of(labels, [](auto* l) { return !l->pixmap().isNull(); }));
            QPushButton* ok = about.findChild<QPushButton*>();
            EXPECT_TRUE(ok->isDefault() && ok->text() == "OK");
            QTest::keyClick(&about, Qt::Key_Return);
        });
        QTest::keyClick(menu, Qt::Key_A);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4),
                            dialog.mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(&dialog, &event);
}

// Enter (either key) or Escape in a field ends the dialog, and deletes the four working
// files, once. (Closing the window does the same; the running window's tests show it.)
struct End {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};
class Ending : public Window, public ::testing::WithParamInterface<End> {};

TEST_P(Ending, EndsTheDialogAndDeletesExactlyTheWorkingFilesOnce) {
    for (const char* name :
         {"klv.cgi", "klvcfg.cgi", "klv.txt", "temp.txt", "KLV.TXT", "klv.cgi~"}) {
        testing::WriteFile(Dir(name), "x");
    }
    dialog.show();
    QTest::keyClick(dialog.Field(Control::Server), GetParam().key, GetParam().modifiers);
    EXPECT_FALSE(dialog.isVisible());
    testing::WriteFile(Dir("klv.txt"), "x");
    dialog.show();
    dialog.reject();
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path)) {
        left.insert(entry.path().filename());
    }
    EXPECT_THAT(left, ElementsAre("KLV.TXT", "klv.cgi~", "klv.txt"));
}

const End kEnds[] = {{.name = "Return", .key = Qt::Key_Return},
                     {.name = "KeypadEnter", .key = Qt::Key_Enter, .modifiers = Qt::KeypadModifier},
                     {.name = "Escape", .key = Qt::Key_Escape}};
INSTANTIATE_TEST_SUITE_P(Keys, Ending, ::testing::ValuesIn(kEnds), testing::RowName);

// What only the window shows of the two runs: the form typed into it reaches the run, the
// buttons start them, their boxes and the set-up page come up, the progress bar fills and
// goes, and Escape removes the working files. What lands on the server is the workflows'
// tests' business.
TEST(WholeProgram, InstallsTheScriptsAndUpdatesThePagesThroughTheWindow) {
    Scratch scratch;
    for (const char* directory : {"home/www/cgi-bin", "home/www/klv", "program"}) {
        std::filesystem::create_directories(scratch.path / directory);
    }
    testing::LocalServer ftp({"pyftpd", scratch / "home", "demo", "demo"});
    testing::LocalServer http({"http", KLV_DEMO_VENDOR_SITE, scratch / "http.log"});
    SharedState shared;
    const Config config{http.Url(), "http://hop.clickbank.net/", ftp.port};
    Browser browser;
    InstallerDialog dialog(shared, config, scratch / "program");
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    // clang-format off
    const std::pair<Control, const char*> typed[] = {
        {Control::Username, "demo"}, {Control::Password, "demo"}, {Control::Server, "127.0.0.1"},
        {Control::MainEmail, "me@example.org"}, {Control::StormPayEmail, "storm@example.org"}};
    // clang-format on
    for (const auto& [id, text] : typed) {
        QTest::keyClicks(dialog.Field(id), text);
    }
    std::vector<std::string> boxes;
    QTimer answerer;  // answers every message box with OK
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(box->text().toStdString());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }
    });
    answerer.start(20);
    int highest = -1;
    QObject::connect(&dialog.Progress(), &QProgressBar::valueChanged,
                     [&](int value) { highest = std::max(highest, value); });
    QTest::mouseClick(dialog.Button(Control::InstallScript), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Running(); }, 60000));
    EXPECT_THAT(boxes, ElementsAre(StartsWith("226")));
    EXPECT_THAT(browser.urls, ElementsAre("http://www.example.com/cgi-bin/klv.cgi?data=setup"));
    QTest::mouseClick(dialog.Button(Control::UpdatePages), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Running(); }, 60000));
    EXPECT_THAT(boxes, ElementsAre(StartsWith("226"), "Update Pages Is Now Complete!"));
    EXPECT_GT(dialog.Progress().maximum(), 0);  // the bar filled, and is gone again
    EXPECT_EQ(highest, dialog.Progress().maximum());
    EXPECT_FALSE(dialog.Progress().isVisible());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(std::filesystem::exists(scratch.path / "program"));  // files and directory
}

// The window while Update Pages of a.txt, b.txt and c.txt runs on its worker thread: the
// vendor site's list.txt answers `list`; the scripted FTP server, started when there are
// `rules` (a run that never reaches it has none), answers by them.
class Running : public ::testing::Test {
protected:
    void Start(std::vector<std::string> rules, const std::string& list = "file") {
        fs::create_directories(scratch.path / "site/klvsetup");
        fs::create_directories(scratch.path / "program");
        testing::WriteFile(scratch / "site/klvsetup/list.txt", "a.txt\nb.txt\nc.txt\n");
        http.emplace(std::vector<std::string>{
            "http", scratch / "site", scratch / "http.log", "/klvsetup/list.txt=" + list,
            "/klvsetup/a.txt=200 OK", "/klvsetup/b.txt=200 OK", "/klvsetup/c.txt=200 OK"});
        if (!rules.empty()) {
            rules.insert(rules.begin(), {"ftp", scratch / "ftp.log"});
            ftp.emplace(rules);
        }
        config = {http->Url(), "http://127.0.0.1:9/", ftp ? ftp->port : testing::kClosedPort,
                  std::chrono::seconds(20), 1};  // the scripted server: one connection at a time
        shared.formData.ftpServer = "127.0.0.1", shared.formData.ftpUser = "u";
        dialog.emplace(shared, config, scratch / "program");
        dialog->show();
        dialog->Button(Control::UpdatePages)->click();
    }
    Scratch scratch;
    std::optional<LocalServer> http, ftp;
    SharedState shared;
    Config config;
    std::optional<InstallerDialog> dialog;
};

TEST_F(Running, TheWindowLivesWhileTheServerIsSilentAndEscapeCancelsAtOnce) {
    Start({"STOR#2=150 go|DATA|SILENT"});  // b.txt's bytes land; its closing reply never comes
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return dialog->Status().label().text() == "Uploading b.txt"; }, 10000));
    EXPECT_FALSE(dialog->Button(Control::UpdatePages)->isEnabled());
    EXPECT_TRUE(dialog->Progress().isVisible() && dialog->CancelButton().isVisible());
    EXPECT_EQ(dialog->CancelButton().text(), "Cancel");
    ExpectInsideAndApart(*dialog);
    EXPECT_TRUE(dialog->Field(Control::Server)->isEnabled());  // the form may be edited
    QTimer timer;                                              // the window's own events go on
    const QSignalSpy ticks(&timer, &QTimer::timeout);
    timer.start(10);
    QTest::qWait(300);
    EXPECT_TRUE(dialog->Running());
    EXPECT_GE(ticks.count(), 5);

    QTest::keyClick(dialog->Field(Control::Username), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 1000));  // within a second
    EXPECT_TRUE(dialog->isVisible());  // Escape cancelled the run, not the window
    EXPECT_EQ(dialog->Status().label().text(), "Cancelled after 1 of 3 pages");
    EXPECT_FALSE(dialog->Progress().isVisible() || dialog->CancelButton().isVisible());
    EXPECT_TRUE(dialog->Button(Control::UpdatePages)->isEnabled());
    const std::vector<std::string> sent = testing::Lines(scratch / "ftp.log", 9);
    EXPECT_THAT(std::vector(sent.end() - 2, sent.end()), ElementsAre("STOR www/klv/b.txt", "QUIT"));
}

TEST_F(Running, CancelEndsAStalledDownloadWithinASecond) {
    Start({}, "silent");
    QTest::qWait(300);
    dialog->CancelButton().click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 1000));
    EXPECT_EQ(dialog->Status().label().text(), "Cancelled before any page was uploaded");
}

TEST_F(Running, ClosingWhileTheWorkersMessageBoxIsOpenEndsTheRunAndTheWorkingFiles) {
    QElapsedTimer elapsed;
    QTimer poll;  // closes the window from inside the box's own event loop
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!elapsed.isValid() && qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            elapsed.start();
            dialog->close();
        }
    });
    poll.start(10);
    Start({"USER=530 Not you"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 10000));
    EXPECT_TRUE(elapsed.isValid() && elapsed.elapsed() < 2000);
    EXPECT_FALSE(dialog->Running());
    EXPECT_FALSE(fs::exists(scratch.path / "program"));  // the list, and its directory
}

TEST_F(Running, ClosingDuringAStalledTlsHandshakeEndsTheRunWithinTwoSeconds) {
    Start({"AUTH=234 Go|SILENT"});  // the handshake never gets an answer
    ASSERT_TRUE(QTest::qWaitFor([&] { return !testing::Lines(scratch / "ftp.log").empty(); },
                                10000));  // "AUTH TLS"
    QTest::qWait(200);                    // into the handshake
    QElapsedTimer elapsed;
    elapsed.start();
    dialog->close();
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_FALSE(dialog->Running() || dialog->isVisible());
}

// A suite of its own, so that it runs last: what it remembers would fill the form of
// every window after it.
class Remembered : public Window {};

TEST_F(Remembered, TheValuesButNotThePasswordsSurviveARestartInAFileForTheUserAlone) {
    const fs::path conf = qgetenv("XDG_CONFIG_HOME").toStdString() + "/klv/klv.conf";
    fs::remove_all(conf.parent_path());
    const mode_t umask = ::umask(022);  // as most desktops have it: new files 0644
    std::map<Control, std::string> typed;
    for (const FormField& field : kFormFields) {
        dialog.SetFieldText(field.id, typed[field.id] = std::string(field.label) + " – ü");
    }
    // A server name without blanks: the run gets past the form's checks to the download.
    dialog.SetFieldText(Control::Server, typed[Control::Server] = "Server–ü");
    dialog.Button(Control::InstallScript)->click();  // the vendor site cannot be reached
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Running(); }, 30000));
    dialog.SetFieldText(Control::Server, "changed after the press");
    const InstallerDialog second(shared, config, Dir("again"));
    for (const FormField& field : kFormFields) {
        EXPECT_EQ(second.FieldText(field.id), field.secret ? "" : typed[field.id]) << field.label;
    }
    const std::string saved = testing::ReadFile(conf);
    EXPECT_THAT(saved, ::testing::HasSubstr("Server–ü"));
    EXPECT_THAT(saved, ::testing::Not(::testing::HasSubstr("Password – ü"))) << saved;
    const auto modes = [&] { return std::pair(ModeOf(conf.parent_path()), ModeOf(conf)); };
    EXPECT_EQ(modes(), std::pair(0700u, 0600u));
    fs::permissions(conf, fs::perms(0644)), fs::permissions(conf.parent_path(), fs::perms(0755));
    SettingsTrustStore().RememberSpokeTls("ftp.example.org");  // closed again by the next write
    EXPECT_EQ(modes(), std::pair(0700u, 0600u));
    ::umask(umask);
}

}  // namespace
}  // namespace klv::app

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Remembered form values stay in this process's own scratch folder: no test sees
    // another's, and the user's own are never touched.
    const klv::testing::Scratch configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path.c_str());
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}

#include "app_test.moc"
