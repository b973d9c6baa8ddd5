// The window while a workflow runs on its worker thread, as the user sees it: it keeps
// painting and answering while the server is slow, Cancel and closing end the run at
// once and say what was done, the progress bar fills, and the form is remembered.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/installer_dialog.h"
#include "tests/app/url_recorder.h"
#include "tests/support/ftp/fake_ftp_server.h"
#include "tests/support/ftp/pyftpd.h"
#include "tests/support/http/http_test_server.h"

namespace klv::app {
namespace {

namespace fs = std::filesystem;
using klv::testing::FakeFtpServer;
using klv::testing::HttpResponse;

bool WaitForRunEnd(const InstallerDialog& dialog, int milliseconds) {
    return QTest::qWaitFor([&] { return !dialog.Running(); }, milliseconds);
}

// Update Pages against a scripted FTP server that takes the first page, then the
// bytes of the second, and then never sends the closing reply: the run waits there.
class WindowRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        vendor.Serve("/klvsetup/list.txt", HttpResponse::Ok("a.txt\nb.txt\nc.txt\n"));
        for (const char* page : {"a", "b", "c"}) {
            vendor.Serve(std::string("/klvsetup/") + page + ".txt", HttpResponse::Ok(page));
        }
        shared.formData.ftpServer = "127.0.0.1";
        shared.formData.ftpUser = "u";
        shared.formData.ftpPassword = "p";
    }

    void ScriptLogOn() {
        ftp.Reply("220 slow server\r\n").Expect("AUTH TLS").Reply("500 no TLS here\r\n");
        ftp.Expect("USER u").Reply("331 go on\r\n").Expect("PASS p").Reply("230 in\r\n");
    }
    void ScriptPage(const std::string& name, bool answered) {
        if (name == "a.txt") {  // the type is sent once per connection
            ftp.Expect("TYPE A").Reply("200 ok\r\n");
        }
        ftp.ExpectStartingWith("PORT ").Reply("200 ok\r\n");
        ftp.Expect("STOR www/klv/" + name)
            .Reply("150 go\r\n")
            .ConnectData()
            .ReceiveData()
            .CloseData();
        if (answered) {
            ftp.Reply("226 stored\r\n");
        }
    }
    void StartAndWaitForPageB() {
        ScriptLogOn();
        ScriptPage("a.txt", true);
        ScriptPage("b.txt", false);
        ftp.WaitForClose();
        ftp.Start();
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        dialog.Button(Control::UpdatePages)->click();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return dialog.Status().label().text() == QStringLiteral("Uploading b.txt"); },
            10000));
    }

    testing::UrlRecorder browser;
    klv::testing::HttpTestServer vendor;
    FakeFtpServer ftp;
    SharedState shared;
    Config config{vendor.Url(), "http://127.0.0.1:9/", ftp.port(), std::chrono::seconds(20)};
    QTemporaryDir directory;
    InstallerDialog dialog{shared, config, directory.path().toStdString()};
};

TEST_F(WindowRunTest, WindowPaintsAndTimersFireWhileTheServerIsSilentThenEscapeCancels) {
    StartAndWaitForPageB();
    EXPECT_FALSE(dialog.Button(Control::UpdatePages)->isEnabled());
    EXPECT_TRUE(dialog.Progress().isVisible());
    EXPECT_TRUE(dialog.CancelButton().isVisible());
    EXPECT_TRUE(dialog.Field(Control::Server)->isEnabled());  // the form may be edited

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    dialog.Status().label().installEventFilter(&counter);
    dialog.Status().label().update();
    QTest::qWait(300);
    EXPECT_TRUE(dialog.Running());
    EXPECT_GE(ticks, 5);
    EXPECT_GE(counter.paints, 1);
    dialog.Status().label().removeEventFilter(&counter);

    QElapsedTimer elapsed;
    elapsed.start();
    QTest::keyClick(dialog.Field(Control::Username), Qt::Key_Escape);
    ASSERT_TRUE(WaitForRunEnd(dialog, 1000)) << "still running after a second";
    EXPECT_LT(elapsed.elapsed(), 1000);
    EXPECT_TRUE(dialog.isVisible());  // Escape cancelled the run, not the window
    // The page whose closing reply never came is not counted.
    EXPECT_EQ(dialog.Status().label().text(), QStringLiteral("Cancelled after 1 of 3 pages"));
    EXPECT_FALSE(dialog.Progress().isVisible());
    EXPECT_FALSE(dialog.CancelButton().isVisible());
    EXPECT_TRUE(dialog.Button(Control::UpdatePages)->isEnabled());
    ftp.Finish();
    const std::string transcript = ftp.transcript();
    EXPECT_TRUE(transcript.ends_with("STOR www/klv/b.txt\r\nQUIT\r\n")) << transcript;
}

TEST_F(WindowRunTest, ClosingWhileTheWorkersMessageBoxIsOpenEndsTheRunAndTheWorkingFiles) {
    ftp.Reply("220 slow server\r\n").Expect("AUTH TLS").Reply("500 no TLS here\r\n");
    ftp.Expect("USER u").Reply("530 Not you\r\n").WaitForClose();
    ftp.Start();
    dialog.show();
    bool boxSeen = false;
    QElapsedTimer elapsed;
    QTimer poll;  // closes the window from inside the box's own event loop
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!boxSeen && qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxSeen = true;
            elapsed.start();
            dialog.close();
        }
    });
    poll.start(10);
    dialog.Button(Control::UpdatePages)->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 10000));
    EXPECT_TRUE(boxSeen);
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_FALSE(dialog.Running());
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 2000));
    for (const char* name : {"klv.txt", "temp.txt"}) {
        EXPECT_FALSE(fs::exists(fs::path(directory.path().toStdString()) / name)) << name;
    }
}

TEST_F(WindowRunTest, CancelEndsADownloadThatStalledWithinASecond) {
    vendor.Serve("/klvsetup/list.txt", HttpResponse::Stalled({"a.t"}, 100));
    dialog.Button(Control::UpdatePages)->click();
    QTest::qWait(300);
    QElapsedTimer elapsed;
    elapsed.start();
    dialog.CancelButton().click();
    ASSERT_TRUE(WaitForRunEnd(dialog, 1000)) << "still running after a second";
    EXPECT_LT(elapsed.elapsed(), 1000);
    EXPECT_EQ(dialog.Status().label().text(), "Cancelled before any page was uploaded");
}

TEST(WindowRun, ProgressBarFillsOnAFullRunAndHidesAtItsEnd) {
    klv::testing::PyFtpServerOptions options;
    options.subdirectories = {"www/klv"};
    klv::testing::PyFtpServer ftp(options);
    klv::testing::HttpTestServer vendor;
    vendor.ServeDirectory(fs::path(KLV_DEMO_VENDOR_SITE));
    SharedState shared;
    shared.formData.ftpServer = "127.0.0.1";
    shared.formData.ftpUser = ftp.user();
    shared.formData.ftpPassword = ftp.password();
    const Config config{vendor.Url(), "http://127.0.0.1:9/", ftp.port()};
    QTemporaryDir directory;
    InstallerDialog dialog(shared, config, directory.path().toStdString());
    dialog.show();

    int highest = -1;
    QObject::connect(&dialog.Progress(), &QProgressBar::valueChanged,
                     [&](int value) { highest = std::max(highest, value); });
    QTimer answer;  // the completion box
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->accept();
        }
    });
    answer.start(20);
    dialog.Button(Control::UpdatePages)->click();
    ASSERT_TRUE(WaitForRunEnd(dialog, 60000));
    EXPECT_EQ(dialog.Status().label().text(), QStringLiteral("Update Pages Is Now Complete!"));
    EXPECT_GT(dialog.Progress().maximum(), 0);
    EXPECT_EQ(highest, dialog.Progress().maximum());
    EXPECT_FALSE(dialog.Progress().isVisible());
    EXPECT_TRUE(fs::exists(ftp.home() / "www/klv/weblog.php"));
}

TEST(WindowRun, TheTenValuesThatAreNotPasswordsSurviveARestartAndThePasswordsDoNot) {
    QTemporaryDir configHome;
    const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    SharedState shared;
    const Config config{"http://127.0.0.1:9", "http://127.0.0.1:9/", 9};
    QTemporaryDir directory;
    std::map<Control, std::string> typed;
    {
        InstallerDialog first(shared, config, directory.path().toStdString());
        for (const FormField& field : kFormFields) {
            typed[field.id] = std::string(field.label) + " typed – ü";
            first.SetFieldText(field.id, typed[field.id]);
        }
        first.Button(Control::InstallScript)->click();
        ASSERT_TRUE(WaitForRunEnd(first, 30000));  // the vendor site cannot be reached
        first.SetFieldText(Control::Server, "changed after the press");
    }
    InstallerDialog second(shared, config, directory.path().toStdString());
    qputenv("XDG_CONFIG_HOME", previous);
    for (const FormField& field : kFormFields) {
        const bool password = field.id == Control::Password || field.id == Control::BlogPassword;
        EXPECT_EQ(second.FieldText(field.id), password ? "" : typed[field.id]) << field.label;
    }
    std::ifstream file(configHome.path().toStdString() + "/klv/klv.conf");
    const std::string saved{std::istreambuf_iterator<char>(file), {}};
    EXPECT_NE(saved.find("Server"), std::string::npos);
    EXPECT_EQ(saved.find("Password typed"), std::string::npos) << saved;
}

}  // namespace
}  // namespace klv::app
