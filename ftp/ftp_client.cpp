// PLACEHOLDER: replaced by the real client.
#include "ftp/ftp_client.h"

namespace klv::ftp {
FtpClient::FtpClient() = default;
FtpClient::~FtpClient() = default;
bool FtpClient::Connect(const std::string&, unsigned) { return false; }
void FtpClient::Disconnect() {}
bool FtpClient::SendLine(std::string_view) { return false; }
bool FtpClient::ReadLine() { return false; }
bool FtpClient::ReadReply() { return false; }
bool FtpClient::Command(std::string_view) { return false; }
void FtpClient::LogOff() {}
bool FtpClient::LogOn(LogonRequest) { return false; }
bool FtpClient::TransferFile(const std::string&, const std::string&, DataConnection, Direction,
                             TransferType) {
    return false;
}
bool FtpClient::connected() const { return false; }
}  // namespace klv::ftp
