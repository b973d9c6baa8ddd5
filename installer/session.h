// The FTP session operations the workflows use: a logon, page uploads and a logoff on
// the shared client (one control connection for a whole page list), and a one-shot
// upload with its own client that makes the script executable and keeps a transcript.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ftp/ftp_client.h"

namespace klv {

struct InstallerContext;

// One argument list for all four operations; each uses only some of the seven.
struct SessionArguments {
    std::string server;
    std::string user;
    std::string password;
    std::string localPath;
    std::string remotePath;  // relative to the logon directory, "/" between directories
    int binary = 0;          // nonzero: "TYPE I"
    int chmodAfter = 0;      // exactly 1: "CWD" into the file's directory, then "SITE chmod 755"
};

inline constexpr std::string_view kScriptUploadHint = "If Script Upload OK, Then Update Pages";

// Logs the shared client on. On failure the reason goes to statusText and into one
// message box, and the result is false.
[[nodiscard]] bool SessionLogOn(const InstallerContext& context, const SessionArguments& arguments);

// Logs the shared client on once more after its connection was lost, with no message
// box and statusText untouched. On failure the connection is closed and the reason
// stays in the shared client's replyText().
[[nodiscard]] bool SessionLogOnAgain(const InstallerContext& context,
                                     const SessionArguments& arguments);

// Uploads one page over the shared client's connection. False when it did not land;
// the reason is then the shared client's replyText().
[[nodiscard]] bool SessionPutPage(const InstallerContext& context,
                                  const SessionArguments& arguments);

// "QUIT" and close, without waiting for the reply.
void SessionLogOff(const InstallerContext& context);

// What became of UploadOnce's upload after a good logon.
struct UploadReport {
    bool landed = false;  // stored
    // With chmodAfter 1 and the file stored: the reply that refused the first of "CWD"
    // and "SITE chmod", if one was refused.
    std::optional<std::string> chmodRefusal;
    std::string transcript;  // the server's replies, " \n" between them
};

// Logs on with a client of its own, uploads, optionally makes the file executable,
// shows the transcript while showTranscript is 1, logs off. True when the logon
// succeeded, whatever became of the upload; `report`, when given, tells that.
[[nodiscard]] bool UploadOnce(const InstallerContext& context, const SessionArguments& arguments,
                              UploadReport* report = nullptr);

// Splits a remote path at its last "/" into directory and file name.
std::pair<std::string_view, std::string_view> SplitRemotePath(std::string_view remotePath);

// Uploads in active mode and, when the active data connection could not be made
// (behind NAT the server cannot reach us), once more in passive mode. `passiveFirst`
// carries that finding from one upload to the next on the same connection: once set,
// uploads go straight to passive mode instead of waiting for a connection that will
// not come again.
[[nodiscard]] bool StoreFile(ftp::FtpClient& client, const SessionArguments& arguments,
                             bool& passiveFirst);

}  // namespace klv
