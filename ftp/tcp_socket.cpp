#include "ftp/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/cancel.h"

namespace klv::ftp::tcp {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// The idle bound that SetIdleBound() gave `fd` for `option` (SO_RCVTIMEO or
// SO_SNDTIMEO), in milliseconds; -1 for none.
int IdleBoundOf(int fd, int option) {
    timeval tv{};
    socklen_t length = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, option, &tv, &length) != 0 ||
        (tv.tv_sec == 0 && tv.tv_usec == 0)) {
        return -1;
    }
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

// Within a run, a receive or send waits in Poll() rather than in the kernel, so that
// Cancel can end it; the socket's idle bound still applies. False (errno set) when the
// wait ended without `fd` becoming ready.
bool AwaitReady(int fd, short events, int option) {
    const int bound = IdleBoundOf(fd, option);
    const auto deadline = Clock::now() + std::chrono::milliseconds(bound < 0 ? 0 : bound);
    for (;;) {
        pollfd wait{fd, events, 0};
        const int ready = Poll({&wait, 1}, bound < 0 ? -1 : MillisecondsLeft(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            errno = EAGAIN;  // what the kernel's own bound reports
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

}  // namespace

int Poll(std::span<pollfd> waits, int timeoutMs) {
    const CancelToken* token = CurrentCancelToken();
    if (token == nullptr || token->wakeFd() < 0) {
        return ::poll(waits.data(), waits.size(), timeoutMs);
    }
    // The waits of this client are one to three descriptors; the token's comes last.
    constexpr std::size_t kMostWaits = 4;
    std::array<pollfd, kMostWaits + 1> all{};
    const std::size_t count = std::min(waits.size(), kMostWaits);
    std::copy_n(waits.begin(), count, all.begin());
    all[count] = {token->wakeFd(), POLLIN, 0};
    const int ready = token->cancelled() ? 0 : ::poll(all.data(), count + 1, timeoutMs);
    if (token->cancelled()) {
        errno = ECANCELED;
        return -1;
    }
    std::copy_n(all.begin(), count, waits.begin());
    return ready;
}

UniqueFd OpenStreamSocket(bool nonBlocking) {
    const int type = SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    UniqueFd fd(::socket(AF_INET, type, 0));
    if (fd) {
        DisableNagle(fd.get());
    }
    return fd;
}

void DisableNagle(int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SetIdleBound(int fd, std::chrono::milliseconds bound) {
    // A zero timeval would mean "no bound at all".
    const auto ms = bound.count() < 1 ? 1 : bound.count();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

std::vector<sockaddr_in> Resolve(const std::string& host, unsigned port) {
    std::vector<sockaddr_in> found;
    if (host.empty() || port == 0 || port > 65535) {
        return found;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &raw) != 0) {
        return found;
    }
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
        if (info->ai_family != AF_INET || info->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, info->ai_addr, sizeof address);
        address.sin_port = htons(static_cast<uint16_t>(port));
        found.push_back(address);
    }
    return found;
}

bool ConnectWithin(int fd, const sockaddr_in& address, std::chrono::milliseconds bound) {
    // Non-blocking connect and poll: the one way to bound the wait that also survives
    // EINTR without losing the connection attempt.
    if (!SetBlocking(fd, false)) {
        return false;
    }
    bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS) {
        const auto deadline = Clock::now() + bound;
        pollfd wait{fd, POLLOUT, 0};
        for (;;) {
            const int ready = Poll({&wait, 1}, MillisecondsLeft(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 1) {
                int error = 0;
                socklen_t length = sizeof error;
                connected =
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
            }
            break;
        }
    }
    return SetBlocking(fd, true) && connected;
}

std::optional<sockaddr_in> LocalAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return std::nullopt;
    }
    return address;
}

std::optional<sockaddr_in> PeerAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return std::nullopt;
    }
    return address;
}

std::string DottedText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

long SendSome(int fd, const char* data, std::size_t size) {
    if (CurrentCancelToken() != nullptr) {
        for (;;) {
            const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return static_cast<long>(sent);
            }
            if (errno != EINTR && !AwaitReady(fd, POLLOUT, SO_SNDTIMEO)) {
                return -1;
            }
        }
    }
    for (;;) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(sent);
    }
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const long sent = SendSome(fd, data, size);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool AwaitReadable(int fd) {
    return CurrentCancelToken() == nullptr || AwaitReady(fd, POLLIN, SO_RCVTIMEO);
}

long ReceiveSome(int fd, char* data, std::size_t size) {
    if (CurrentCancelToken() != nullptr) {
        for (;;) {
            const ssize_t got = ::recv(fd, data, size, MSG_DONTWAIT);
            if (got >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return static_cast<long>(got);
            }
            if (errno != EINTR && !AwaitReady(fd, POLLIN, SO_RCVTIMEO)) {
                return -1;
            }
        }
    }
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(got);
    }
}

}  // namespace klv::ftp::tcp
