// What a whole Install Script or Update Pages run came to. The workflows return it; the
// window shows it with the texts the user knows (ShowInstallScriptResult,
// ShowUpdatePagesResult), and a program without a window can print it and turn it into
// an exit status.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace klv {

enum class RunOutcome {
    Done,          // every file landed; a refused chmod is only a warning
    FilesFailed,   // the host did not take some files (`failedFiles`, or the script's replies)
    Invalid,       // the form lacks what the run needs; nothing was fetched or sent
    Refused,       // the host could not be reached, or refused the logon, TLS or trust
    VendorFailed,  // the vendor's site did not deliver the script or the page list
    LocalFailure,  // a working file could not be read or written
    Cancelled,
};

// A file the host did not get, and why.
struct FailedFile {
    std::string name;
    std::string reason;
};

struct RunResult {
    RunOutcome outcome = RunOutcome::Done;
    // Why the run ended as it did (empty when there is nothing to add): the form's
    // refusal, the server's reply, the fetch's outcome.
    std::string text;
    // The server's replies to the last script upload, in order.
    std::vector<std::string> replies;
    // In the order the files came up.
    std::vector<FailedFile> failedFiles;
    // The reply that refused to make a stored script executable, the first one only.
    std::optional<std::string> chmodRefusal;
    // The set-up page to open once the scripts are on the host.
    std::optional<std::string> setupPage;
    // How far the run got: steps (Install Script) or pages (Update Pages) handled, of
    // how many; `total` is 0 until it is known.
    int done = 0;
    int total = 0;
};

// `result`, ended as `outcome` for the reason `text`.
[[nodiscard]] inline RunResult Ended(RunResult result, RunOutcome outcome, std::string text = {}) {
    result.outcome = outcome;
    result.text = std::move(text);
    return result;
}

}  // namespace klv
