// PyFtpServer: a real FTP server (Debian's pyftpdlib) for one test, on 127.0.0.1.
//
// The constructor makes a fresh home directory, starts pyftpd_server.py with
// /usr/bin/python3 and waits for the port it prints; the destructor kills and reaps
// the server and removes the home directory. The server also ends by itself when this
// process goes away (its standard input closes) or after its maximum lifetime.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ftp/socket_fd.h"

namespace klv::testing {

struct PyFtpServerOptions {
    std::string user = "klv";
    std::string password = "secret";
    std::vector<std::string> subdirectories;  // made inside the home directory
    bool refusePort = false;                  // answer PORT with a 5xx reply
    long dieAfterBytes = 0;  // > 0: the server process ends once an upload brought this many
    int maxSeconds = 600;
};

class PyFtpServer {
public:
    // Throws std::runtime_error when the server cannot be started.
    explicit PyFtpServer(PyFtpServerOptions options = {});
    ~PyFtpServer();
    PyFtpServer(const PyFtpServer&) = delete;
    PyFtpServer& operator=(const PyFtpServer&) = delete;

    [[nodiscard]] unsigned port() const { return port_; }
    [[nodiscard]] const std::filesystem::path& home() const { return home_; }
    [[nodiscard]] const std::string& user() const { return options_.user; }
    [[nodiscard]] const std::string& password() const { return options_.password; }

private:
    void Start();
    void Stop();

    PyFtpServerOptions options_;
    std::filesystem::path home_;
    pid_t child_ = -1;
    ftp::UniqueFd stdinWrite_;  // closing it tells the server to end
    ftp::UniqueFd stdoutRead_;
    unsigned port_ = 0;
};

}  // namespace klv::testing
