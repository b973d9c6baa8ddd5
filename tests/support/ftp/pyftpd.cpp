#include "tests/support/ftp/pyftpd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace klv::testing {

namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr int kStartupMilliseconds = 20000;

std::filesystem::path MakeTempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "klv-pyftpd-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// Reads the first line the server prints, within a bound.
std::string ReadFirstLine(int fd) {
    std::string line;
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, kStartupMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            throw std::runtime_error("pyftpdlib did not report its port in time");
        }
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw std::runtime_error("pyftpdlib ended before reporting its port");
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

}  // namespace

PyFtpServer::PyFtpServer(PyFtpServerOptions options) : options_(std::move(options)) {
    try {
        Start();
    } catch (...) {
        Stop();
        throw;
    }
}

PyFtpServer::~PyFtpServer() {
    Stop();
}

void PyFtpServer::Start() {
    home_ = MakeTempDirectory();
    for (const std::string& subdirectory : options_.subdirectories) {
        std::filesystem::create_directories(home_ / subdirectory);
    }

    int toChild[2] = {-1, -1};
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    ftp::UniqueFd childStdin(toChild[0]);
    stdinWrite_.reset(toChild[1]);
    int fromChild[2] = {-1, -1};
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    stdoutRead_.reset(fromChild[0]);
    ftp::UniqueFd childStdout(fromChild[1]);

    std::vector<std::string> args = {kPython,         KLV_PYFTPD_SCRIPT,
                                     "--home",        home_.string(),
                                     "--user",        options_.user,
                                     "--password",    options_.password,
                                     "--max-seconds", std::to_string(options_.maxSeconds)};
    if (options_.refusePort) {
        args.emplace_back("--refuse-port");
    }
    if (options_.dieAfterBytes > 0) {
        args.emplace_back("--die-after-bytes");
        args.push_back(std::to_string(options_.dieAfterBytes));
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    child_ = ::fork();
    if (child_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child_ == 0) {
        // Only async-signal-safe calls between fork and exec. The server dies with us.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(childStdin.get(), STDIN_FILENO);
        ::dup2(childStdout.get(), STDOUT_FILENO);
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    childStdin.reset();
    childStdout.reset();

    const std::string line = ReadFirstLine(stdoutRead_.get());
    const long port = std::strtol(line.c_str(), nullptr, 10);
    if (port <= 0 || port > 65535) {
        throw std::runtime_error("pyftpdlib printed no port: " + line);
    }
    port_ = static_cast<unsigned>(port);
}

void PyFtpServer::Stop() {
    stdinWrite_.reset();
    if (child_ > 0) {
        ::kill(child_, SIGKILL);
        while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
    stdoutRead_.reset();
    if (!home_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
}

}  // namespace klv::testing
