// IPv4 TCP helpers on plain POSIX sockets, shared by the control and data connections.
//
// Every blocking call here is bounded: a socket made by OpenStreamSocket() carries an
// idle bound (SO_RCVTIMEO/SO_SNDTIMEO) once SetIdleBound() has run, so a receive, a send
// or a connect on which nothing moves for that long fails instead of waiting for ever.
// Inside a run (base/cancel.h) every wait also ends, failing with ECANCELED, as soon as
// the run is cancelled.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace klv::ftp::tcp {

// poll(2) over `waits` for at most `timeoutMs` (-1: no bound) that also watches the
// calling thread's cancel token: once the run is cancelled it returns -1 with errno
// ECANCELED, before waiting or during the wait.
[[nodiscard]] int Poll(std::span<pollfd> waits, int timeoutMs);

// A new IPv4 stream socket, close-on-exec, with Nagle's algorithm off (FTP is a
// dialogue of short lines; a delayed ACK must not hold one back). Invalid on failure.
[[nodiscard]] UniqueFd OpenStreamSocket(bool nonBlocking = false);

// Sends small writes at once (TCP_NODELAY). Best effort: without it the socket still
// works, only slower.
void DisableNagle(int fd);

// Bounds each blocking receive, send and connect on `fd` to `bound`.
[[nodiscard]] bool SetIdleBound(int fd, std::chrono::milliseconds bound);

// The IPv4 addresses of `host` (dotted text or a name), with `port` filled in.
[[nodiscard]] std::vector<sockaddr_in> Resolve(const std::string& host, unsigned port);

// Connects `fd` to `address`, giving up when the connection is not made within `bound`.
[[nodiscard]] bool ConnectWithin(int fd, const sockaddr_in& address,
                                 std::chrono::milliseconds bound);

[[nodiscard]] std::optional<sockaddr_in> LocalAddress(int fd);
[[nodiscard]] std::optional<sockaddr_in> PeerAddress(int fd);

// "a.b.c.d" for an IPv4 address.
[[nodiscard]] std::string DottedText(const in_addr& address);

// One send of up to `size` bytes, never raising SIGPIPE; retried on EINTR. The count
// sent (possibly fewer than asked), or -1 on failure or when nothing moved in time.
[[nodiscard]] long SendSome(int fd, const char* data, std::size_t size);

// Sends every byte, looping over short sends. False on failure.
[[nodiscard]] bool SendAll(int fd, const char* data, std::size_t size);

// Within a run, waits until `fd` has something to read, for at most its idle bound and
// only until the run is cancelled (false, errno set). Outside a run: true at once.
[[nodiscard]] bool AwaitReadable(int fd);

// One receive of up to `size` bytes; retried on EINTR. The count received, 0 when the
// peer has closed the connection, -1 on failure or when nothing arrived in time.
[[nodiscard]] long ReceiveSome(int fd, char* data, std::size_t size);

}  // namespace klv::ftp::tcp
