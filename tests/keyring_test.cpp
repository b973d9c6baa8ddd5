// The passwords in a real Secret Service (gnome-keyring on a private session bus, made by
// tests/keyring_check.sh): the window's "Remember Passwords in Keyring" stores both at
// Install Script, the next window fills them in, the command line logs on with them, and
// turning it off removes them. secret-tool reads the keyring as any other client does.
#include "app/keyring.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <optional>

#include "app/installer_dialog.h"
#include "tests/support/support.h"

namespace klv::app {
namespace {

using klv::testing::LocalServer;
using klv::testing::ReadFile;
using klv::testing::Scratch;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

// What the keyring holds for `account` of the service "klv", as secret-tool reads it.
std::string Lookup(const std::string& account) {
    std::string secret;
    if (FILE* tool =
            ::popen(("secret-tool lookup server klv user '" + account + "'").c_str(), "r")) {
        for (int c = 0; (c = std::fgetc(tool)) != EOF;) {
            secret += static_cast<char>(c);
        }
        ::pclose(tool);
    }
    return secret;
}

// Picks "Remember Passwords in Keyring" from the window's context menu.
void ToggleRemember(InstallerDialog& dialog) {
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        menu->findChild<QAction*>("rememberPasswords")->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4),
                            dialog.mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(&dialog, &event);
}

TEST(Keyring, RemembersBothPasswordsForTheNextWindowAndTheCommandLineUntilTurnedOff) {
    Scratch scratch, vendor;
    qputenv("XDG_CONFIG_HOME", (scratch.path / "config").c_str());
    fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
    fs::create_directories(scratch.path / "home/www/klv");
    fs::create_directories(scratch.path / "run");
    const LocalServer http({"http", vendor.path, scratch / "http.log"});
    const LocalServer ftp({"pyftpd", scratch / "home", "ann", "s3cret"});
    // The window's Install Script fails at once (no vendor site there): the passwords are
    // stored when it is pressed.
    const Config config{"http://127.0.0.1:9", "http://hop.example/", ftp.port,
                        std::chrono::seconds(5)};
    const std::string ftpAccount = "ftp:ann@127.0.0.1:" + std::to_string(ftp.port);
    const std::string blogAccount = "blog:ann@127.0.0.1:" + std::to_string(ftp.port);
    {
        SharedState shared;
        InstallerDialog window(shared, config, scratch / "run");
        ToggleRemember(window);
        for (const auto& [field, text] : std::initializer_list<std::pair<Control, const char*>>{
                 {Control::Username, "ann"},
                 {Control::Server, "127.0.0.1"},
                 {Control::Password, "s3cret"},
                 {Control::BlogPassword, "open sesame"},
                 {Control::MainEmail, "a@example.org"},
                 {Control::PayPalEmail, "p@example.org"}}) {
            window.SetFieldText(field, text);
        }
        window.Button(Control::InstallScript)->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(Lookup(ftpAccount) + "|" + Lookup(blogAccount),
                                  std::string("s3cret|open sesame"), 10000);
    }
    const std::string conf = ReadFile(scratch / "config/klv/klv.conf");
    EXPECT_THAT(conf, HasSubstr("RememberPasswords=true"));
    EXPECT_THAT(conf, Not(HasSubstr("s3cret")));
    EXPECT_THAT(conf, Not(HasSubstr("sesame")));

    SharedState shared;
    InstallerDialog next(shared, config, scratch / "run");
    QTRY_COMPARE_WITH_TIMEOUT(
        next.FieldText(Control::Password) + "|" + next.FieldText(Control::BlogPassword),
        std::string("s3cret|open sesame"), 10000);

    // The command line: the user as the window remembered it, the passwords from the
    // keyring.
    std::vector<std::string> environment{
        "XDG_CONFIG_HOME=" + scratch / "config", "XDG_RUNTIME_DIR=" + scratch / "run",
        "DBUS_SESSION_BUS_ADDRESS=" +
            qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").toStdString(),
        "KLV_TEST_VENDOR_BASE_URL=" + http.Url(), "KLV_TEST_FTP_PORT=" + std::to_string(ftp.port)};
    const pid_t klv = klv::testing::StartProgram(
        {KLV_UNDER_TEST, "update-pages", "-q", "--server",  // the same host, spelt otherwise
         "FTP://127.0.0.1:" + std::to_string(ftp.port) + "/"},
        environment, scratch / "out", scratch / "err");
    EXPECT_EQ(klv::testing::WaitFor(klv), 0) << ReadFile(scratch / "err");
    EXPECT_THAT(ReadFile(scratch / "home/www/klv/weblogex.php"),
                HasSubstr("$blog_password = \"open sesame\";"));

    ToggleRemember(next);
    EXPECT_FALSE(RememberPasswordsInKeyring());
    QTRY_COMPARE_WITH_TIMEOUT(Lookup(ftpAccount) + Lookup(blogAccount), std::string(), 10000);
}

}  // namespace
}  // namespace klv::app

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
