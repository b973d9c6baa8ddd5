#include "installer/session.h"

#include "base/cancel.h"
#include "ftp/leading_number.h"
#include "ftp/socket_layer.h"
#include "installer/workflows.h"

namespace klv {

namespace {

ftp::LogonRequest LogonFor(const InstallerContext& context, const Account& account) {
    ftp::LogonRequest request;
    request.host = account.server;
    request.port = context.config.ftpPort;
    request.user = account.user;
    request.password = account.password;
    request.logonType = 0;  // straight to the server: USER, PASS, ACCT
    // TLS whenever the server offers it; never clear text again once it did.
    TrustStore& store = *context.shared.trustStore;
    const std::string key = TrustKey(context, account);
    request.tls.attempt = true;
    request.tls.required = store.SpokeTls(key);
    request.tls.trustedFingerprint = store.TrustedFingerprint(key);
    request.tls.askTrust = [&context, &store, key](const ftp::CertificateInfo& certificate) {
        if (!context.window.TrustCertificate(certificate)) {
            return false;
        }
        store.TrustFingerprint(key, certificate.sha256Fingerprint);
        return true;
    };
    return request;
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

Result Outcome(bool ok, const ftp::FtpClient& client) {
    return ok ? Result::Success() : Result::Failure(client.replyText());
}

}  // namespace

bool InitializeNetworking() {
    return ftp::InitializeSocketLayer();
}

std::string TrustKey(const InstallerContext& context, const Account& account) {
    return ftp::HostText(account.server, context.config.ftpPort);
}

std::pair<std::string_view, std::string_view> SplitRemotePath(std::string_view remotePath) {
    const std::size_t slash = remotePath.rfind('/');
    if (slash == std::string_view::npos) {
        return {std::string_view(), remotePath};
    }
    return {remotePath.substr(0, slash), remotePath.substr(slash + 1)};
}

std::string TranscriptText(const std::vector<std::string>& replies) {
    std::string text;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        text += i == 0 ? "" : " \n";
        text += replies[i];
    }
    return text;
}

Result LogOn(const InstallerContext& context, Session& session, const Account& account) {
    ftp::FtpClient& client = session.client;
    client.setIdleTimeout(context.config.idleTimeout);
    // passiveFirst stays: a fresh logon of the run reaches the same server.
    if (!client.LogOn(LogonFor(context, account))) {
        const Result refused = Outcome(false, client);
        if (!CancelRequested()) {
            client.Disconnect();  // not logged on: nothing may go over this connection
        }
        return refused;
    }
    // A host that completed a TLS logon is never again sent a password in clear text.
    if (client.tlsActive()) {
        context.shared.trustStore->RememberSpokeTls(TrustKey(context, account));
    }
    return Result::Success();
}

Result PutFile(Session& session, const FileToPut& file) {
    ftp::FtpClient& client = session.client;
    if (!session.passiveFirst) {
        if (client.Put(file.remotePath, file.localPath, ftp::DataConnection::Active, file.type)) {
            return Result::Success();
        }
        if (!ActiveDataConnectionFailed(client) || CancelRequested()) {
            return Outcome(false, client);
        }
        session.passiveFirst = true;
    }
    return Outcome(
        client.Put(file.remotePath, file.localPath, ftp::DataConnection::Passive, file.type),
        client);
}

void LogOff(Session& session) {
    session.client.LogOff();
}

ScriptUpload PutScript(const InstallerContext& context, const Account& account,
                       const FileToPut& script, Transcript transcript) {
    ScriptUpload upload;
    Session session;
    upload.logon = LogOn(context, session, account);
    if (!upload.logon.ok()) {
        if (CancelRequested()) {
            LogOff(session);  // a "QUIT" is tried, but not waited for
        }
        return upload;
    }

    // Whatever becomes of the upload, the chmod is still tried: the transcript shows the
    // user every reply, and the user judges the result from it.
    ftp::FtpClient& client = session.client;
    upload.put = PutFile(session, script);
    upload.replies.push_back(client.replyText());
    if (!CancelRequested()) {
        const auto [directory, fileName] = SplitRemotePath(script.remotePath);
        for (const std::string& command :
             {"CWD " + std::string(directory), "SITE chmod 755 " + std::string(fileName)}) {
            if (!client.Command(command) && upload.put.ok() && !upload.chmodRefusal) {
                upload.chmodRefusal = client.replyText();
            }
            upload.replies.push_back(client.replyText());
        }
    }
    if (transcript == Transcript::Shown && !CancelRequested()) {
        context.window.ShowTranscript(TranscriptText(upload.replies));
    }
    LogOff(session);
    return upload;
}

}  // namespace klv
