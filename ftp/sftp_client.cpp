#include "ftp/sftp_client.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "base/c_handle.h"
#include "base/cancel.h"
#include "base/posix_io.h"
#include "base/resolver.h"
#include "base/wait.h"
#include "ftp/line_ends.h"
#include "ftp/tcp_socket.h"

namespace klv::sftp {

namespace {

// One piece of a file per SFTP write request: each waits for the server's status, so a
// larger piece means fewer round trips; OpenSSH's sftp-server takes up to 256 KiB a message.
constexpr std::size_t kPieceSize = 128 * 1024;
// Rounds of keyboard-interactive questions answered before the logon is given up.
constexpr int kMostQuestionRounds = 4;

// What OpenSSH's sftp calls each status (sftp.h's SSH_FX_*), for a server that sends none.
std::string_view StatusText(int status) {
    static constexpr std::array<std::string_view, 9> kTexts{"OK",
                                                            "End of file",
                                                            "No such file or directory",
                                                            "Permission denied",
                                                            "Failure",
                                                            "Bad message",
                                                            "No connection",
                                                            "Connection lost",
                                                            "Operation unsupported"};
    return status >= 0 && static_cast<std::size_t>(status) < kTexts.size()
               ? kTexts[static_cast<std::size_t>(status)]
               : "Failure";
}

std::string Octal(unsigned mode) {
    std::array<char, 8> text{};
    const int length = std::snprintf(text.data(), text.size(), "%04o", mode);
    return std::string(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

using Attributes = CHandle<sftp_attributes_struct, &sftp_attributes_free>;

}  // namespace

// The SSH connection, torn down in the reverse order of its making.
struct SftpClient::Connection {
    ~Connection() {
        if (sftp != nullptr) {
            sftp_free(sftp);
        }
        if (session != nullptr) {
            ssh_free(session);  // closes libssh's copy of the socket
        }
    }
    UniqueFd socket;  // the program's own; libssh holds a duplicate
    ssh_session session = nullptr;
    sftp_session sftp = nullptr;
    BlockingCaller caller;
    bool lost = false;  // the socket was shut down, or libssh saw the connection end
};

SftpClient::SftpClient() = default;

SftpClient::~SftpClient() {
    Disconnect();
}

bool SftpClient::connected() const {
    return connection_ != nullptr && connection_->sftp != nullptr && !connection_->lost;
}

void SftpClient::Disconnect() {
    if (!connection_) {
        return;
    }
    // Nothing more reaches the server: libssh's goodbye on a socket shut down goes nowhere.
    ::shutdown(connection_->socket.get(), SHUT_RDWR);
    connection_->lost = true;
    connection_.reset();
}

void SftpClient::LogOff() {
    if (connected()) {
        // Closing the channel and the goodbye only queue messages and send them; no
        // answer is awaited. Cancel or the idle bound still end it.
        (void)Call([this] {
            sftp_free(connection_->sftp);
            connection_->sftp = nullptr;
            ssh_disconnect(connection_->session);
        });
    }
    Disconnect();
}

std::string SftpClient::LibsshReason() const {
    std::string_view reason = ssh_get_error(connection_->session);
    constexpr std::string_view kServerPrefix = "SFTP server: ";
    if (reason.starts_with(kServerPrefix)) {
        reason.remove_prefix(kServerPrefix.size());
    }
    return std::string(reason);
}

std::string SftpClient::LogonReason() const {
    std::string reason = LibsshReason();
    return reason.empty() ? std::string(ftp::kLogonFailed) : reason;
}

template <typename Step>
std::optional<int> SftpClient::Drive(Step step, int again) {
    const int fd = connection_->socket.get();
    std::optional<std::uint64_t> moved = BytesMoved(fd);
    Deadline deadline = DeadlineAfter(idleTimeout_);
    for (;;) {
        const int result = step();
        if (result != again) {
            return result;
        }
        const short events = (ssh_get_poll_flags(connection_->session) & SSH_WRITE_PENDING)
                                 ? POLLIN | POLLOUT
                                 : POLLIN;
        WaitOutcome outcome = WaitFor(fd, events, deadline);
        if (outcome == WaitOutcome::TimedOut) {
            if (const std::optional<std::uint64_t> now = BytesMoved(fd); now && now != moved) {
                moved = now;
                deadline = DeadlineAfter(idleTimeout_);
                continue;
            }
        }
        if (outcome != WaitOutcome::Ready) {
            replyText_ = ftp::kNetworkError;
            Disconnect();
            return std::nullopt;
        }
    }
}

bool SftpClient::Call(const std::function<void()>& call) {
    if (connection_->caller.Run(call, connection_->socket.get(), idleTimeout_) ==
        WaitOutcome::Ready) {
        return true;
    }
    connection_->lost = true;
    return false;
}

std::string SftpClient::Failure(std::string_view what) {
    if (connection_->lost || ssh_get_error_code(connection_->session) != SSH_REQUEST_DENIED) {
        // The connection is gone, or out of step: nothing more may go over it.
        connection_->lost = true;
        return std::string(ftp::kNetworkError);
    }
    std::string reason = LibsshReason();
    if (reason.empty()) {
        reason = StatusText(sftp_get_error(connection_->sftp));
    }
    return std::string(what) + ": " + reason;
}

bool SftpClient::Fail(std::string_view what) {
    replyText_ = Failure(what);
    if (connection_->lost) {
        Disconnect();
    }
    return false;
}

bool SftpClient::LogOn(const LogonRequest& request) {
    Disconnect();
    replyText_ = ftp::kUnableToConnect;
    const Resolution resolved =
        Resolve(request.host, request.port, AF_UNSPEC, DeadlineAfter(idleTimeout_));
    UniqueFd socket;
    for (const SocketAddress& address : resolved.addresses) {
        socket = ftp::tcp::OpenStreamSocket(address.family());
        if (!socket) {
            replyText_ = ftp::kUnableToCreateSocket;
            return false;
        }
        if (ftp::tcp::Connect(socket.get(), address.get(), address.length,
                              DeadlineAfter(idleTimeout_))) {
            break;
        }
        socket.reset();
        if (CancelRequested()) {
            break;
        }
    }
    if (!socket) {
        return false;
    }
    connection_ = std::make_unique<Connection>();
    connection_->socket = std::move(socket);
    if (!Handshake(request) || !HostKeyAccepted(request) || !Authenticate(request) ||
        !StartSftp()) {
        Disconnect();
        return false;
    }
    replyText_.clear();
    return true;
}

bool SftpClient::Handshake(const LogonRequest& request) {
    Connection& connection = *connection_;
    connection.session = ssh_new();
    if (connection.session == nullptr) {
        replyText_ = ftp::kUnableToCreateSocket;
        return false;
    }
    ssh_session session = connection.session;
    // libssh closes the descriptor it is given: it gets a copy, and the program's own stays
    // open for shutdown(2) until the connection is released.
    const int libsshCopy = ::fcntl(connection.socket.get(), F_DUPFD_CLOEXEC, 0);
    const unsigned port = request.port;
    const int no = 0;
    // Known hosts are named explicitly (libssh would look the home up in the password
    // database, not in $HOME); ~/.ssh/config is not read: the host is the one typed.
    const bool configured =
        libsshCopy >= 0 && ssh_options_set(session, SSH_OPTIONS_FD, &libsshCopy) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_HOST, request.host.c_str()) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_PORT, &port) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_USER, request.user.c_str()) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &no) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS,
                        request.trust.knownHostsFile.empty()
                            ? "/dev/null"
                            : request.trust.knownHostsFile.c_str()) == SSH_OK &&
        ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS,
                        request.trust.globalKnownHostsFile.empty()
                            ? "/dev/null"
                            : request.trust.globalKnownHostsFile.c_str()) == SSH_OK;
    if (!configured) {
        if (libsshCopy >= 0 && ssh_get_fd(session) != libsshCopy) {
            ::close(libsshCopy);
        }
        replyText_ = LogonReason();
        return false;
    }
    ssh_set_blocking(session, 0);
    const std::optional<int> connected =
        Drive([session] { return ssh_connect(session); }, SSH_AGAIN);
    if (!connected) {
        return false;
    }
    if (*connected != SSH_OK) {
        replyText_ = LogonReason();
        return false;
    }
    return true;
}

bool SftpClient::HostKeyAccepted(const LogonRequest& request) {
    ssh_session session = connection_->session;
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) {
        replyText_ = LogonReason();
        return false;
    }
    const std::unique_ptr<ssh_key_struct, void (*)(ssh_key)> owned(key, ssh_key_free);
    unsigned char* hash = nullptr;
    std::size_t hashLength = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) != SSH_OK) {
        replyText_ = LogonReason();
        return false;
    }
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength);
    ssh_clean_pubkey_hash(&hash);
    HostKeyInfo info;
    info.host = request.host;
    info.port = request.port;
    const char* type = ssh_key_type_to_char(ssh_key_type(key));
    info.keyType = type != nullptr ? type : "unknown";
    info.fingerprint = text != nullptr ? text : "";
    ssh_string_free_char(text);

    if (!info.fingerprint.empty() && info.fingerprint == request.trust.trustedFingerprint) {
        return true;
    }
    const ssh_known_hosts_e known = ssh_session_is_known_server(session);
    if (known == SSH_KNOWN_HOSTS_OK) {
        return true;
    }
    info.changed = known == SSH_KNOWN_HOSTS_CHANGED || known == SSH_KNOWN_HOSTS_OTHER ||
                   !request.trust.trustedFingerprint.empty();
    if (!request.trust.askTrust || !request.trust.askTrust(info)) {
        replyText_ = info.changed ? kHostKeyChanged : kHostKeyNotTrusted;
        return false;  // LogOn closes the connection without a word
    }
    return true;
}

std::optional<int> SftpClient::KeyboardInteractive(const std::string& password) {
    ssh_session session = connection_->session;
    for (int round = 0; round < kMostQuestionRounds; ++round) {
        const std::optional<int> result = Drive(
            [session] { return ssh_userauth_kbdint(session, nullptr, nullptr); }, SSH_AUTH_AGAIN);
        if (!result || *result != SSH_AUTH_INFO) {
            return result;  // nothing: the wait ended first, and the connection is closed
        }
        // Every question is answered with the password: hosts ask for it alone, in words
        // of their own ("Password:", "Password for klv@host:").
        const int questions = ssh_userauth_kbdint_getnprompts(session);
        for (int question = 0; question < questions; ++question) {
            if (ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(question),
                                              password.c_str()) < 0) {
                return SSH_AUTH_ERROR;
            }
        }
    }
    return SSH_AUTH_DENIED;
}

bool SftpClient::Authenticate(const LogonRequest& request) {
    ssh_session session = connection_->session;
    std::optional<int> result =
        Drive([session] { return ssh_userauth_none(session, nullptr); }, SSH_AUTH_AGAIN);
    if (!result) {
        return false;
    }
    if (*result == SSH_AUTH_SUCCESS) {
        return true;  // a host that asks for nothing
    }
    if (*result == SSH_AUTH_ERROR) {
        replyText_ = LogonReason();
        return false;
    }
    const int methods = ssh_userauth_list(session, nullptr);
    if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0) {
        const std::string& password = request.password;
        result =
            Drive([session,
                   &password] { return ssh_userauth_password(session, nullptr, password.c_str()); },
                  SSH_AUTH_AGAIN);
    } else if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
        result = KeyboardInteractive(request.password);
    } else {
        replyText_ = kNoPasswordLogon;
        return false;
    }
    if (!result) {
        return false;
    }
    if (*result != SSH_AUTH_SUCCESS) {
        replyText_ = LogonReason();
        return false;
    }
    return true;
}

bool SftpClient::StartSftp() {
    Connection& connection = *connection_;
    // From here on libssh waits inside its calls; the BlockingCaller bounds those waits.
    ssh_set_blocking(connection.session, 1);
    int started = SSH_ERROR;
    const bool returned = Call([&connection, &started] {
        connection.sftp = sftp_new(connection.session);
        started = connection.sftp != nullptr ? sftp_init(connection.sftp) : SSH_ERROR;
    });
    if (!returned) {
        replyText_ = ftp::kNetworkError;
        return false;
    }
    if (started != SSH_OK) {
        replyText_ = LogonReason();
        return false;
    }
    return true;
}

bool SftpClient::Put(const std::string& remotePath, const std::string& localPath,
                     ftp::TransferType type) {
    const std::string what = "put " + remotePath;
    UniqueFd file = OpenLocalFile(localPath);
    if (!file) {
        replyText_ = ftp::kUnableToOpenLocalFile;
        return false;
    }
    if (!connected()) {
        replyText_ = ftp::kNetworkError;
        return false;
    }
    sftp_session sftp = connection_->sftp;
    sftp_file remote = nullptr;
    if (!Call([&] {
            remote = sftp_open(sftp, remotePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }) ||
        remote == nullptr) {
        return Fail(what);
    }

    struct stat status {};
    const std::uint64_t size =
        ::fstat(file.get(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    std::uint64_t readSoFar = 0;
    const std::unique_ptr<char[]> storage = std::make_unique_for_overwrite<char[]>(kPieceSize);
    CrLfToLf lineEnds;
    std::string converted;
    std::optional<std::string> failure;  // why the file did not go up whole
    for (bool ended = false; !ended && !failure;) {
        // A loopback write may never wait: the cancel is looked at on each pass.
        if (CancelRequested()) {
            failure = ftp::kNetworkError;
            break;
        }
        const long got = ReadSome(file.get(), storage.get(), kPieceSize);
        if (got < 0) {
            failure = ftp::kFileError;
            break;
        }
        ended = got == 0;
        std::string_view piece(storage.get(), static_cast<std::size_t>(got));
        if (type == ftp::TransferType::Ascii) {
            if (ended) {
                lineEnds.Finish(converted);
            } else {
                lineEnds.Convert(piece, converted);
            }
            piece = converted;
        }
        ssize_t sent = 0;
        if (!piece.empty() && (!Call([&] {
                sent = sftp_write(remote, piece.data(), piece.size());
            }) || sent != static_cast<ssize_t>(piece.size()))) {
            failure = Failure(what);
            break;
        }
        readSoFar += static_cast<std::uint64_t>(got);
        ReportBytes(readSoFar, size);
    }
    // Always closed, which also frees libssh's handle; the server may report a failed
    // write only now. Over a connection that is gone it fails at once.
    int closed = SSH_ERROR;
    if ((!Call([&] { closed = sftp_close(remote); }) || closed != SSH_OK) && !failure) {
        failure = Failure(what);
    }
    if (failure) {
        replyText_ = *failure;
        if (connection_->lost) {
            Disconnect();
        }
        return false;
    }
    replyText_ = what + ": OK";
    return true;
}

bool SftpClient::MakeExecutable(const std::string& remotePath) {
    const std::string what = "chmod " + Octal(kExecutableMode) + " " + remotePath;
    if (!connected()) {
        replyText_ = ftp::kNetworkError;
        return false;
    }
    int changed = SSH_ERROR;
    sftp_session sftp = connection_->sftp;
    if (!Call([&] { changed = sftp_chmod(sftp, remotePath.c_str(), kExecutableMode); }) ||
        changed != SSH_OK) {
        return Fail(what);
    }
    replyText_ = what + ": OK";
    return true;
}

bool SftpClient::LoginDirectory(std::string& directory) {
    if (!connected()) {
        replyText_ = ftp::kNetworkError;
        return false;
    }
    char* path = nullptr;
    sftp_session sftp = connection_->sftp;
    if (!Call([&] { path = sftp_canonicalize_path(sftp, "."); }) || path == nullptr) {
        return Fail("realpath .");
    }
    directory = path;
    ssh_string_free_char(path);
    replyText_ = "realpath .: " + directory;
    return true;
}

bool SftpClient::List(const std::string& directory, std::vector<ftp::ListedFile>& files) {
    const std::string what = "list " + directory;
    files.clear();
    if (!connected()) {
        replyText_ = ftp::kNetworkError;
        return false;
    }
    sftp_session sftp = connection_->sftp;
    sftp_dir opened = nullptr;
    if (!Call([&] { opened = sftp_opendir(sftp, directory.c_str()); }) || opened == nullptr) {
        return Fail(what);
    }
    std::optional<std::string> failure;  // why the listing is not whole
    std::size_t bytes = 0;
    for (;;) {
        Attributes entry;
        if (!Call([&] { entry.reset(sftp_readdir(sftp, opened)); })) {
            failure = ftp::kNetworkError;
            break;
        }
        if (!entry) {
            if (!sftp_dir_eof(opened)) {
                failure = Failure(what);
            }
            break;
        }
        if ((bytes += std::strlen(entry->name)) > ftp::kMaxListingBytes) {
            failure = ftp::kListingTooLarge;
            break;
        }
        if (entry->type == SSH_FILEXFER_TYPE_REGULAR) {
            files.push_back({entry->name, entry->size, std::to_string(entry->mtime)});
        }
    }
    // Always closed, which also frees libssh's handle; over a connection that is gone it
    // fails at once.
    (void)Call([&] { (void)sftp_closedir(opened); });
    if (failure) {
        files.clear();
        replyText_ = *failure;
        if (connection_->lost) {
            Disconnect();
        }
        return false;
    }
    replyText_ = what + ": OK";
    return true;
}

}  // namespace klv::sftp
