// TCP helpers on non-blocking POSIX sockets, shared by the control and data connections.
//
// Every call that could block waits in WaitFor (base/wait.h) instead, until the deadline
// it is given: a receive, a send or a connect on which nothing happens in time fails
// with ETIMEDOUT, and one that the run's Cancel ends fails with ECANCELED.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <optional>
#include <string>

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
[[nodiscard]] bool Connect(int fd, const sockaddr_in& address, Deadline deadline);

[[nodiscard]] std::optional<sockaddr_in> LocalAddress(int fd);
[[nodiscard]] std::optional<sockaddr_in> PeerAddress(int fd);

// "a.b.c.d" for an IPv4 address.
[[nodiscard]] std::string DottedText(const in_addr& address);

// One send of up to `size` bytes, never raising SIGPIPE, waiting until `deadline` for
// room. The count sent (possibly fewer than asked), or -1 (errno set).
[[nodiscard]] long SendSome(int fd, const char* data, std::size_t size, Deadline deadline);

// Sends every byte by `deadline`, looping over short sends. False on failure.
[[nodiscard]] bool SendAll(int fd, const char* data, std::size_t size, Deadline deadline);

// One receive of up to `size` bytes, waiting until `deadline` for the first. The count
// received, 0 when the peer has closed the connection, -1 on failure (errno set).
[[nodiscard]] long ReceiveSome(int fd, char* data, std::size_t size, Deadline deadline);

}  // namespace klv::ftp::tcp
