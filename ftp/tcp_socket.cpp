#include "ftp/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

}  // namespace

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
            const int ready = ::poll(&wait, 1, MillisecondsLeft(deadline));
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

long ReceiveSome(int fd, char* data, std::size_t size) {
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(got);
    }
}

}  // namespace klv::ftp::tcp
