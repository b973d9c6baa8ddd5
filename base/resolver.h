// Name lookups that a cancelled run does not wait for.
//
// getaddrinfo(3) blocks and cannot be interrupted: a stuck DNS server would hold the run
// (and a closing window) for as long as the resolver's own timeouts. So a name is looked
// up on a thread of its own, and the run waits for its answer in WaitFor (base/wait.h):
// Cancel or the deadline end the wait at once, and the lookup finishes alone later.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

#include "base/wait.h"

namespace klv {

// One address to connect to, of any family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    [[nodiscard]] const sockaddr* get() const {
        return reinterpret_cast<const sockaddr*>(&storage);
    }
    [[nodiscard]] int family() const { return storage.ss_family; }
};

struct Resolution {
    std::vector<SocketAddress> addresses;      // in the resolver's order; empty on failure
    WaitOutcome outcome = WaitOutcome::Ready;  // TimedOut or Cancelled: the lookup was left
};

// The stream addresses of `host` (a name or a numeric address) of `family` (AF_INET,
// AF_INET6 or AF_UNSPEC) with `port` filled in. A numeric address is taken at once.
[[nodiscard]] Resolution Resolve(const std::string& host, unsigned port, int family,
                                 Deadline deadline);

}  // namespace klv
