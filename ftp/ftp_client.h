// FtpClient: one conversation with one FTP server over one control connection.
//
// Every operation that can fail returns true on success and false on failure, and
// leaves the reason in replyText(): the server's last reply line or one of the fixed
// texts below. Nothing throws.
#pragma once

#include <string>
#include <string_view>

namespace klv::ftp {

// The client's own failure texts.
inline constexpr std::string_view kUnableToCreateSocket = "Unable to create socket";
inline constexpr std::string_view kUnableToConnect = "Unable to connect to server";
inline constexpr std::string_view kNetworkError = "Network error";
inline constexpr std::string_view kLogonFailed = "Logon failed";
inline constexpr std::string_view kUnableToOpenLocalFile = "Unable to open file on local machine";
inline constexpr std::string_view kFileError = "File error";

enum class DataConnection { Active, Passive };  // PORT or PASV
enum class Direction { Upload, Download };      // STOR or RETR
enum class TransferType { Ascii, Image };       // TYPE A or TYPE I

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
};

// The step at which the last TransferFile stopped, so that a caller can tell a data
// connection that could not be made from a file the server refused.
enum class TransferStage {
    Done,             // the closing reply was of class 2
    LocalFile,        // the local file could not be opened
    Type,             // TYPE was refused or line I/O failed
    DataSetup,        // PASV/PORT refused, or the local data socket failed
    TransferCommand,  // RETR/STOR could not be sent, or its reply was not of class 1
    DataConnect,      // the data connection could not be made or accepted
    Copy,             // the local file failed, or the data connection broke off
    ClosingReply,     // the closing reply was not of class 2
};

class FtpClient {
public:
    FtpClient();
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    [[nodiscard]] bool Connect(const std::string& host, unsigned port);
    void Disconnect();
    [[nodiscard]] bool SendLine(std::string_view line);
    [[nodiscard]] bool ReadLine();
    [[nodiscard]] bool ReadReply();
    // Sends `command` (nothing when empty), reads one reply; true only for class 2.
    [[nodiscard]] bool Command(std::string_view command);
    // Sends "QUIT" without waiting for its reply, then disconnects.
    void LogOff();

    [[nodiscard]] bool LogOn(LogonRequest request);

    [[nodiscard]] bool TransferFile(const std::string& remoteName, const std::string& localPath,
                                    DataConnection dataConnection, Direction direction,
                                    TransferType type);

    [[nodiscard]] const std::string& replyText() const { return replyText_; }
    [[nodiscard]] int replyDigit() const { return replyDigit_; }
    [[nodiscard]] TransferStage lastTransferStage() const { return lastTransferStage_; }
    [[nodiscard]] bool connected() const;

private:
    std::string replyText_;
    int replyDigit_ = 0;
    TransferStage lastTransferStage_ = TransferStage::Done;
    // The control connection's parts are declared by the implementation.
};

}  // namespace klv::ftp
