// The two passwords in the desktop keyring, through QtKeychain (the Secret Service, or
// KWallet): under the service "klv", one entry per account, "ftp:USER@HOST:PORT" and
// "blog:USER@HOST:PORT". Nothing is ever written to a file of the program's own: no
// insecure fallback.
//
// QtKeychain's jobs answer through the event loop of the thread that started them (a
// QCoreApplication must exist). The window starts them and goes on; the command line
// waits for each, at most a bound, since a locked keyring may put up a prompt that
// nobody answers. Without a keyring (no session bus, as under cron) every job fails,
// with no more than a generic error: that is "unavailable".
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "installer/form.h"

namespace klv {
class CancelToken;
}

namespace klv::app {

inline constexpr std::string_view kKeyringService = "klv";

// The keyring's account of one password field (Control::Password or
// Control::BlogPassword) for `user` on the host that the form's "Server" names: "ftp:" or
// "blog:", the user, "@", and the host's HostKey (installer/server_address.h), so that
// every spelling of one host and port finds the same entry. Empty when `user` or the
// server is empty, or "Server" cannot be used: such a form has nothing in the keyring.
[[nodiscard]] std::string KeyringAccount(Control secretField, std::string_view user,
                                         std::string_view server, unsigned ftpPort);

enum class KeyringStatus {
    Ok,
    NotFound,     // read: no such entry
    Unavailable,  // no keyring, access refused, or no answer in time: `error` says which
};

struct KeyringAnswer {
    KeyringStatus status = KeyringStatus::Unavailable;
    std::string secret;  // what was read
    std::string error;
};

using KeyringDone = std::function<void(const KeyringAnswer&)>;

// Each starts one job and returns; `done` runs on this thread's event loop once the job
// has ended, unless `context` has gone by then.
void ReadFromKeyring(const std::string& account, QObject& context, KeyringDone done);
void WriteToKeyring(const std::string& account, const std::string& secret, QObject& context,
                    KeyringDone done);
void RemoveFromKeyring(const std::string& account, QObject& context, KeyringDone done);

// One of the above, waited for in a local event loop: at most `bound`, or until `cancel`
// (when given) is cancelled; either ends as Unavailable.
using KeyringJob = std::function<void(QObject& context, KeyringDone done)>;
[[nodiscard]] KeyringAnswer WaitForKeyring(const KeyringJob& job, std::chrono::milliseconds bound,
                                           const CancelToken* cancel = nullptr);

// Whether the window stores the passwords in the keyring ("Remember Passwords in
// Keyring"), kept in klv.conf; off unless turned on.
[[nodiscard]] bool RememberPasswordsInKeyring();
void SetRememberPasswordsInKeyring(bool remember);

}  // namespace klv::app
