// TCP helpers on non-blocking POSIX sockets, shared by the control and data connections.
//
// Every call that could block waits in WaitFor (base/wait.h) instead, until the deadline
// it is given: a receive, a send or a connect on which nothing happens in time fails
// with ETIMEDOUT, and one that the run's Cancel ends fails with ECANCELED.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "base/resolver.h"
#include "base/unique_fd.h"
#include "base/wait.h"

namespace klv::ftp::tcp {

// A new non-blocking stream socket of `family`, close-on-exec, with Nagle's algorithm
// off (FTP is a dialogue of short lines; a delayed ACK must not hold one back). Invalid
// on failure.
[[nodiscard]] UniqueFd OpenStreamSocket(int family = AF_INET);

// Sends small writes at once (TCP_NODELAY). Best effort: without it the socket still
// works, only slower.
void DisableNagle(int fd);

// Connects the non-blocking `fd` to `address`, giving up at `deadline`.
[[nodiscard]] bool Connect(int fd, const sockaddr* address, socklen_t length, Deadline deadline);
[[nodiscard]] bool Connect(int fd, const SocketAddress& address, Deadline deadline);

// How long ConnectFirst waits for one address before it also tries the next (RFC 8305
// §5's recommended Connection Attempt Delay), and the most it gives any address but the
// last before giving up on it.
inline constexpr std::chrono::milliseconds kAttemptDelay{250};
inline constexpr std::chrono::milliseconds kAttemptBound{10000};

// A connected socket to the first of `addresses` that takes a connection, as RFC 8305
// ("Happy Eyeballs") tries them: the families interleaved, starting with the family of
// the first address, each family in the order given (the resolver's); a new attempt
// starts kAttemptDelay after the one before or at once when one fails, up to four at a
// time; each attempt but the last gives up after kAttemptBound. Whatever is pending
// when one succeeds is closed. All of it by `deadline`; invalid on failure, with errno
// from the last attempt that failed (ETIMEDOUT, ECANCELED after Cancel).
[[nodiscard]] UniqueFd ConnectFirst(std::span<const SocketAddress> addresses, Deadline deadline);

// The addresses of a socket, of either family.
[[nodiscard]] std::optional<SocketAddress> LocalAddress(int fd);
[[nodiscard]] std::optional<SocketAddress> PeerAddress(int fd);

// The numeric text of an address without its port: "192.0.2.1", "2001:db8::1".
[[nodiscard]] std::string AddressText(const SocketAddress& address);
[[nodiscard]] unsigned PortOf(const SocketAddress& address);
void SetPort(SocketAddress& address, unsigned port);
// The same family and address, whatever the ports.
[[nodiscard]] bool SameHost(const SocketAddress& a, const SocketAddress& b);
// An IPv4 address seen through an IPv6 socket (::ffff:a.b.c.d), as the IPv4 address it is;
// any other address as it is.
[[nodiscard]] SocketAddress Unmapped(const SocketAddress& address);

// One send of up to `size` bytes, never raising SIGPIPE, waiting until `deadline` for
// room. The count sent (possibly fewer than asked), or -1 (errno set).
[[nodiscard]] long SendSome(int fd, const char* data, std::size_t size, Deadline deadline);

// Sends every byte by `deadline`, looping over short sends. False on failure.
[[nodiscard]] bool SendAll(int fd, const char* data, std::size_t size, Deadline deadline);

// One receive of up to `size` bytes, waiting until `deadline` for the first. The count
// received, 0 when the peer has closed the connection, -1 on failure (errno set).
[[nodiscard]] long ReceiveSome(int fd, char* data, std::size_t size, Deadline deadline);

}  // namespace klv::ftp::tcp
