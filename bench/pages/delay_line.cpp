#include "bench/pages/delay_line.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <future>
#include <optional>
#include <system_error>
#include <vector>

namespace klv::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQueueBytes = 32 << 20;
// Large enough for a 64 KiB segmentation-offload frame and its header.
constexpr std::size_t kLargestFrame = 256 * 1024;
// struct virtio_net_hdr of <linux/virtio_net.h> (flags, gso_type, hdr_len, gso_size,
// csum_start, csum_offset), which precedes each frame; that header itself is not C++.
constexpr std::size_t kVnetHeader = 10;
// Retry interval when the outgoing queue is full.
constexpr std::chrono::microseconds kSendRetry(100);

struct Frame {
    Clock::time_point due;
    std::vector<unsigned char> bytes;  // virtio-net header, then the Ethernet frame
};

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

UniqueFd OpenPort(const std::string& interface) {
    // Protocol 0 until bound, so that no frame of another interface is queued.
    UniqueFd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    Check(fd.valid(), "packet socket");
    const int on = 1;
    Check(::setsockopt(fd.get(), SOL_PACKET, PACKET_VNET_HDR, &on, sizeof on) == 0,
          "PACKET_VNET_HDR");
    // The frames this socket sends must not come back to it as arrivals.
    Check(::setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) == 0,
          "PACKET_IGNORE_OUTGOING");
    Check(::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kQueueBytes, sizeof kQueueBytes) == 0,
          "SO_RCVBUFFORCE");
    Check(::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kQueueBytes, sizeof kQueueBytes) == 0,
          "SO_SNDBUFFORCE");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
    Check(address.sll_ifindex != 0, "if_nametoindex");
    Check(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
          "bind packet socket");
    return fd;
}

WireTime Now() {
    return std::chrono::duration_cast<WireTime>(Clock::now().time_since_epoch());
}

}  // namespace

DelayLine::DelayLine(int namespaceFd, const std::string& first, const std::string& second,
                     std::chrono::microseconds oneWay, ControlTally* tally)
    : oneWay_(oneWay), tally_(tally), stop_(::eventfd(0, EFD_CLOEXEC)) {
    Check(stop_.valid(), "eventfd");
    std::promise<void> ready;
    std::future<void> started = ready.get_future();
    thread_ = std::thread([this, namespaceFd, first, second, ready = std::move(ready)]() mutable {
        UniqueFd a;
        UniqueFd b;
        try {
            // Only this thread moves: the rest of the process stays where it is.
            Check(::setns(namespaceFd, CLONE_NEWNET) == 0, "setns");
            a = OpenPort(first);
            b = OpenPort(second);
        } catch (...) {
            ready.set_exception(std::current_exception());
            return;
        }
        // Best effort: a real-time thread sends each frame on time even when other
        // work keeps both processors busy. It sleeps in ppoll between frames.
        sched_param priority{};
        priority.sched_priority = 10;
        (void)::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        ready.set_value();
        Run(a.get(), b.get());
    });
    try {
        started.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

DelayLine::~DelayLine() {
    const std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

DelayLine::Stats DelayLine::stats() const {
    const std::lock_guard lock(statsMutex_);
    return stats_;
}

void DelayLine::Run(int first, int second) {
    // queues[0] holds what arrived on `first` and leaves by `second`; queues[1] the reverse.
    std::array<std::deque<Frame>, 2> queues;
    const std::array<int, 2> inbound{first, second};
    const std::array<int, 2> outbound{second, first};
    std::vector<unsigned char> buffer(kLargestFrame);
    bool sendBlocked = false;

    for (;;) {
        sendBlocked = false;
        for (std::size_t side = 0; side < 2; ++side) {
            std::deque<Frame>& queue = queues[side];
            while (!queue.empty() && queue.front().due <= Clock::now()) {
                Frame& frame = queue.front();
                const ssize_t sent =
                    ::send(outbound[side], frame.bytes.data(), frame.bytes.size(), MSG_DONTWAIT);
                if (sent < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
                    sendBlocked = true;
                    break;  // kept at the front: order is never changed
                }
                const auto late =
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - frame.due);
                {
                    const std::lock_guard lock(statsMutex_);
                    ++stats_.frames;
                    stats_.dropped += sent < 0 ? 1 : 0;
                    stats_.latestSend = std::max(stats_.latestSend, late);
                }
                queue.pop_front();
            }
        }

        std::optional<Clock::time_point> wake;
        for (const auto& queue : queues) {
            if (!queue.empty() && (!wake || queue.front().due < *wake)) {
                wake = queue.front().due;
            }
        }
        if (sendBlocked) {
            wake = Clock::now() + kSendRetry;
        }
        timespec timeout{};
        if (wake) {
            const auto left = std::max(Clock::duration::zero(), *wake - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        std::array<pollfd, 3> waits{
            {{first, POLLIN, 0}, {second, POLLIN, 0}, {stop_.get(), POLLIN, 0}}};
        if (::ppoll(waits.data(), waits.size(), wake ? &timeout : nullptr, nullptr) < 0) {
            continue;  // EINTR
        }
        if (waits[2].revents != 0) {
            return;
        }
        for (std::size_t side = 0; side < 2; ++side) {
            if (waits[side].revents == 0) {
                continue;
            }
            for (;;) {
                const ssize_t got =
                    ::recv(inbound[side], buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
                if (got < 0) {
                    break;  // EAGAIN: nothing more has arrived
                }
                const auto arrived = Clock::now();
                const std::size_t length = static_cast<std::size_t>(got);
                if (length > buffer.size() || length <= kVnetHeader) {
                    const std::lock_guard lock(statsMutex_);
                    ++stats_.dropped;
                    continue;
                }
                if (tally_ != nullptr) {
                    tally_->Observe(Now(), {buffer.data() + kVnetHeader, length - kVnetHeader});
                }
                queues[side].push_back({arrived + oneWay_, {buffer.begin(), buffer.begin() + got}});
            }
        }
    }
}

}  // namespace klv::bench
