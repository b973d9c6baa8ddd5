#include "ftp/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <cerrno>

namespace klv::ftp::tcp {

namespace {

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// After a call that would have blocked: waits for `events` on `fd`. False (errno set)
// when the deadline or Cancel came first.
bool AwaitReady(int fd, short events, Deadline deadline) {
    return WaitFor(fd, events, deadline) == WaitOutcome::Ready;
}

template <typename Address>
std::optional<Address> AddressOf(int fd, int (*query)(int, sockaddr*, socklen_t*), int family) {
    Address address{};
    socklen_t length = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        reinterpret_cast<const sockaddr*>(&address)->sa_family != family) {
        return std::nullopt;
    }
    return address;
}

}  // namespace

UniqueFd OpenStreamSocket(int family) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd) {
        DisableNagle(fd.get());
    }
    return fd;
}

void DisableNagle(int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool Connect(int fd, const sockaddr* address, socklen_t length, Deadline deadline) {
    if (::connect(fd, address, length) == 0) {
        return true;
    }
    // EINTR leaves the attempt going on, as EINPROGRESS does.
    if ((errno != EINPROGRESS && errno != EINTR) || !AwaitReady(fd, POLLOUT, deadline)) {
        return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return false;
    }
    errno = error;
    return error == 0;
}

bool Connect(int fd, const sockaddr_in& address, Deadline deadline) {
    return Connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
}

std::optional<sockaddr_in> LocalAddress(int fd) {
    return AddressOf<sockaddr_in>(fd, ::getsockname, AF_INET);
}

std::optional<sockaddr_in> PeerAddress(int fd) {
    return AddressOf<sockaddr_in>(fd, ::getpeername, AF_INET);
}

std::string DottedText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

long SendSome(int fd, const char* data, std::size_t size, Deadline deadline) {
    for (;;) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno != EINTR && (!WouldBlock() || !AwaitReady(fd, POLLOUT, deadline))) {
            return -1;
        }
    }
}

bool SendAll(int fd, const char* data, std::size_t size, Deadline deadline) {
    while (size > 0) {
        const long sent = SendSome(fd, data, size, deadline);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long ReceiveSome(int fd, char* data, std::size_t size, Deadline deadline) {
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got >= 0) {
            return static_cast<long>(got);
        }
        if (errno != EINTR && (!WouldBlock() || !AwaitReady(fd, POLLIN, deadline))) {
            return -1;
        }
    }
}

}  // namespace klv::ftp::tcp
