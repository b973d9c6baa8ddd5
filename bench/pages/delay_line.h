// A delay line: a software stand-in for a wide-area path, for kernels without netem.
//
// It runs on a thread in a network namespace of its own that holds one end of each of
// two veth pairs. Every Ethernet frame arriving on one of its two interfaces is sent
// out of the other `oneWay` later, in arrival order: a round trip through it takes
// twice `oneWay` plus what the hosts at either end add. It works below IP, so every
// frame of every connection (SYN, data, ACK, FIN, ARP) is delayed the same way, in
// both directions, whichever side opens the connection.
//
// Frames are read and written with packet sockets carrying a virtio-net header, so
// segmentation offload and checksum offload pass through unchanged: a 64 KiB TSO
// frame goes across as one frame, as it would between two veth ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "base/unique_fd.h"
#include "bench/pages/control_tally.h"

namespace klv::bench {

class DelayLine {
public:
    struct Stats {
        std::uint64_t frames = 0;
        std::uint64_t dropped = 0;                // too large to carry, or refused by the interface
        std::chrono::microseconds latestSend{0};  // the most a frame left after it was due
    };

    // `namespaceFd` names the namespace holding both interfaces. Every frame is also
    // handed to `tally` (when not null) as it arrives. Throws when the line cannot be
    // set up; it runs once the constructor returns.
    DelayLine(int namespaceFd, const std::string& first, const std::string& second,
              std::chrono::microseconds oneWay, ControlTally* tally);
    ~DelayLine();
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    // A snapshot; safe while the line runs.
    [[nodiscard]] Stats stats() const;

private:
    // Forwards between the two packet sockets until stop_ is written.
    void Run(int first, int second);

    std::chrono::microseconds oneWay_;
    ControlTally* tally_;
    UniqueFd stop_;  // an eventfd: written once to end the thread
    std::thread thread_;
    mutable std::mutex statsMutex_;
    Stats stats_;
};

}  // namespace klv::bench
