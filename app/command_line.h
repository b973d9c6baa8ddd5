// klv without the window: `klv install-script` and `klv update-pages` for cron and
// scripts. Everything runs on the calling thread, with a QCoreApplication only (for the
// keyring's event loop): no QGuiApplication, no platform plugin, no display. The form's
// values come from the options, else from what the window remembers (klv.conf), else the
// window's defaults; the passwords come from app/password_sources.h. SIGINT and SIGTERM
// cancel the run, which then closes its sessions and removes its working files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "installer/config.h"
#include "installer/form.h"
#include "installer/run_result.h"

namespace klv::app {

// The exit statuses of the command line.
enum ExitStatus : int {
    kExitDone = 0,           // every file landed (warnings allowed)
    kExitFilesFailed = 1,    // some files did not land, or a local failure
    kExitUsage = 2,          // a usage or validation error, or no password source
    kExitRefused = 3,        // connection, logon, TLS or trust refused
    kExitVendorFailed = 4,   // the vendor's site did not deliver
    kExitInterrupted = 130,  // after SIGINT
    kExitTerminated = 143,   // after SIGTERM
};

enum class Command { Window, InstallScript, UpdatePages, Help, Version };

// What the arguments ask for.
struct CommandLine {
    Command command = Command::Window;
    bool commandHelp = false;                             // `klv COMMAND --help`
    std::vector<std::pair<Control, std::string>> fields;  // in the order given
    std::optional<std::string> passwordFile;
    std::optional<std::string> blogPasswordFile;
    std::vector<std::string> trusted;  // --trust, as given
    bool quiet = false;
    bool open = false;
    // Not empty for a usage error: what is wrong. `command` then says whose usage to show.
    std::string error;
};

// Parses argv[1..].
[[nodiscard]] CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The usage of `command` (Command::Help: of the whole program).
[[nodiscard]] std::string Usage(Command command);

// "SHA256:" and the unpadded base64 of the digest, as OpenSSH prints one, from the colon
// hex form the TLS layer gives; empty for anything else.
[[nodiscard]] std::string OpenSshFingerprint(const std::string& colonHex);
// Whether `given` (either form, any case of hex) names the fingerprint `colonHex`.
[[nodiscard]] bool SameFingerprint(const std::string& given, const std::string& colonHex);

// The exit status of a run that ended as `result` after signal `signal` (0: none).
[[nodiscard]] int ExitStatusOf(const RunResult& result, int signal);

// The whole program: the window without arguments, else the command line. Returns the
// process's exit status.
int Main(int argc, char** argv, const Config& config);

}  // namespace klv::app
