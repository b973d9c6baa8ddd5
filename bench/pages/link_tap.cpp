#include "bench/pages/link_tap.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace klv::bench {

namespace {

constexpr int kQueueBytes = 64 << 20;  // a whole session's control segments, many times

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

}  // namespace

LinkTap::LinkTap(const std::string& interface, std::uint16_t port) {
    // Protocol 0 until bound: no frame is queued before the filter is in place.
    socket_.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    Check(socket_.valid(), "packet socket");

    // IPv4, TCP, not a fragment, source or destination port `port`.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),                    // 0: EtherType
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETHERTYPE_IP, 0, 10),  // 1: else drop
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 23),                    // 2: IP protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 6, 0, 8),              // 3: TCP, else drop
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),                    // 4: fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 6, 0),        // 5: a fragment: drop
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),                   // 6: X = IP header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 14),                    // 7: source port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 2, 0),           // 8: keep
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 16),                    // 9: destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1),           // 10: keep, else drop
        BPF_STMT(BPF_RET | BPF_K, 0x40000),                        // 11: keep the frame
        BPF_STMT(BPF_RET | BPF_K, 0),                              // 12: drop
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    Check(::setsockopt(socket_.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0,
          "SO_ATTACH_FILTER");
    const int on = 1;
    Check(::setsockopt(socket_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0,
          "SO_TIMESTAMPNS");
    // On loopback every frame passes twice, going out and coming in: keep one.
    Check(::setsockopt(socket_.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) == 0,
          "PACKET_IGNORE_OUTGOING");
    Check(::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kQueueBytes,
                       sizeof kQueueBytes) == 0,
          "SO_RCVBUFFORCE");

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
    Check(address.sll_ifindex != 0, "if_nametoindex");
    Check(::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
          "bind packet socket");
    ControlTally discarded(port);
    (void)Drain(discarded);  // nothing from before the filter
}

unsigned LinkTap::Drain(ControlTally& tally) {
    std::vector<unsigned char> frame(1 << 18);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        iovec part{frame.data(), frame.size()};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // EAGAIN: the queue is empty
        }
        WireTime at{0};
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
             item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
                at = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
            }
        }
        tally.Observe(at, {frame.data(), static_cast<std::size_t>(got)});
    }
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(socket_.get(), SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) {
        return 0;
    }
    return stats.tp_drops;
}

}  // namespace klv::bench
