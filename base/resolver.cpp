#include "base/resolver.h"

#include <netdb.h>
#include <sys/eventfd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/c_handle.h"
#include "base/unique_fd.h"

namespace klv {

namespace {

using AddressList = CHandle<addrinfo, freeaddrinfo>;

std::vector<SocketAddress> Lookup(const std::string& host, unsigned port, int family, int flags) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    std::vector<SocketAddress> found;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw) != 0) {
        return found;
    }
    const AddressList list(raw);
    for (const addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
        if (info->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        SocketAddress address;
        std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
        address.length = info->ai_addrlen;
        found.push_back(address);
    }
    return found;
}

// What the lookup thread and the waiting run share; the last of the two frees it.
struct PendingLookup {
    UniqueFd done{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::mutex mutex;
    std::vector<SocketAddress> addresses;
};

}  // namespace

Resolution Resolve(const std::string& host, unsigned port, int family, Deadline deadline) {
    Resolution resolution;
    if (host.empty() || port == 0 || port > 65535) {
        return resolution;
    }
    resolution.addresses = Lookup(host, port, family, AI_NUMERICHOST);
    if (!resolution.addresses.empty()) {
        return resolution;  // no name to look up
    }
    auto pending = std::make_shared<PendingLookup>();
    if (!pending->done) {
        return resolution;
    }
    try {
        std::thread([pending, host, port, family] {
            std::vector<SocketAddress> found = Lookup(host, port, family, 0);
            const std::lock_guard lock(pending->mutex);
            pending->addresses = std::move(found);
            const std::uint64_t one = 1;
            (void)!::write(pending->done.get(), &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return resolution;  // no thread to be had: as a failed lookup
    }
    resolution.outcome = WaitFor(pending->done.get(), POLLIN, deadline);
    if (resolution.outcome == WaitOutcome::Ready) {
        const std::lock_guard lock(pending->mutex);
        resolution.addresses = std::move(pending->addresses);
    }
    return resolution;
}

}  // namespace klv
