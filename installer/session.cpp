#include "installer/session.h"

#include "base/cancel.h"
#include "ftp/leading_number.h"
#include "installer/workflows.h"

namespace klv {

namespace {

// The name a host is remembered by: as typed, with the port when it is not 21.
std::string HostKey(const InstallerContext& context, const SessionArguments& arguments) {
    return context.config.ftpPort == 21
               ? arguments.server
               : arguments.server + ":" + std::to_string(context.config.ftpPort);
}

ftp::LogonRequest LogonFor(const InstallerContext& context, const SessionArguments& arguments) {
    ftp::LogonRequest request;
    request.host = arguments.server;
    request.port = context.config.ftpPort;
    request.user = arguments.user;
    request.password = arguments.password;
    request.logonType = 0;  // straight to the server: USER, PASS, ACCT
    // TLS whenever the server offers it; never clear text again once it did.
    TrustStore& store = *context.shared.trustStore;
    const std::string host = HostKey(context, arguments);
    request.tls.attempt = true;
    request.tls.required = store.SpokeTls(host);
    request.tls.trustedFingerprint = store.TrustedFingerprint(host);
    request.tls.askTrust = [&context, &store, host](const ftp::CertificateInfo& certificate) {
        if (!context.window.TrustCertificate(certificate)) {
            return false;
        }
        store.TrustFingerprint(host, certificate.sha256Fingerprint);
        return true;
    };
    return request;
}

// Logs `client` on; a host that completed a TLS logon is remembered as one.
bool LogOnWithTls(const InstallerContext& context, const SessionArguments& arguments,
                  ftp::FtpClient& client) {
    if (!client.LogOn(LogonFor(context, arguments))) {
        return false;
    }
    if (client.tlsActive()) {
        context.shared.trustStore->RememberSpokeTls(HostKey(context, arguments));
    }
    return true;
}

// Reports a failed logon the way the user sees it: status text and one message box.
void ReportLogonFailure(const InstallerContext& context, const ftp::FtpClient& client) {
    context.shared.statusText = client.replyText();
    if (CancelRequested()) {
        return;  // the user stopped it: nothing to explain
    }
    context.window.ShowMessage(client.replyText());
}

// True when the last active-mode transfer failed only because the data connection
// could not be made: PORT refused, the server saying it cannot open the connection
// (425), or the connection never arriving.
bool ActiveDataConnectionFailed(const ftp::FtpClient& client) {
    switch (client.lastTransferStage()) {
        case ftp::TransferStage::DataSetup:
        case ftp::TransferStage::DataConnect:
            return true;
        case ftp::TransferStage::TransferCommand:
            return ftp::LeadingNumber(client.replyText()) == 425;
        default:
            return false;
    }
}

}  // namespace

std::pair<std::string_view, std::string_view> SplitRemotePath(std::string_view remotePath) {
    const std::size_t slash = remotePath.rfind('/');
    if (slash == std::string_view::npos) {
        return {std::string_view(), remotePath};
    }
    return {remotePath.substr(0, slash), remotePath.substr(slash + 1)};
}

bool StoreFile(ftp::FtpClient& client, const SessionArguments& arguments, bool& passiveFirst) {
    const ftp::TransferType type =
        arguments.binary != 0 ? ftp::TransferType::Image : ftp::TransferType::Ascii;
    if (!passiveFirst) {
        if (client.TransferFile(arguments.remotePath, arguments.localPath,
                                ftp::DataConnection::Active, ftp::Direction::Upload, type)) {
            return true;
        }
        if (!ActiveDataConnectionFailed(client) || CancelRequested()) {
            return false;
        }
        passiveFirst = true;
    }
    return client.TransferFile(arguments.remotePath, arguments.localPath,
                               ftp::DataConnection::Passive, ftp::Direction::Upload, type);
}

bool SessionLogOn(const InstallerContext& context, const SessionArguments& arguments) {
    ftp::FtpClient& client = context.shared.sharedClient;
    client.setIdleTimeout(context.config.idleTimeout);
    context.shared.sharedClientPassiveFirst = false;  // a new connection, maybe a new server
    if (LogOnWithTls(context, arguments, client)) {
        return true;
    }
    ReportLogonFailure(context, client);
    return false;
}

bool SessionLogOnAgain(const InstallerContext& context, const SessionArguments& arguments) {
    ftp::FtpClient& client = context.shared.sharedClient;
    if (LogOnWithTls(context, arguments, client)) {
        return true;
    }
    client.Disconnect();  // not logged on: nothing may go over this connection
    return false;
}

bool SessionPutPage(const InstallerContext& context, const SessionArguments& arguments) {
    return StoreFile(context.shared.sharedClient, arguments,
                     context.shared.sharedClientPassiveFirst);
}

void SessionLogOff(const InstallerContext& context) {
    context.shared.sharedClient.LogOff();
}

bool UploadOnce(const InstallerContext& context, const SessionArguments& arguments,
                UploadReport* report) {
    ftp::FtpClient client;
    client.setIdleTimeout(context.config.idleTimeout);
    if (!LogOnWithTls(context, arguments, client)) {
        ReportLogonFailure(context, client);
        if (CancelRequested()) {
            client.LogOff();  // a "QUIT" is tried, but not waited for
        }
        return false;  // the client's destruction closes what the logon left open
    }

    // Whatever becomes of the upload, the chmod is still tried: the transcript
    // shows the user every reply, and the user judges the result from it.
    bool passiveFirst = false;
    const bool landed = StoreFile(client, arguments, passiveFirst);
    std::string transcript = client.replyText();
    std::optional<std::string> chmodRefusal;
    if (arguments.chmodAfter == 1 && !CancelRequested()) {
        const auto [directory, fileName] = SplitRemotePath(arguments.remotePath);
        for (const std::string& command :
             {"CWD " + std::string(directory), "SITE chmod 755 " + std::string(fileName)}) {
            if (!client.Command(command) && landed && !chmodRefusal) {
                chmodRefusal = client.replyText();
            }
            transcript += " \n";
            transcript += client.replyText();
        }
    }
    if (report != nullptr) {
        *report = {landed, chmodRefusal, transcript};
    }

    context.shared.statusText = kScriptUploadHint;
    if (context.shared.showTranscript == 1 && !CancelRequested()) {
        context.window.ShowMessage(transcript);  // the connection stays open meanwhile
    }
    client.LogOff();
    return true;
}

}  // namespace klv
