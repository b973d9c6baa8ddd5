// The real window, driven as a user drives it: type the form, press Install Script and
// Update Pages, answer the message boxes, and look at what landed on a real FTP server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/installer_dialog.h"
#include "tests/app/url_recorder.h"
#include "tests/support/ftp/pyftpd.h"
#include "tests/support/http/http_test_server.h"

namespace klv::app {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

unsigned ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

// Answers every message box that opens with OK, keeping its text and title.
class MessageBoxAnswerer : public QObject {
public:
    MessageBoxAnswerer() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            texts.push_back(box->text().toStdString());
            titles.push_back(box->windowTitle().toStdString());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        timer_.start(20);
    }

    std::vector<std::string> texts;
    std::vector<std::string> titles;

private:
    QTimer timer_;
};

TEST(WholeProgram, InstallsTheScriptsAndUpdatesThePagesThroughTheWindow) {
    klv::testing::PyFtpServerOptions options;
    options.user = "demo";
    options.password = "demo";
    options.subdirectories = {"www/cgi-bin", "www/klv"};
    klv::testing::PyFtpServer ftp(options);
    klv::testing::HttpTestServer vendor;
    const fs::path site = KLV_DEMO_VENDOR_SITE;
    vendor.ServeDirectory(site);

    QTemporaryDir programDirectory;
    SharedState shared;
    const Config config{vendor.Url(), "http://hop.clickbank.net/", ftp.port()};
    testing::UrlRecorder browser;
    InstallerDialog dialog(shared, config, programDirectory.path().toStdString());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    const std::vector<std::pair<Control, QString>> typed{
        {Control::Username, "demo"},
        {Control::Password, "demo"},
        {Control::Server, "127.0.0.1"},
        {Control::MainEmail, "owner@example.org"},
        {Control::StormPayEmail, "storm@example.org"},
        {Control::BlogPassword, "letmein"},
    };
    for (const auto& [id, text] : typed) {
        QTest::keyClicks(dialog.Field(id), text);
    }
    dialog.Field(Control::BlogTitle)->selectAll();
    QTest::keyClicks(dialog.Field(Control::BlogTitle), "Demo Diary");

    MessageBoxAnswerer answerer;
    QTest::mouseClick(dialog.Button(Control::InstallScript), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Running(); }, 60000));
    EXPECT_EQ(dialog.Status().label().text(), "If Script Upload OK, Then Update Pages");
    ASSERT_EQ(answerer.texts.size(), 1u);  // the transcript of the second upload
    EXPECT_THAT(answerer.texts[0], StartsWith("226"));
    EXPECT_THAT(answerer.titles, ElementsAre("klv"));
    ASSERT_EQ(browser.urls.size(), 1u);
    EXPECT_EQ(browser.urls[0].toString().toStdString(),
              "http://www.example.com/cgi-bin/klv.cgi?data=setup");

    QTest::mouseClick(dialog.Button(Control::UpdatePages), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Running(); }, 60000));
    EXPECT_EQ(dialog.Status().label().text(), "Update Pages Is Now Complete!");
    ASSERT_EQ(answerer.texts.size(), 2u);
    EXPECT_EQ(answerer.texts[1], "Update Pages Is Now Complete!");

    const fs::path www = ftp.home() / "www";
    EXPECT_THAT(Contents(www / "cgi-bin/klvcfg.cgi"), HasSubstr("owner\\@example.org"));
    EXPECT_THAT(Contents(www / "cgi-bin/klvcfg.cgi"), HasSubstr("storm\\@example.org"));
    EXPECT_EQ(Contents(www / "cgi-bin/klv.cgi"), Contents(site / "klvsetup/klvcgi.txt"));
    EXPECT_EQ(ModeOf(www / "cgi-bin/klvcfg.cgi"), 0755u);
    EXPECT_EQ(ModeOf(www / "cgi-bin/klv.cgi"), 0755u);
    EXPECT_EQ(Contents(www / "klv/klv.jpg"), Contents(site / "klvsetup/klv.jpg"));
    EXPECT_EQ(Contents(www / "klv/button.jpg"), Contents(site / "klvsetup/button.jpg"));
    EXPECT_THAT(Contents(www / "klv/weblogex.php"), HasSubstr("\"Demo Diary\""));
    EXPECT_THAT(Contents(www / "klv/weblogex.php"), HasSubstr("\"letmein\""));
    EXPECT_TRUE(fs::exists(www / "klv/weblog.php"));
    EXPECT_TRUE(fs::exists(www / "klv/index.html"));

    // Closing the window takes the working files with it.
    const fs::path program = programDirectory.path().toStdString();
    EXPECT_TRUE(fs::exists(program / "klv.txt"));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    for (const char* name : {"klv.cgi", "klvcfg.cgi", "klv.txt", "temp.txt"}) {
        EXPECT_FALSE(fs::exists(program / name)) << name;
    }
}

}  // namespace
}  // namespace klv::app
