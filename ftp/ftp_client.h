// FtpClient: one conversation with one FTP server over one control connection.
//
// Every operation that can fail returns true on success and false on failure, and
// leaves the reason in replyText(): the server's last reply line or one of the fixed
// texts below. Nothing throws.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "base/wait.h"
#include "ftp/certificate.h"
#include "ftp/line_channel.h"
#include "ftp/listing.h"

namespace klv::ftp {

namespace tls {
class ControlTls;
}

// The client's own failure texts.
inline constexpr std::string_view kUnableToCreateSocket = "Unable to create socket";
inline constexpr std::string_view kUnableToConnect = "Unable to connect to server";
inline constexpr std::string_view kNetworkError = "Network error";
inline constexpr std::string_view kLogonFailed = "Logon failed";
inline constexpr std::string_view kUnableToOpenLocalFile = "Unable to open file on local machine";
inline constexpr std::string_view kFileError = "File error";
// SendLine refuses a line that would smuggle a second command onto the connection.
inline constexpr std::string_view kCommandHasLineBreak =
    "Command refused: it contains a line break";
inline constexpr std::string_view kCommandHasNul = "Command refused: it contains a NUL byte";
// TLS: a host that spoke TLS before and now refuses it may be an attacker in the middle.
inline constexpr std::string_view kTlsDowngrade =
    "The server used encryption (TLS) before and now does not; logon stopped, nothing was "
    "sent in clear text";
inline constexpr std::string_view kCertificateNotTrusted =
    "The server's certificate was not trusted; logon cancelled";
inline constexpr std::string_view kTlsReplyInjected =
    "The server sent data before the TLS handshake; logon stopped";

// The longest a read, an accept or a connect waits while nothing at all arrives. A
// transfer that keeps moving is never cut off: the bound is per wait.
inline constexpr std::chrono::milliseconds kIdleTimeout = std::chrono::seconds(120);

// The most a directory listing may hold; a longer one fails with kListingTooLarge.
inline constexpr std::size_t kMaxListingBytes = std::size_t{16} << 20;
inline constexpr std::string_view kListingTooLarge = "The directory listing is larger than 16 MiB";

// The most lines one reply may have; a longer one is a "Network error".
inline constexpr std::size_t kMaxReplyLines = 1000;

// PORT or PASV on IPv4; EPRT or EPSV (RFC 2428) on IPv6.
enum class DataConnection { Active, Passive };
enum class TransferType { Ascii, Image };  // TYPE A or TYPE I

// How a host is named to gateways and to the user: as given (an IPv6 address in
// brackets when a port follows), with ":port" when the port is not 21.
[[nodiscard]] std::string HostText(const std::string& host, unsigned port);

// What LogOn dials and sends. Types 1 to 8 dial the firewall; see logon_table.h.
struct LogonRequest {
    std::string host;
    unsigned port = 21;
    std::string user;
    std::string password;
    std::string account;
    std::string firewallHost;
    std::string firewallUser;
    std::string firewallPassword;
    unsigned firewallPort = 0;
    int logonType = 0;
    TlsOptions tls;  // logon type 0 only
};

// The step at which the last Put or List stopped, so that a caller can tell a data
// connection that could not be made from a file the server refused.
enum class TransferStage {
    Done,             // the closing reply was of class 2
    LocalFile,        // the local file could not be opened
    Type,             // TYPE (FEAT before a listing) was refused or line I/O failed
    DataSetup,        // PASV/PORT refused, or the local data socket failed
    TransferCommand,  // STOR (MLSD, LIST) could not be sent, or its reply was not of class 1
    DataConnect,      // the data connection could not be made or accepted
    Copy,             // the local file failed, the data connection broke off or the
                      // listing was too large
    ClosingReply,     // the closing reply was not of class 2
};

class FtpClient {
public:
    FtpClient();
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Opens the control connection (releasing one still held) and reads nothing. Every
    // address of `host`, of both families, is tried as tcp::ConnectFirst tries them.
    [[nodiscard]] bool Connect(const std::string& host, unsigned port);
    // Closes the control connection without a word to the server. Repeatable.
    void Disconnect();
    // Sends `line` and CR LF. A line holding CR, LF or NUL is refused and nothing is sent.
    [[nodiscard]] bool SendLine(std::string_view line);
    // Reads one line into replyText(); a line over kMaxLineLength bytes fails the read.
    // A failed read closes the control connection: what it left unread would be taken
    // for the next reply.
    [[nodiscard]] bool ReadLine();
    // Reads one whole reply, single-line or multi-line; replyText() holds its last line,
    // `lines` (when given) every line. The whole reply must come within the idle bound and
    // kMaxReplyLines lines, else it is a "Network error" and the control connection is
    // closed.
    [[nodiscard]] bool ReadReply(std::vector<std::string>* lines = nullptr);
    // Sends `command` (nothing when empty), reads one reply; true only for class 2.
    [[nodiscard]] bool Command(std::string_view command);
    // Sends "QUIT" without waiting for its reply, then disconnects.
    void LogOff();

    // Connects and walks the logon sequence of request.logonType (0 to 8); with
    // request.tls.implicit, through TLS from the greeting on.
    [[nodiscard]] bool LogOn(LogonRequest request);

    // Puts the local file at `localPath` on the server as `remoteName` (STOR) over a
    // data connection. A passive connection goes to the control connection's peer (only
    // the port is taken from the PASV reply); an active one is accepted only from that
    // peer. True only when every byte went out and the closing reply is of class 2;
    // lastTransferStage() tells where it stopped.
    [[nodiscard]] bool Put(const std::string& remoteName, const std::string& localPath,
                           DataConnection dataConnection, TransferType type);

    // The directory the logon landed in, from the 257 reply to PWD. False on a refusal or
    // a reply without a quoted directory, the reply in replyText().
    [[nodiscard]] bool PrintWorkingDirectory(std::string& directory);

    // The regular files of `directory` (relative to the logon directory, or absolute) over
    // a data connection made as Put makes it: MLSD when the server's FEAT lists MLST (asked
    // once per connection), else LIST. A listing over kMaxListingBytes fails.
    // lastTransferStage() tells where it stopped, as after Put.
    [[nodiscard]] bool List(const std::string& directory, DataConnection dataConnection,
                            std::vector<ListedFile>& files);

    [[nodiscard]] const std::string& replyText() const { return replyText_; }
    [[nodiscard]] TransferStage lastTransferStage() const { return lastTransferStage_; }
    [[nodiscard]] bool connected() const;
    // True while the control connection runs TLS (and every data connection with it).
    [[nodiscard]] bool tlsActive() const { return tls_ != nullptr; }
    // The numeric address the control connection reached ("192.0.2.7", "2001:db8::1");
    // empty when not connected.
    [[nodiscard]] const std::string& peerAddress() const { return peerAddress_; }

    // The idle bound of every later wait (kIdleTimeout unless changed; tests lower it).
    void setIdleTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] std::chrono::milliseconds idleTimeout() const { return idleTimeout_; }

private:
    struct DataConnectionPlan;
    struct DataChannel;

    // "AUTH TLS" and, on 234, StartTls.
    [[nodiscard]] bool SecureControlConnection(const LogonRequest& request,
                                               const std::string& hostText, bool required);
    // The handshake on the control connection and the judgement of the certificate;
    // from then on every line goes through TLS. False, disconnected, on failure.
    [[nodiscard]] bool StartTls(const LogonRequest& request, const std::string& hostText,
                                bool required);

    [[nodiscard]] bool PrepareDataConnection(DataConnection dataConnection,
                                             DataConnectionPlan& plan);
    [[nodiscard]] UniqueFd AwaitActiveConnection(DataConnectionPlan& plan);
    // Sends `command` (STOR, MLSD, LIST) and makes its data connection, through TLS when
    // the control connection runs it: Done, or the stage where it stopped.
    [[nodiscard]] TransferStage OpenDataConnection(DataConnection dataConnection,
                                                   const std::string& command,
                                                   DataChannel& channel);
    [[nodiscard]] bool CopyUpload(int file, int data, SSL* dataTls, std::span<char> buffer);
    // Reads the data connection to its end into `bytes`, at most kMaxListingBytes.
    [[nodiscard]] bool CopyListing(const DataChannel& channel, std::string& bytes);
    // Whether the server's FEAT lists MLST; nothing when FEAT could not be asked.
    [[nodiscard]] std::optional<bool> MlsdOffered();
    bool EndTransfer(TransferStage stage);
    // A reply may still be on its way that nobody will read (the command was sent but
    // its exchange broke off): the control connection is closed so that no later
    // command takes that reply for its own.
    void FailOutOfStep(std::string_view text);
    // Ends a conversation that is out of step, unless the run was cancelled.
    void EndOutOfStep();

    std::string replyText_;
    std::string peerAddress_;
    TransferStage lastTransferStage_ = TransferStage::Done;
    std::chrono::milliseconds idleTimeout_ = kIdleTimeout;
    // When the reply now awaited must be complete: the idle bound from the command that
    // asked for it (from the connect, for the greeting).
    Deadline replyDeadline_{};
    // The type the server last acknowledged on this connection; a new connection knows
    // none. TYPE goes out only when a transfer needs another one.
    std::optional<TransferType> acknowledgedType_;
    // What FEAT said of MLST on this connection; a new connection asks again.
    std::optional<bool> mlsdOffered_;

    // The control connection, in the order Connect makes its parts; members are destroyed
    // in reverse, which is the order Disconnect releases them.
    UniqueFd controlSocket_;
    std::unique_ptr<tls::ControlTls> tls_;  // set once "AUTH TLS" succeeded
    std::optional<SocketSource> controlSource_;
    std::optional<LineReader> reader_;
    std::optional<LineWriter> writer_;
};

}  // namespace klv::ftp
