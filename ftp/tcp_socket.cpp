#include "ftp/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

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

std::optional<SocketAddress> AddressOf(int fd, int (*query)(int, sockaddr*, socklen_t*)) {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (query(fd, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0 ||
        (address.family() != AF_INET && address.family() != AF_INET6)) {
        return std::nullopt;
    }
    return address;
}

// RFC 8305 §4: the families take turns, the first address's family first; within each
// family the order stays.
std::vector<const SocketAddress*> Interleaved(std::span<const SocketAddress> addresses) {
    std::vector<const SocketAddress*> first, other, order;
    for (const SocketAddress& address : addresses) {
        (address.family() == addresses.front().family() ? first : other).push_back(&address);
    }
    for (std::size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        for (const auto* family : {&first, &other}) {
            if (i < family->size()) {
                order.push_back((*family)[i]);
            }
        }
    }
    return order;
}

// One connect under way.
struct Attempt {
    UniqueFd fd;
    Deadline bound;
};

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

bool Connect(int fd, const SocketAddress& address, Deadline deadline) {
    return Connect(fd, address.get(), address.length, deadline);
}

UniqueFd ConnectFirst(std::span<const SocketAddress> addresses, Deadline deadline) {
    constexpr std::size_t kMostPending = 4;  // as many as one WaitFor watches
    const std::vector<const SocketAddress*> order = Interleaved(addresses);
    std::vector<Attempt> pending;
    std::size_t next = 0;
    Deadline nextStart = Clock::now();
    int lastError = order.empty() ? EHOSTUNREACH : ETIMEDOUT;
    for (;;) {
        Deadline now = Clock::now();
        while (next < order.size() && pending.size() < kMostPending && now >= nextStart) {
            const SocketAddress& address = *order[next++];
            UniqueFd fd = OpenStreamSocket(address.family());
            if (!fd) {
                lastError = errno;  // no socket of this family (no IPv6 here): the next one
                continue;
            }
            if (::connect(fd.get(), address.get(), address.length) == 0) {
                return fd;
            }
            if (errno != EINPROGRESS && errno != EINTR) {
                lastError = errno;  // refused or unreachable at once: the next one at once
                continue;
            }
            const bool last = next == order.size();
            pending.push_back(
                {std::move(fd), last ? deadline : std::min(deadline, now + kAttemptBound)});
            nextStart = now + kAttemptDelay;
        }
        if (pending.empty()) {
            if (next >= order.size()) {
                errno = lastError;
                return {};
            }
            continue;  // a slot is free and the next attempt is due at once
        }

        Deadline until = deadline;
        for (const Attempt& attempt : pending) {
            until = std::min(until, attempt.bound);
        }
        if (next < order.size() && pending.size() < kMostPending) {
            until = std::min(until, nextStart);
        }
        std::array<pollfd, kMostPending> waits{};
        for (std::size_t i = 0; i < pending.size(); ++i) {
            waits[i] = {pending[i].fd.get(), POLLOUT, 0};
        }
        const WaitOutcome outcome = WaitFor(std::span(waits.data(), pending.size()), until);
        if (outcome == WaitOutcome::Cancelled || outcome == WaitOutcome::Failed) {
            return {};  // errno says why
        }
        now = Clock::now();
        bool ended = false;
        for (std::size_t i = pending.size(); i-- > 0;) {
            if (outcome == WaitOutcome::Ready && waits[i].revents != 0) {
                int error = 0;
                socklen_t size = sizeof error;
                if (::getsockopt(pending[i].fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
                if (error == 0) {
                    return std::move(pending[i].fd);  // the others close as they go
                }
                lastError = error;
            } else if (now >= pending[i].bound) {
                lastError = ETIMEDOUT;
            } else {
                continue;
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            ended = true;
        }
        if (ended) {
            nextStart = now;  // a failure starts the next attempt at once
        }
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return {};
        }
    }
}

std::optional<SocketAddress> LocalAddress(int fd) {
    return AddressOf(fd, ::getsockname);
}

std::optional<SocketAddress> PeerAddress(int fd) {
    return AddressOf(fd, ::getpeername);
}

std::string AddressText(const SocketAddress& address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* raw = nullptr;
    if (address.family() == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr;
    } else if (address.family() == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr;
    }
    if (raw == nullptr || ::inet_ntop(address.family(), raw, text.data(), text.size()) == nullptr) {
        return {};
    }
    return text.data();
}

unsigned PortOf(const SocketAddress& address) {
    if (address.family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_port);
}

void SetPort(SocketAddress& address, unsigned port) {
    const auto network = htons(static_cast<std::uint16_t>(port));
    if (address.family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = network;
    } else {
        reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = network;
    }
}

bool SameHost(const SocketAddress& a, const SocketAddress& b) {
    if (a.family() != b.family()) {
        return false;
    }
    if (a.family() == AF_INET6) {
        const auto& x = reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_addr;
        const auto& y = reinterpret_cast<const sockaddr_in6*>(&b.storage)->sin6_addr;
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    return reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(&b.storage)->sin_addr.s_addr;
}

SocketAddress Unmapped(const SocketAddress& address) {
    const auto* six = reinterpret_cast<const sockaddr_in6*>(&address.storage);
    if (address.family() != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
        return address;
    }
    SocketAddress four;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&four.storage);
    v4->sin_family = AF_INET;
    v4->sin_port = six->sin6_port;
    std::memcpy(&v4->sin_addr, &six->sin6_addr.s6_addr[12], sizeof v4->sin_addr);
    four.length = sizeof *v4;
    return four;
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
