#include "tests/installer/workflow_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

namespace klv::testing {

unsigned ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

PyFtpServerOptions WorkflowTest::DefaultFtpOptions() {
    PyFtpServerOptions options;
    options.user = "webmaster";
    options.password = "s3cret";
    options.subdirectories = {"www/cgi-bin", "www/klv"};
    return options;
}

WorkflowTest::WorkflowTest(PyFtpServerOptions ftpOptions)
    : ftp(std::make_unique<PyFtpServer>(std::move(ftpOptions))) {
    fs::copy(KLV_DEMO_VENDOR_SITE, vendorSite.path(), fs::copy_options::recursive);
    http.ServeDirectory(vendorSite.path());
    shared.appDirectory = programDir.path().string();
    config.vendorBaseUrl = http.Url();
    config.affiliateHopUrl = "http://hop.clickbank.net/";
    config.ftpPort = ftp->port();
}

void WorkflowTest::FillValidForm() {
    window.SetFieldText(Control::Username, ftp->user());
    window.SetFieldText(Control::Password, ftp->password());
    window.SetFieldText(Control::Server, "127.0.0.1");
    window.SetFieldText(Control::HttpCgiPath, "http://blog.example.org/cgi-bin");
    window.SetFieldText(Control::MainEmail, "owner@example.org");
    window.SetFieldText(Control::PayPalEmail, "pay@example.org");
    window.SetFieldText(Control::BlogTitle, "Ann's #password# Blog");
    window.SetFieldText(Control::BlogPassword, "opensesame");
    window.SetFieldText(Control::ClickBankNickName, "annie");
}

std::vector<std::string> WorkflowTest::RequestedTargets() const {
    std::vector<std::string> targets;
    for (const RecordedRequest& request : http.Requests()) {
        targets.push_back(request.target);
    }
    return targets;
}

}  // namespace klv::testing
