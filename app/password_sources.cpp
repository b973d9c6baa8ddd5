#include "app/password_sources.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/keyring.h"
#include "base/cancel.h"
#include "base/unique_fd.h"

namespace klv::app {

namespace {

// A password file is a line; anything much longer is not one.
constexpr std::size_t kMostFileBytes = 4096;

std::string FirstLine(std::string text) {
    if (const std::size_t end = text.find('\n'); end != std::string::npos) {
        text.resize(end);
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& failure) {
    // O_NONBLOCK: a FIFO planted under the name must not hold the run up; it is refused
    // below as not a regular file.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0) {
        failure = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        failure = path + ": not a regular file";
        return std::nullopt;
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        failure = path + ": refused, since others may read or change it (mode " + mode +
                  (status.st_uid != ::geteuid() ? ", owned by another user" : "") +
                  "); it must be yours and mode 0600 or stricter (chmod 600 " + path + ")";
        return std::nullopt;
    }
    std::string text;
    char buffer[1024];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failure = path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMostFileBytes) {
            failure = path + ": too long for a password file";
            return std::nullopt;
        }
    }
    return FirstLine(std::move(text));
}

std::optional<std::string> PromptWithoutEcho(const std::string& prompt, const CancelToken& cancel) {
    if (::isatty(STDIN_FILENO) == 0) {
        return std::nullopt;
    }
    termios before{};
    if (::tcgetattr(STDIN_FILENO, &before) != 0) {
        return std::nullopt;
    }
    // The prompt goes to the terminal itself, so that a log of standard error stays clean.
    const UniqueFd tty(::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY));
    const int out = tty ? tty.get() : STDERR_FILENO;
    (void)!::write(out, prompt.data(), prompt.size());

    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    bool complete = false;
    while (!complete && !cancel.cancelled()) {
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {cancel.wakeFd(), POLLIN, 0}};
        const int ready = ::poll(waits, cancel.wakeFd() >= 0 ? 2 : 1, 200);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0 || (waits[0].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got <= 0) {
            break;  // end of input
        }
        if (c == '\n') {
            complete = true;
        } else {
            line += c;
        }
    }
    (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    if (!complete) {
        (void)!::write(out, "\n", 1);
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> PasswordSources::Get(const PasswordRequest& request,
                                                std::string& failure) {
    if (request.file) {
        return ReadPasswordFile(*request.file, failure);
    }
    if (const char* value = std::getenv(request.environment)) {
        std::string password(value);
        // Not handed on to a program the run starts (the browser).
        (void)::unsetenv(request.environment);
        return password;
    }
    if (!request.keyringAccount.empty() && !keyringUnavailable_ && !cancel_.cancelled()) {
        const std::string& account = request.keyringAccount;
        const KeyringAnswer answer = WaitForKeyring(
            [&account](QObject& context, KeyringDone done) {
                ReadFromKeyring(account, context, std::move(done));
            },
            keyringBound_, &cancel_);
        if (answer.status == KeyringStatus::Ok) {
            return answer.secret;
        }
        if (answer.status == KeyringStatus::Unavailable && !cancel_.cancelled()) {
            keyringUnavailable_ = true;
            std::fprintf(stderr, "klv: the desktop keyring is not available (%s); not asking it\n",
                         answer.error.c_str());
        }
    }
    if (!cancel_.cancelled()) {
        if (std::optional<std::string> typed = PromptWithoutEcho(request.prompt, cancel_)) {
            return typed;
        }
    }
    if (cancel_.cancelled()) {
        failure = "cancelled";
        return std::nullopt;
    }
    const bool blog = request.field == Control::BlogPassword;
    failure = std::string("no ") + (blog ? "blog password" : "FTP password") + ": give it with " +
              (blog ? "--blog-password-file" : "--password-file") + " FILE (mode 0600) or in " +
              request.environment +
              ", keep it in the desktop keyring, or run on a terminal to be asked";
    return std::nullopt;
}

}  // namespace klv::app
