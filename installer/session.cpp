#include "installer/session.h"

#include <cstdlib>

#include "base/cancel.h"
#include "ftp/leading_number.h"
#include "ftp/socket_layer.h"
#include "installer/server_address.h"
#include "installer/workflows.h"

namespace klv {

namespace {

ftp::LogonRequest LogonFor(const InstallerContext& context, const ServerAddress& server,
                           const Account& account) {
    ftp::LogonRequest request;
    request.host = server.host;
    request.port = server.port;
    request.user = account.user;
    request.password = account.password;
    request.logonType = 0;  // straight to the server: USER, PASS, ACCT
    // TLS whenever the server offers it (from the start with ftps://); never clear text
    // again once it did, under this name or at the address it was reached at.
    TrustStore& store = *context.shared.trustStore;
    const std::string key = HostKey(server.host, server.port);
    const unsigned port = server.port;
    request.tls.attempt = true;
    request.tls.implicit = server.scheme == Scheme::Ftps;
    request.tls.required = store.SpokeTls(key);
    request.tls.spokeTlsAt = [&store, port](const std::string& address) {
        return !address.empty() && store.SpokeTls(HostKey(address, port));
    };
    request.tls.onHandshake = [&store, key, port](const std::string& address, bool verified) {
        store.RememberSpokeTls(key);
        if (!address.empty()) {
            store.RememberSpokeTls(HostKey(address, port));
        }
        if (verified) {
            store.RememberVerified(key);
        }
    };
    request.tls.trustedFingerprint = store.TrustedFingerprint(key);
    request.tls.verifiedBefore = store.VerifiedBefore(key);
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

// Runs `transfer` (Put, List) in active mode and, when the active data connection could not
// be made, once more in passive mode, which later transfers of the session then use
// straight away.
template <typename Transfer>
Result OverDataConnection(Session& session, Transfer transfer) {
    ftp::FtpClient& client = session.client;
    if (!session.passiveFirst) {
        if (transfer(client, ftp::DataConnection::Active)) {
            return Result::Success();
        }
        if (!ActiveDataConnectionFailed(client) || CancelRequested()) {
            return Outcome(false, client);
        }
        session.passiveFirst = true;
    }
    return Outcome(transfer(client, ftp::DataConnection::Passive), client);
}

// The user's and the system's known_hosts, named for libssh: it would look the home up in
// the password database, where the user's $HOME is what counts.
sftp::HostKeyTrust SftpTrust(const InstallerContext& context, const std::string& key) {
    sftp::HostKeyTrust trust;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        trust.knownHostsFile = std::string(home) + "/.ssh/known_hosts";
    }
    trust.globalKnownHostsFile = "/etc/ssh/ssh_known_hosts";
    TrustStore& store = *context.shared.trustStore;
    trust.trustedFingerprint = store.TrustedFingerprint(key);
    trust.askTrust = [&context, &store, key](const sftp::HostKeyInfo& hostKey) {
        if (!context.window.TrustHostKey(hostKey)) {
            return false;
        }
        store.TrustFingerprint(key, hostKey.fingerprint);
        return true;
    };
    return trust;
}

// The SFTP logon: host key trust as SftpTrust says, the password or keyboard-interactive.
Result LogOnSftp(const InstallerContext& context, Session& session, const ServerAddress& server,
                 const Account& account) {
    session.overSftp = true;
    sftp::SftpClient& client = session.sftp;
    client.setIdleTimeout(context.config.idleTimeout);
    sftp::LogonRequest request;
    request.host = server.host;
    request.port = server.port;
    request.user = account.user;
    request.password = account.password;
    request.trust = SftpTrust(context, HostKey(server.host, server.port));
    if (!client.LogOn(request)) {
        return Result::Failure(client.replyText());  // the connection is closed
    }
    return Result::Success();
}

}  // namespace

bool InitializeNetworking() {
    return ftp::InitializeSocketLayer();
}

std::string TrustKey(const InstallerContext& context, const Account& account) {
    const ParsedServer parsed = ParseServer(account.server, context.config.ftpPort);
    if (const auto* server = std::get_if<ServerAddress>(&parsed)) {
        return HostKey(server->host, server->port);
    }
    return HostKey(account.server, context.config.ftpPort);  // a server no logon reaches
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
    session.overSftp = false;
    ftp::FtpClient& client = session.client;
    client.setIdleTimeout(context.config.idleTimeout);
    // The workflows refused a "Server" that cannot be used before anything was fetched
    // (ServerFieldRefusal); a caller that did not gets the same text here.
    const ParsedServer parsed = ParseServer(account.server, context.config.ftpPort);
    if (const auto* refusal = std::get_if<ServerRefusal>(&parsed)) {
        return Result::Failure(refusal->text);
    }
    const ServerAddress& server = std::get<ServerAddress>(parsed);
    if (server.scheme == Scheme::Sftp) {
        return LogOnSftp(context, session, server, account);
    }
    // passiveFirst stays: a fresh logon of the run reaches the same server. A host whose
    // TLS handshake completed is remembered as one at once (LogonFor), and is never again
    // sent a password in clear text.
    if (!client.LogOn(LogonFor(context, server, account))) {
        const Result refused = Outcome(false, client);
        if (!CancelRequested()) {
            client.Disconnect();  // not logged on: nothing may go over this connection
        }
        return refused;
    }
    return Result::Success();
}

Result PutFile(Session& session, const FileToPut& file) {
    if (session.overSftp) {
        return session.sftp.Put(file.remotePath, file.localPath, file.type)
                   ? Result::Success()
                   : Result::Failure(session.sftp.replyText());
    }
    return OverDataConnection(session, [&file](ftp::FtpClient& client, ftp::DataConnection via) {
        return client.Put(file.remotePath, file.localPath, via, file.type);
    });
}

Result LoginDirectory(Session& session, std::string& directory) {
    if (session.overSftp) {
        return session.sftp.LoginDirectory(directory) ? Result::Success()
                                                      : Result::Failure(session.sftp.replyText());
    }
    return Outcome(session.client.PrintWorkingDirectory(directory), session.client);
}

Result ListDirectory(Session& session, const std::string& directory,
                     std::vector<ftp::ListedFile>& files) {
    if (session.overSftp) {
        return session.sftp.List(directory, files) ? Result::Success()
                                                   : Result::Failure(session.sftp.replyText());
    }
    return OverDataConnection(session, [&](ftp::FtpClient& client, ftp::DataConnection via) {
        return client.List(directory, via, files);
    });
}

std::optional<std::string> MakeExecutable(Session& session, const std::string& remotePath,
                                          std::vector<std::string>& replies) {
    std::optional<std::string> refusal;
    if (session.overSftp) {
        if (!session.sftp.MakeExecutable(remotePath)) {
            refusal = session.sftp.replyText();
        }
        replies.push_back(session.sftp.replyText());
        return refusal;
    }
    ftp::FtpClient& client = session.client;
    const auto [directory, fileName] = SplitRemotePath(remotePath);
    for (const std::string& command :
         {"CWD " + std::string(directory), "SITE chmod 755 " + std::string(fileName)}) {
        if (!client.Command(command) && !refusal) {
            refusal = client.replyText();
        }
        replies.push_back(client.replyText());
    }
    return refusal;
}

void LogOff(Session& session) {
    if (session.overSftp) {
        session.sftp.LogOff();
    } else {
        session.client.LogOff();
    }
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
    upload.put = PutFile(session, script);
    upload.replies.push_back(session.lastReply());
    if (!CancelRequested()) {
        std::optional<std::string> refusal =
            MakeExecutable(session, script.remotePath, upload.replies);
        if (upload.put.ok()) {
            upload.chmodRefusal = std::move(refusal);
        }
    }
    if (transcript == Transcript::Shown && !CancelRequested()) {
        context.window.ShowTranscript(TranscriptText(upload.replies));
    }
    LogOff(session);
    return upload;
}

}  // namespace klv
