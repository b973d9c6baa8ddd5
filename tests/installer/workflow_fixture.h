// A whole installer for one test: a real FTP server (pyftpdlib) with www/cgi-bin and
// www/klv in its home, the sample vendor site served over HTTP on loopback, a fresh
// program directory, and the recording window.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/fake_window.h"
#include "tests/support/files.h"
#include "tests/support/ftp/pyftpd.h"
#include "tests/support/http/http_test_server.h"

namespace klv::testing {

namespace fs = std::filesystem;

inline unsigned ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// A port on which nothing listens: bound, then closed again.
unsigned ClosedPort();

class WorkflowTest : public ::testing::Test {
protected:
    explicit WorkflowTest(PyFtpServerOptions ftpOptions = DefaultFtpOptions());

    static PyFtpServerOptions DefaultFtpOptions();

    // Fills the form with values that pass validation and reach the local servers.
    void FillValidForm();

    [[nodiscard]] InstallerContext Context() { return {window, shared, config}; }
    [[nodiscard]] fs::path Vendor(const std::string& name) const {
        return vendorSite.path() / "klvsetup" / name;
    }
    [[nodiscard]] fs::path OnServer(const std::string& path) const { return ftp->home() / path; }
    [[nodiscard]] fs::path Working(const std::string& name) const {
        return programDir.path() / name;
    }
    [[nodiscard]] std::vector<std::string> RequestedTargets() const;

    ScratchDirectory vendorSite;  // a copy of the sample site, which a test may change
    ScratchDirectory programDir;
    std::unique_ptr<PyFtpServer> ftp;
    HttpTestServer http;
    FakeWindow window;
    SharedState shared;
    Config config;
};

}  // namespace klv::testing
