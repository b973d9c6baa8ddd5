// SftpClient: one SSH connection to one host and one SFTP session over it (libssh), for as
// many files as a run puts: never a new SSH session per file.
//
// The program makes the TCP connection itself (base/resolver.h, ftp/tcp_socket.h: the idle
// bound and Cancel hold as they do for FTP) and hands libssh a copy of the socket
// (SSH_OPTIONS_FD). The key exchange and the logon run with libssh's session
// non-blocking, every wait between its steps in WaitFor (base/wait.h). libssh's SFTP calls
// wait inside libssh, so they run under a BlockingCaller (ftp/blocking_call.h), which
// shuts the socket down on Cancel or at the idle bound.
//
// A host key is accepted when a known_hosts file or the program's own store knows it;
// otherwise the user is asked (HostKeyTrust::askTrust), and a refusal ends the connection
// before anything is sent after the key exchange: no user name, no password.
//
// Every operation returns true on success and false on failure, and leaves a line for the
// user in replyText(): "put www/klv/a.html: OK", "chmod 0755 klv.cgi: Permission denied",
// or why the logon failed (the client's texts below and in ftp/ftp_client.h, or the
// server's or libssh's reason). Nothing throws. Paths go to the server as given: relative
// to the directory the logon lands in, absolute when they start with "/".
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/blocking_call.h"
#include "ftp/ftp_client.h"
#include "ftp/host_key.h"
#include "ftp/listing.h"

namespace klv::sftp {

inline constexpr std::string_view kHostKeyNotTrusted =
    "The server's host key was not trusted; logon cancelled, nothing was sent";
inline constexpr std::string_view kHostKeyChanged =
    "The server's host key has CHANGED since it was last known, and it was not trusted; "
    "logon cancelled, nothing was sent";
inline constexpr std::string_view kNoPasswordLogon =
    "The server takes neither a password nor keyboard-interactive logon";

// The mode a script is given on the host (what FTP's "SITE chmod 755" asks for).
inline constexpr unsigned kExecutableMode = 0755;

struct LogonRequest {
    std::string host;
    unsigned port = 22;
    std::string user;
    std::string password;
    HostKeyTrust trust;
};

class SftpClient {
public:
    SftpClient();
    ~SftpClient();
    SftpClient(const SftpClient&) = delete;
    SftpClient& operator=(const SftpClient&) = delete;

    // Connects, checks the host key, logs on with the password ("password", or else
    // "keyboard-interactive" with the password as every answer) and starts SFTP. A
    // connection still held is closed first.
    [[nodiscard]] bool LogOn(const LogonRequest& request);

    // Puts the local file at `localPath` on the host as `remotePath`, created or
    // truncated, mode 0644 less the server's umask. Ascii: every CR LF goes up as LF (SFTP
    // has no ASCII mode); Image: byte for byte.
    [[nodiscard]] bool Put(const std::string& remotePath, const std::string& localPath,
                           ftp::TransferType type);
    // Gives `remotePath` mode 0755 (SFTP setstat).
    [[nodiscard]] bool MakeExecutable(const std::string& remotePath);

    // The directory the logon landed in, absolute, as the server names "." (realpath).
    [[nodiscard]] bool LoginDirectory(std::string& directory);
    // The regular files of `directory`, their modification times in decimal seconds. A
    // listing whose names pass ftp::kMaxListingBytes fails.
    [[nodiscard]] bool List(const std::string& directory, std::vector<ftp::ListedFile>& files);

    // Ends the SFTP session and says goodbye (SSH_MSG_DISCONNECT), waiting for no answer,
    // then closes.
    void LogOff();
    // Closes the connection without a word to the server. Repeatable.
    void Disconnect();

    [[nodiscard]] bool connected() const;
    [[nodiscard]] const std::string& replyText() const { return replyText_; }

    // The idle bound of every later wait (ftp::kIdleTimeout unless changed; tests lower it).
    void setIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }
    [[nodiscard]] std::chrono::milliseconds idleTimeout() const { return idleTimeout_; }

private:
    struct Connection;

    [[nodiscard]] bool Handshake(const LogonRequest& request);
    [[nodiscard]] bool HostKeyAccepted(const LogonRequest& request);
    [[nodiscard]] bool Authenticate(const LogonRequest& request);
    // Nothing when a wait ended first (as Drive).
    [[nodiscard]] std::optional<int> KeyboardInteractive(const std::string& password);
    [[nodiscard]] bool StartSftp();
    // Calls the non-blocking `step` until it answers other than `again`, waiting in
    // WaitFor in between; nothing when the wait ended first (replyText set, connection
    // closed).
    template <typename Step>
    [[nodiscard]] std::optional<int> Drive(Step step, int again);
    // Runs a call that waits inside libssh under the BlockingCaller. False when it was cut
    // off (Cancel, the idle bound); the connection is then closed.
    [[nodiscard]] bool Call(const std::function<void()>& call);
    // After a failed SFTP call on `what`: "what: reason", or "Network error" when the
    // connection is gone (it is then marked lost).
    [[nodiscard]] std::string Failure(std::string_view what);
    // Failure's text in replyText, the connection closed when it is lost; false.
    bool Fail(std::string_view what);
    // The reason libssh gives for the last failure, without its "SFTP server: " prefix;
    // empty when it gives none.
    [[nodiscard]] std::string LibsshReason() const;
    // The same for a failed logon step, "Logon failed" when libssh gives none.
    [[nodiscard]] std::string LogonReason() const;

    std::string replyText_;
    std::chrono::milliseconds idleTimeout_ = ftp::kIdleTimeout;
    std::unique_ptr<Connection> connection_;
};

}  // namespace klv::sftp
