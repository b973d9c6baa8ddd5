// The one wait of every network operation: poll(2) on the operation's descriptors and
// on the run's wake-up, for at most the time its deadline leaves.
//
// Sockets are non-blocking everywhere, so no call ever waits inside the kernel or inside
// a library: a receive, a send, a connect, an accept, a TLS handshake and a name lookup
// all come back here when they would block. Cancel (base/cancel.h) therefore ends any of
// them within one pass, and a deadline counted from the start of an operation holds
// however the peer trickles its bytes.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

namespace klv {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// `bound` from now.
[[nodiscard]] inline Deadline DeadlineAfter(std::chrono::milliseconds bound) {
    return Clock::now() + bound;
}

enum class WaitOutcome {
    Ready,      // at least one descriptor has revents set
    TimedOut,   // the deadline passed first (errno ETIMEDOUT)
    Cancelled,  // the run was cancelled, before or during the wait (errno ECANCELED)
    Failed,     // poll itself failed (errno set)
};

// Waits until one of `waits` is ready, the deadline passes or the calling thread's run
// is cancelled, whichever comes first. Signals do not end the wait. At most four
// descriptors.
[[nodiscard]] WaitOutcome WaitFor(std::span<pollfd> waits, Deadline deadline);

// The same for one descriptor and `events` (POLLIN, POLLOUT).
[[nodiscard]] WaitOutcome WaitFor(int fd, short events, Deadline deadline);

// Milliseconds until `deadline`, at least 0: for a library's own wait (libcurl's).
[[nodiscard]] int MillisecondsLeft(Deadline deadline);

}  // namespace klv
