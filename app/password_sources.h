// Where the command line takes a password from, never its own arguments: in this order,
// a file private to the user (--password-file, --blog-password-file), the environment
// (KLV_PASSWORD, KLV_BLOG_PASSWORD), the desktop keyring, and, when standard input is a
// terminal, a prompt that does not echo.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "installer/form.h"

namespace klv {
class CancelToken;
}

namespace klv::app {

// A file's first line (without its LF, or CR LF), when the file is a regular file owned
// by this user that no one else may read or write (mode 0600 or stricter). Otherwise
// nothing, and `failure` says why.
[[nodiscard]] std::optional<std::string> ReadPasswordFile(const std::string& path,
                                                          std::string& failure);

// Reads a line from the terminal on standard input with its echo off, after writing
// `prompt` to the terminal. Nothing when standard input is no terminal, at its end, or
// once `cancel` is cancelled; the terminal is left as it was in every case.
[[nodiscard]] std::optional<std::string> PromptWithoutEcho(const std::string& prompt,
                                                           const CancelToken& cancel);

// One password the command line needs, and where it may come from.
struct PasswordRequest {
    Control field;                    // Control::Password or Control::BlogPassword
    std::optional<std::string> file;  // the option's file
    const char* environment;          // the variable's name
    std::string keyringAccount;       // empty: the keyring is not asked
    std::string prompt;               // what the terminal prompt says
};

// Asks the sources of a command line run in order. The keyring is asked only until it
// has been found unavailable once, which is said once (on stderr).
class PasswordSources {
public:
    PasswordSources(const CancelToken& cancel, std::chrono::milliseconds keyringBound)
        : cancel_(cancel), keyringBound_(keyringBound) {}

    // The password, or nothing with the reason in `failure` (a file refused, or no
    // source at all).
    [[nodiscard]] std::optional<std::string> Get(const PasswordRequest& request,
                                                 std::string& failure);

private:
    const CancelToken& cancel_;
    std::chrono::milliseconds keyringBound_;
    bool keyringUnavailable_ = false;
};

}  // namespace klv::app
