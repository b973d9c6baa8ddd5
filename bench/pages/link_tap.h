// A tap on one interface of the calling thread's network namespace that keeps the TCP
// segments to and from one port (a kernel filter picks them) in its receive queue,
// with the kernel's time stamps, until Drain reads them. Nothing of it runs while the
// clients are timed.
#pragma once

#include <cstdint>
#include <string>

#include "base/unique_fd.h"
#include "bench/pages/control_tally.h"

namespace klv::bench {

class LinkTap {
public:
    // Throws when the packet socket cannot be opened (it needs CAP_NET_RAW).
    LinkTap(const std::string& interface, std::uint16_t port);

    // Hands every queued frame to `tally`. Returns how many frames the kernel dropped
    // since the last call because the queue was full (0 unless something went wrong).
    unsigned Drain(ControlTally& tally);

private:
    UniqueFd socket_;
};

}  // namespace klv::bench
