// FtpClient: the control dialogue (RFC 959 §4.2 replies, §5.4 command-reply sequences),
// the table-driven logons and single-file transfers over a passive or active data
// connection.
//
// Every outgoing line passes through SendLine; every incoming one through ReadLine.
#include "ftp/ftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <vector>

#include "base/cancel.h"
#include "base/posix_io.h"
#include "base/resolver.h"
#include "base/wait.h"
#include "ftp/data_address.h"
#include "ftp/leading_number.h"
#include "ftp/logon_table.h"
#include "ftp/reply_assembler.h"
#include "ftp/tcp_socket.h"
#include "ftp/tls.h"

namespace klv::ftp {

namespace {

// One buffer, held for the whole call; nothing is allocated per pass. 256 KiB rather than
// a page: on a fast link a 4096-byte pass spends its time in system calls, and loopback
// uploads would fall behind curl's.
constexpr std::size_t kCopyBufferSize = 256 * 1024;
// After an upload's data is sent, what the server might still send back is read and
// dropped, up to this much, so that closing does not reset the connection.
constexpr std::size_t kMaxDrainBytes = 64 * 1024;
// How long a TLS upload waits for what the server sends after close_notify.
constexpr std::chrono::milliseconds kTlsDrainBound{2000};

std::string LogonCommandLine(logon::CommandKind kind, const LogonRequest& request,
                             const std::string& host) {
    using logon::CommandKind;
    switch (kind) {
        case CommandKind::User:
            return "USER " + request.user;
        case CommandKind::Pass:
            return "PASS " + request.password;
        case CommandKind::Acct:
            return "ACCT " + request.account;
        case CommandKind::FirewallUser:
            return "USER " + request.firewallUser;
        case CommandKind::FirewallPass:
            return "PASS " + request.firewallPassword;
        case CommandKind::SiteHost:
            return "SITE " + host;
        case CommandKind::UserAtHost:
            return "USER " + request.user + "@" + host;
        case CommandKind::OpenHost:
            return "OPEN " + host;
        case CommandKind::FirewallUserAtHost:
            return "USER " + request.firewallUser + "@" + host;
        case CommandKind::UserAtHostFirewallUser:
            return "USER " + request.user + "@" + host + " " + request.firewallUser;
        case CommandKind::UserAtFirewallUserAtHost:
            return "USER " + request.user + "@" + request.firewallUser + "@" + host;
        case CommandKind::PassAtFirewallPass:
            return "PASS " + request.password + "@" + request.firewallPassword;
    }
    return {};
}

// A data connection's bytes, through TLS when `tls` is set.
long ReceiveData(int data, SSL* tls, char* buffer, std::size_t size, Deadline deadline) {
    return tls != nullptr ? tls::Read(tls, buffer, size, deadline)
                          : tcp::ReceiveSome(data, buffer, size, deadline);
}
long SendData(int data, SSL* tls, const char* buffer, std::size_t size, Deadline deadline) {
    return tls != nullptr ? tls::Write(tls, buffer, size, deadline)
                          : tcp::SendSome(data, buffer, size, deadline);
}

// Ends an upload's data connection so that the server receives every byte: close_notify
// through TLS, FIN, then what the server still sends (its FIN; through TLS also session
// tickets and its close_notify) is read and dropped, up to kMaxDrainBytes, before closing.
// Closing with unread bytes pending would send a reset instead, and the server could
// lose the file's tail. All of it is done by `deadline`.
void CloseUploadConnection(UniqueFd& data, tls::UniqueSsl& dataTls, Deadline deadline) {
    if (dataTls) {
        tls::SendCloseNotify(dataTls.get(), deadline);
    }
    if (::shutdown(data.get(), SHUT_WR) == 0) {
        std::array<char, 4096> sink{};
        std::size_t drained = 0;
        while (drained < kMaxDrainBytes) {
            const long got =
                ReceiveData(data.get(), dataTls.get(), sink.data(), sink.size(), deadline);
            if (got <= 0) {
                break;
            }
            drained += static_cast<std::size_t>(got);
        }
    }
    dataTls.reset();
    data.reset();
}

// Whether an IPv6 text needs brackets before ":port".
bool NeedsBrackets(const std::string& host) {
    return host.find(':') != std::string::npos;
}

}  // namespace

// A data connection made, and its TLS when the control connection runs TLS; the TLS is
// released first.
struct FtpClient::DataChannel {
    void Close() {
        tls.reset();
        socket.reset();
    }
    UniqueFd socket;
    tls::UniqueSsl tls;
};

// What OpenDataConnection prepared for its data connection.
struct FtpClient::DataConnectionPlan {
    // Passive: the control connection's peer at the port the PASV or EPSV reply named.
    SocketAddress passiveTarget;
    bool passivePortDialable = false;
    // Active: the listening socket, and the only address allowed to connect to it.
    UniqueFd listener;
    SocketAddress controlPeer;
};

std::string HostText(const std::string& host, unsigned port) {
    if (port == 21) {
        return host;
    }
    return (NeedsBrackets(host) ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

FtpClient::FtpClient() = default;

FtpClient::~FtpClient() {
    Disconnect();
}

bool FtpClient::connected() const {
    return controlSocket_.valid() && writer_.has_value();
}

void FtpClient::setIdleTimeout(std::chrono::milliseconds timeout) {
    idleTimeout_ = timeout;
}

bool FtpClient::Connect(const std::string& host, unsigned port) {
    // An earlier connection is released, not leaked.
    Disconnect();

    replyText_ = kUnableToConnect;
    const Resolution resolved = Resolve(host, port, AF_UNSPEC, DeadlineAfter(idleTimeout_));
    if (resolved.addresses.empty()) {
        return false;
    }
    controlSocket_ = tcp::ConnectFirst(resolved.addresses, DeadlineAfter(idleTimeout_));
    if (!controlSocket_) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            replyText_ = kUnableToCreateSocket;
        }
        return false;
    }
    const std::optional<SocketAddress> peer = tcp::PeerAddress(controlSocket_.get());
    peerAddress_ = peer ? tcp::AddressText(*peer) : std::string();

    replyText_ = kUnableToCreateSocket;
    controlSource_.emplace(controlSocket_.get());
    reader_.emplace(*controlSource_);
    writer_.emplace(controlSocket_.get());
    // Nothing is read here: the caller reads the greeting, which is due within the idle
    // bound from now.
    replyDeadline_ = DeadlineAfter(idleTimeout_);
    return true;
}

void FtpClient::Disconnect() {
    acknowledgedType_.reset();
    mlsdOffered_.reset();
    writer_.reset();
    reader_.reset();
    controlSource_.reset();
    tls_.reset();
    controlSocket_.reset();
    peerAddress_.clear();
}

bool FtpClient::SendLine(std::string_view line) {
    replyText_ = kNetworkError;
    // The one place every command passes: no value may carry a second command with it.
    if (line.find_first_of("\r\n") != std::string_view::npos) {
        replyText_ = kCommandHasLineBreak;
        return false;
    }
    if (line.find('\0') != std::string_view::npos) {
        replyText_ = kCommandHasNul;
        return false;
    }
    // The whole reply to this line is due within the idle bound from now.
    const Deadline deadline = DeadlineAfter(idleTimeout_);
    if (!writer_ || !writer_->WriteLine(line, deadline)) {
        Disconnect();  // part of the line may have gone out
        return false;
    }
    replyDeadline_ = deadline;
    return true;
}

bool FtpClient::ReadLine() {
    if (controlSource_) {
        controlSource_->SetDeadline(replyDeadline_);
    }
    if (!reader_ || reader_->ReadLine(replyText_) != LineStatus::Line) {
        replyText_ = kNetworkError;
        // What was not read here (a reply late past the idle bound, the rest of an
        // over-long one) would be taken for the answer to the next command: the
        // conversation is out of step, so it ends here.
        EndOutOfStep();
        return false;
    }
    return true;
}

bool FtpClient::ReadReply(std::vector<std::string>* allLines) {
    // A whole reply gets until the reply's deadline and kMaxReplyLines lines, so that a
    // server trickling bytes or continuation lines cannot hold the client for ever.
    ReplyAssembler reply;
    for (std::size_t lines = 0; lines < kMaxReplyLines; ++lines) {
        if (!ReadLine()) {
            return false;
        }
        if (allLines != nullptr) {
            allLines->push_back(replyText_);
        }
        if (reply.Add(replyText_)) {
            return true;
        }
    }
    FailOutOfStep(kNetworkError);
    return false;
}

void FtpClient::FailOutOfStep(std::string_view text) {
    replyText_ = std::string(text);  // a copy: `text` may view replyText_ itself
    EndOutOfStep();
}

void FtpClient::EndOutOfStep() {
    // A cancelled run still says "QUIT" before it closes (LogOff), and reads no reply
    // that could be out of step: the connection is left for that last word.
    if (!CancelRequested()) {
        Disconnect();
    }
}

bool FtpClient::Command(std::string_view command) {
    if (!command.empty() && !SendLine(command)) {
        return false;
    }
    return ReadReply() && ReplyClass(replyText_) == 2;
}

void FtpClient::LogOff() {
    // No reply to QUIT is awaited.
    (void)SendLine("QUIT");
    if (tls_) {
        tls::SendCloseNotify(tls_->ssl(), DeadlineAfter(idleTimeout_));
    }
    Disconnect();
}

bool FtpClient::LogOn(LogonRequest request) {
    if (request.logonType < 0 || request.logonType >= logon::kLogonTypeCount) {
        return false;
    }
    const bool direct = request.logonType == 0;
    const std::string dialHost = direct ? request.host : request.firewallHost;
    const unsigned dialPort = direct ? request.port : request.firewallPort;
    // The target's port travels in the host text that gateways are sent; the test is on
    // the target's port whichever host is dialled.
    const std::string host = HostText(request.host, request.port);

    if (!Connect(dialHost, dialPort)) {
        return false;
    }
    // A server that spoke TLS under another name, or at this address, speaks it still.
    const bool tlsRequired =
        direct &&
        (request.tls.required || (request.tls.spokeTlsAt && request.tls.spokeTlsAt(peerAddress_)));
    // Implicit TLS (ftps://): the handshake comes first, and the greeting through it.
    if (direct && request.tls.implicit) {
        if (!StartTls(request, host, tlsRequired)) {
            return false;
        }
        replyDeadline_ = DeadlineAfter(idleTimeout_);  // the handshake took its own time
    }
    if (!Command("")) {  // the greeting
        return false;
    }
    if (direct && request.tls.attempt && !request.tls.implicit &&
        !SecureControlConnection(request, host, tlsRequired)) {
        return false;
    }

    const logon::LogonSequence& sequence =
        logon::kSequences[static_cast<std::size_t>(request.logonType)];
    std::size_t step = 0;
    for (;;) {
        const logon::LogonStep& current = sequence.steps[step];
        if (!SendLine(LogonCommandLine(current.kind, request, host)) || !ReadReply()) {
            return false;
        }
        logon::Next next;
        const int replyClass = ReplyClass(replyText_);
        if (replyClass == 2) {
            next = current.onCompleted;
        } else if (replyClass == 3) {
            next = current.onMoreNeeded;
        } else {
            return false;  // the server's refusal stands in replyText
        }
        switch (next.transition) {
            case logon::Transition::LoggedOn:
                // RFC 4217 §9: PBSZ must precede PROT; "P" protects every data connection.
                return !tls_ || (Command("PBSZ 0") && Command("PROT P"));
            case logon::Transition::Refused:
                replyText_ = kLogonFailed;
                return false;
            case logon::Transition::NextStep:
                step = next.step;
                break;
        }
    }
}

// RFC 4217 §4: "AUTH TLS", and on 234 the handshake before any other command.
//   AUTH TLS
//   234 AUTH TLS successful
bool FtpClient::SecureControlConnection(const LogonRequest& request, const std::string& hostText,
                                        bool required) {
    if (!SendLine("AUTH TLS") || !ReadReply()) {
        return false;
    }
    if (LeadingNumber(replyText_) != 234) {
        // A server without TLS (5xx), or one that cannot offer it now (4xx, RFC 4217's
        // 431): the logon goes on in clear text, unless the host spoke TLS before.
        const int replyClass = ReplyClass(replyText_);
        if ((replyClass == 5 || replyClass == 4) && !required) {
            return true;
        }
        // An odd reply, or a host that spoke TLS before: no password goes out.
        if (required) {
            replyText_ = kTlsDowngrade;
        }
        Disconnect();
        return false;
    }
    // Bytes sent before the handshake would be taken as replies that came through TLS.
    if (reader_->HasBufferedBytes()) {
        replyText_ = kTlsReplyInjected;
        Disconnect();
        return false;
    }
    return StartTls(request, hostText, required);
}

bool FtpClient::StartTls(const LogonRequest& request, const std::string& hostText, bool required) {
    std::unique_ptr<tls::ControlTls> tls = tls::ControlTls::Create();
    std::string error = "Unable to set up TLS";
    if (!tls ||
        !tls->Handshake(controlSocket_.get(), request.host, DeadlineAfter(idleTimeout_), error)) {
        // Implicit TLS has no clear text to be downgraded to: its failure is its own.
        replyText_ = required && !request.tls.implicit ? std::string(kTlsDowngrade) : error;
        Disconnect();
        return false;
    }
    CertificateInfo certificate;
    certificate.host = hostText;
    const bool verified = tls->PeerVerified(certificate);
    // The host speaks TLS, whatever becomes of its certificate and of the logon.
    if (request.tls.onHandshake) {
        request.tls.onHandshake(peerAddress_, verified);
    }
    if (!verified && certificate.sha256Fingerprint != request.tls.trustedFingerprint) {
        certificate.verifiedBefore = request.tls.verifiedBefore;
        certificate.changed = !request.tls.trustedFingerprint.empty() || request.tls.verifiedBefore;
        if (!request.tls.askTrust || !request.tls.askTrust(certificate)) {
            replyText_ = kCertificateNotTrusted;
            Disconnect();  // nothing has been sent after "AUTH TLS"
            return false;
        }
    }
    tls_ = std::move(tls);
    controlSource_->UseTls(tls_->ssl());
    writer_->UseTls(tls_->ssl());
    return true;
}

bool FtpClient::EndTransfer(TransferStage stage) {
    lastTransferStage_ = stage;
    return stage == TransferStage::Done;
}

// On IPv4 PORT and PASV (RFC 959), on IPv6 EPRT and EPSV (RFC 2428):
//   PASV                                    EPSV
//   227 Entering Passive Mode (h,h,h,h,p,p) 229 Entering Extended Passive Mode (|||6446|)
//   PORT h,h,h,h,p,p                        EPRT |2|2001:db8::7|5282|
bool FtpClient::PrepareDataConnection(DataConnection dataConnection, DataConnectionPlan& plan) {
    const std::optional<SocketAddress> local = tcp::LocalAddress(controlSocket_.get());
    const std::optional<SocketAddress> peer = tcp::PeerAddress(controlSocket_.get());
    if (!local || !peer) {
        replyText_ = kNetworkError;
        return false;
    }
    const bool ipv6 = peer->family() == AF_INET6;
    if (dataConnection == DataConnection::Passive) {
        if (!Command(ipv6 ? "EPSV" : "PASV")) {
            return false;
        }
        std::optional<long> port;
        if (ipv6) {
            port = ParseEpsvReply(replyText_);
        } else if (const std::optional<PasvAddress> pasv = ParsePasvReply(replyText_)) {
            port = pasv->port;
        }
        if (!port) {
            return false;  // the PASV or EPSV line stays in replyText
        }
        // The data connection goes where the control connection goes: a server cannot
        // point the client at another host. Only the port is taken from the reply.
        plan.passiveTarget = *peer;
        plan.passivePortDialable = IsDialablePort(*port);
        if (plan.passivePortDialable) {
            tcp::SetPort(plan.passiveTarget, static_cast<unsigned>(*port));
        }
        return true;
    }

    replyText_ = kNetworkError;
    plan.controlPeer = *peer;
    // Listen on the control connection's own address only, not on every interface.
    plan.listener = tcp::OpenStreamSocket(local->family());
    SocketAddress bindAddress = *local;
    tcp::SetPort(bindAddress, 0);
    if (!plan.listener || ::bind(plan.listener.get(), bindAddress.get(), bindAddress.length) != 0 ||
        ::listen(plan.listener.get(), 5) != 0) {
        return false;
    }
    const std::optional<SocketAddress> listening = tcp::LocalAddress(plan.listener.get());
    if (!listening) {
        return false;
    }
    const unsigned port = tcp::PortOf(*listening);
    if (!ipv6) {
        return Command("PORT " + PortArgument(tcp::AddressText(*local), port));
    }
    // An IPv4 address reached through an IPv6 socket (::ffff:192.0.2.7) is named as IPv4.
    const SocketAddress named = tcp::Unmapped(*local);
    return Command("EPRT " + EprtArgument(named.family(), tcp::AddressText(named), port));
}

UniqueFd FtpClient::AwaitActiveConnection(DataConnectionPlan& plan) {
    // Wait for the server's data connection, and at the same time for the control
    // connection: a reply there (425, say) or its end means no connection is coming.
    // A connection already queued wins over a reply already here: a server has to
    // connect before it can send the data, let alone the closing reply.
    const Deadline deadline = DeadlineAfter(idleTimeout_);
    for (;;) {
        const bool replyWaiting = reader_->HasBufferedBytes();
        std::array<pollfd, 2> waits{
            {{plan.listener.get(), POLLIN, 0}, {controlSocket_.get(), POLLIN, 0}}};
        const WaitOutcome outcome = WaitFor(waits, replyWaiting ? Clock::now() : deadline);
        if (outcome != WaitOutcome::Ready && !(outcome == WaitOutcome::TimedOut && replyWaiting)) {
            FailOutOfStep(kNetworkError);  // the server may still answer the STOR
            return {};
        }
        if (outcome == WaitOutcome::Ready && waits[0].revents != 0) {
            SocketAddress from;
            from.length = sizeof from.storage;
            UniqueFd data(::accept4(plan.listener.get(), reinterpret_cast<sockaddr*>(&from.storage),
                                    &from.length, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!data) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ||
                    errno == ECONNABORTED) {
                    continue;
                }
                FailOutOfStep(replyText_);  // the preliminary reply's line stands
                return {};
            }
            if (!tcp::SameHost(from, plan.controlPeer)) {
                continue;  // only the server may connect; this one is closed unused
            }
            return data;
        }
        if (replyWaiting || waits[1].revents != 0) {
            (void)ReadReply();  // its line, or "Network error", stands
            return {};
        }
    }
}

bool FtpClient::CopyUpload(int file, int data, SSL* dataTls, std::span<char> buffer) {
    struct stat status {};
    const std::uint64_t size =
        ::fstat(file, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    std::uint64_t sentSoFar = 0;
    for (;;) {
        // A loopback copy may never have to wait: the cancel is looked at on each pass.
        if (CancelRequested()) {
            replyText_ = kNetworkError;
            return false;
        }
        const long got = ReadSome(file, buffer.data(), buffer.size());
        if (got < 0) {
            replyText_ = kFileError;
            return false;
        }
        if (got == 0) {
            return true;
        }
        const auto chunk = static_cast<std::size_t>(got);
        const long sent =
            SendData(data, dataTls, buffer.data(), chunk, DeadlineAfter(idleTimeout_));
        if (sent < 0) {
            replyText_ = kNetworkError;
            return false;
        }
        sentSoFar += static_cast<std::uint64_t>(sent);
        ReportBytes(sentSoFar, size);
        // The unsent rest is read again and sent in the next pass.
        if (sent < got && ::lseek(file, -(got - sent), SEEK_CUR) < 0) {
            replyText_ = kFileError;
            return false;
        }
    }
}

TransferStage FtpClient::OpenDataConnection(DataConnection dataConnection,
                                            const std::string& command, DataChannel& channel) {
    DataConnectionPlan plan;
    const bool passive = dataConnection == DataConnection::Passive;
    if (!PrepareDataConnection(dataConnection, plan)) {
        return TransferStage::DataSetup;
    }
    if (!SendLine(command)) {
        return TransferStage::TransferCommand;
    }

    UniqueFd& data = channel.socket;
    bool dataConnected = false;
    if (passive) {
        // Made before the preliminary reply is read: many servers send it only once
        // the data connection is there.
        data = tcp::OpenStreamSocket(plan.passiveTarget.family());
        if (!data) {
            FailOutOfStep(kNetworkError);  // the command is out, its reply unread
            return TransferStage::DataSetup;
        }
        dataConnected = plan.passivePortDialable &&
                        tcp::Connect(data.get(), plan.passiveTarget.get(),
                                     plan.passiveTarget.length, DeadlineAfter(idleTimeout_));
    }

    if (!ReadReply() || ReplyClass(replyText_) != 1) {
        return TransferStage::TransferCommand;
    }

    if (passive) {
        if (!dataConnected) {
            // The server waits for the connection and then answers: out of step.
            FailOutOfStep(kNetworkError);
            return TransferStage::DataConnect;
        }
    } else {
        data = AwaitActiveConnection(plan);
        plan.listener.reset();
        if (!data) {
            return TransferStage::DataConnect;
        }
        tcp::DisableNagle(data.get());
    }

    if (tls_) {
        channel.tls = tls_->OpenData(data.get(), DeadlineAfter(idleTimeout_), replyText_);
        if (!channel.tls) {
            return TransferStage::DataConnect;
        }
    }
    return TransferStage::Done;
}

bool FtpClient::Put(const std::string& remoteName, const std::string& localPath,
                    DataConnection dataConnection, TransferType type) {
    UniqueFd file = OpenLocalFile(localPath);
    if (!file) {
        replyText_ = kUnableToOpenLocalFile;
        return EndTransfer(TransferStage::LocalFile);
    }
    if (!connected()) {
        replyText_ = kNetworkError;
        return EndTransfer(TransferStage::Type);
    }

    if (acknowledgedType_ != type) {
        acknowledgedType_.reset();  // a refused or lost TYPE leaves the server's type unknown
        if (!Command(type == TransferType::Image ? "TYPE I" : "TYPE A")) {
            return EndTransfer(TransferStage::Type);
        }
        acknowledgedType_ = type;
    }

    DataChannel channel;
    if (const TransferStage stage =
            OpenDataConnection(dataConnection, "STOR " + remoteName, channel);
        stage != TransferStage::Done) {
        return EndTransfer(stage);
    }

    // Left uninitialised: zero-filling 256 KiB for every transfer cost about 4.5 us, a
    // twentieth of the client's own processor time for a 4 KiB page (bench/pages).
    const std::unique_ptr<char[]> storage = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
    const std::span<char> buffer(storage.get(), kCopyBufferSize);
    const bool copied = CopyUpload(file.get(), channel.socket.get(), channel.tls.get(), buffer);
    if (!copied) {
        channel.Close();
        FailOutOfStep(replyText_);  // the closing reply is still to come
        return EndTransfer(TransferStage::Copy);
    }
    CloseUploadConnection(
        channel.socket, channel.tls,
        DeadlineAfter(channel.tls ? std::min(idleTimeout_, kTlsDrainBound) : idleTimeout_));
    file.reset();

    replyDeadline_ = DeadlineAfter(idleTimeout_);  // counted from the end of the data
    if (!Command("")) {                            // the closing reply
        return EndTransfer(TransferStage::ClosingReply);
    }
    return EndTransfer(TransferStage::Done);
}

//   PWD
//   257 "/home/ann" is the current directory
bool FtpClient::PrintWorkingDirectory(std::string& directory) {
    if (!Command("PWD")) {
        return false;
    }
    std::optional<std::string> quoted = ParsePwdReply(replyText_);
    if (!quoted) {
        return false;  // the reply stands
    }
    directory = std::move(*quoted);
    return true;
}

// RFC 2389: the features, one a line after the first.
//   FEAT
//   211-Features:
//    MLST type*;size*;modify*;
//   211 End
std::optional<bool> FtpClient::MlsdOffered() {
    if (!mlsdOffered_) {
        std::vector<std::string> lines;
        if (!SendLine("FEAT") || !ReadReply(&lines)) {
            return std::nullopt;
        }
        // A server without FEAT (5xx) has no MLSD either.
        mlsdOffered_ = ReplyClass(replyText_) == 2 &&
                       std::any_of(lines.begin() + 1, lines.end(), [](std::string_view line) {
                           line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
                           return line.size() >= 4 && ::strncasecmp(line.data(), "MLST", 4) == 0 &&
                                  (line.size() == 4 || line[4] == ' ');
                       });
    }
    return mlsdOffered_;
}

bool FtpClient::CopyListing(const DataChannel& channel, std::string& bytes) {
    std::array<char, 16 * 1024> buffer{};
    for (;;) {
        // A loopback listing may never have to wait: the cancel is looked at on each pass.
        if (CancelRequested()) {
            replyText_ = kNetworkError;
            return false;
        }
        const long got = ReceiveData(channel.socket.get(), channel.tls.get(), buffer.data(),
                                     buffer.size(), DeadlineAfter(idleTimeout_));
        if (got <= 0) {
            replyText_ = kNetworkError;
            return got == 0;
        }
        if (bytes.size() + static_cast<std::size_t>(got) > kMaxListingBytes) {
            replyText_ = kListingTooLarge;
            return false;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

bool FtpClient::List(const std::string& directory, DataConnection dataConnection,
                     std::vector<ListedFile>& files) {
    files.clear();
    if (!connected()) {
        replyText_ = kNetworkError;
        return EndTransfer(TransferStage::Type);
    }
    const std::optional<bool> mlsd = MlsdOffered();
    if (!mlsd) {
        return EndTransfer(TransferStage::Type);
    }
    std::string command = *mlsd ? "MLSD" : "LIST";
    if (!directory.empty()) {
        command += " " + directory;
    }
    DataChannel channel;
    if (const TransferStage stage = OpenDataConnection(dataConnection, command, channel);
        stage != TransferStage::Done) {
        return EndTransfer(stage);
    }
    std::string listing;
    if (!CopyListing(channel, listing)) {
        channel.Close();
        FailOutOfStep(replyText_);  // the closing reply is still to come
        return EndTransfer(TransferStage::Copy);
    }
    if (channel.tls) {
        tls::SendCloseNotify(channel.tls.get(),
                             DeadlineAfter(std::min(idleTimeout_, kTlsDrainBound)));
    }
    channel.Close();

    replyDeadline_ = DeadlineAfter(idleTimeout_);  // counted from the end of the data
    if (!Command("")) {                            // the closing reply
        return EndTransfer(TransferStage::ClosingReply);
    }
    for (std::string_view rest = listing; !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (std::optional<ListedFile> file = *mlsd ? ParseMlsdLine(line) : ParseListLine(line)) {
            files.push_back(std::move(*file));
        }
    }
    return EndTransfer(TransferStage::Done);
}

}  // namespace klv::ftp
