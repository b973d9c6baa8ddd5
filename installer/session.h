// The session operations the workflows use, over FTP and SFTP alike: logging on (FTP with
// TLS whenever the host offers it; SFTP with the host key known, trusted or accepted by the
// user), putting files on the host, making a script executable, and the one-shot script
// upload that does both and keeps the server's replies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/sftp_client.h"
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

// One connection to the user's host, over the protocol its last logon used. For FTP, what
// it learnt about the host's data connections: once an active one could not be made
// (behind NAT the server cannot reach us), later files go straight to passive mode instead
// of waiting for a connection that will not come again.
struct Session {
    ftp::FtpClient client;
    bool passiveFirst = false;
    sftp::SftpClient sftp;
    bool overSftp = false;  // the last LogOn was to an sftp:// server

    // Logged on, and the connection still there.
    [[nodiscard]] bool connected() const {
        return overSftp ? sftp.connected() : client.connected();
    }
    // The last reply or result line: the transcript's next line.
    [[nodiscard]] const std::string& lastReply() const {
        return overSftp ? sftp.replyText() : client.replyText();
    }
};

inline constexpr std::string_view kScriptUploadHint = "If Script Upload OK, Then Update Pages";

// The name the trust store knows the host of `account` by: the HostKey
// (installer/server_address.h) of its server as ParseServer reads it.
[[nodiscard]] std::string TrustKey(const InstallerContext& context, const Account& account);

// Logs `session` on (again, after its connection was lost) to the server "Server" names.
// FTP: a host that completed a TLS logon is remembered as one. SFTP (sftp://): the password,
// or keyboard-interactive answered with it; the host key is taken when
// $HOME/.ssh/known_hosts or /etc/ssh/ssh_known_hosts knows it (read, never written) or the
// trust store holds it under the host key, else the window asks, and a key the user trusts
// is kept in the store. The failure's text is the server's refusal or the client's reason;
// the connection is then closed.
[[nodiscard]] Result LogOn(const InstallerContext& context, Session& session,
                           const Account& account);

// Puts `file` on the host over the session's connection. FTP: in active mode and, when the
// active data connection could not be made, once more in passive mode. SFTP: an ASCII file
// with each CR LF made LF, an image byte for byte.
[[nodiscard]] Result PutFile(Session& session, const FileToPut& file);

// The directory the logon landed in, as the host names it: the quoted path of PWD's reply
// over FTP, the canonical path of "." over SFTP.
[[nodiscard]] Result LoginDirectory(Session& session, std::string& directory);

// The regular files of `directory` (relative to the logon directory, or absolute) with
// their size and modification time as the host lists them. FTP: MLSD when offered, else
// LIST, over a data connection made as PutFile makes it, active first and then passive.
[[nodiscard]] Result ListDirectory(Session& session, const std::string& directory,
                                   std::vector<ftp::ListedFile>& files);

// Makes the file at `remotePath` executable, mode 755. FTP: "CWD" into its directory and
// "SITE chmod 755"; SFTP: setstat. Each reply (result line) goes onto `replies`; the first
// refusal comes back.
std::optional<std::string> MakeExecutable(Session& session, const std::string& remotePath,
                                          std::vector<std::string>& replies);

// Says goodbye ("QUIT", SSH's disconnect) and closes, without waiting for an answer.
void LogOff(Session& session);

// Whether PutScript shows the user the server's replies before it logs off.
enum class Transcript { Hidden, Shown };

// What became of PutScript.
struct ScriptUpload {
    Result logon = Result::Success();  // a refused logon ends it before anything is sent
    Result put = Result::Failure({});
    // With the file stored: the reply that refused to make it executable (the first of
    // "CWD" and "SITE chmod" over FTP).
    std::optional<std::string> chmodRefusal;
    // The server's replies to the transfer, "CWD" and "SITE chmod", in order; over SFTP
    // "put PATH: OK" and "chmod 0755 PATH: OK" or the reason.
    std::vector<std::string> replies;
};

// The replies as one text, the way the user reads them: " \n" between them.
[[nodiscard]] std::string TranscriptText(const std::vector<std::string>& replies);

// Logs on with a session of its own, puts the script, makes it executable
// (MakeExecutable), shows the transcript when asked to (the connection stays open until
// the user has read it), logs off.
[[nodiscard]] ScriptUpload PutScript(const InstallerContext& context, const Account& account,
                                     const FileToPut& script, Transcript transcript);

// Splits a remote path at its last "/" into directory and file name.
std::pair<std::string_view, std::string_view> SplitRemotePath(std::string_view remotePath);

}  // namespace klv
