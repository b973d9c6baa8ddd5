// The FTP session operations the workflows use: logging on (with TLS whenever the host
// offers it), putting files on the host, and the one-shot script upload that makes the
// script executable and keeps the server's replies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "installer/result.h"

namespace klv {

struct InstallerContext;

// Who logs on where.
struct Account {
    std::string server;
    std::string user;
    std::string password;
};

// A local file and where it goes, relative to the logon directory ("/" between
// directories), in which transfer type.
struct FileToPut {
    std::string localPath;
    std::string remotePath;
    ftp::TransferType type = ftp::TransferType::Ascii;
};

// One connection to the user's host, and what it learnt about the host's data
// connections: once an active one could not be made (behind NAT the server cannot reach
// us), later files go straight to passive mode instead of waiting for a connection that
// will not come again.
struct Session {
    ftp::FtpClient client;
    bool passiveFirst = false;
};

inline constexpr std::string_view kScriptUploadHint = "If Script Upload OK, Then Update Pages";

// The name the trust store knows the host of `account` by.
[[nodiscard]] std::string TrustKey(const InstallerContext& context, const Account& account);

// Logs `session` on (again, after its connection was lost); a host that completed a TLS logon is
// remembered as one. The failure's text is the server's refusal or the client's reason; the
// connection is then closed.
[[nodiscard]] Result LogOn(const InstallerContext& context, Session& session,
                           const Account& account);

// Puts `file` on the host over the session's connection: in active mode and, when the
// active data connection could not be made, once more in passive mode.
[[nodiscard]] Result PutFile(Session& session, const FileToPut& file);

// "QUIT" and close, without waiting for the reply.
void LogOff(Session& session);

// Whether PutScript shows the user the server's replies before it logs off.
enum class Transcript { Hidden, Shown };

// What became of PutScript.
struct ScriptUpload {
    Result logon = Result::Success();  // a refused logon ends it before anything is sent
    Result put = Result::Failure({});
    // With the file stored: the reply that refused the first of "CWD" and "SITE chmod".
    std::optional<std::string> chmodRefusal;
    // The server's replies to the transfer, "CWD" and "SITE chmod", in order.
    std::vector<std::string> replies;
};

// The replies as one text, the way the user reads them: " \n" between them.
[[nodiscard]] std::string TranscriptText(const std::vector<std::string>& replies);

// Logs on with a session of its own, puts the script, makes it executable ("CWD" into
// its directory, "SITE chmod 755"), shows the transcript when asked to (the connection
// stays open until the user has read it), logs off.
[[nodiscard]] ScriptUpload PutScript(const InstallerContext& context, const Account& account,
                                     const FileToPut& script, Transcript transcript);

// Splits a remote path at its last "/" into directory and file name.
std::pair<std::string_view, std::string_view> SplitRemotePath(std::string_view remotePath);

}  // namespace klv
