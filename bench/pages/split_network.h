// The network of the delayed benchmark, made with `ip` and removed by its owner:
//
//   client namespace          middle namespace            server namespace
//   c0 10.77.5.1/30 <--veth--> m0 [delay line] m1 <--veth--> s0 10.77.5.2/30
//
// The two hosts share one private /30 that exists only inside these namespaces, so no
// frame can leave the machine. The middle namespace has no address at all: its
// interfaces are promiscuous and only the delay line reads and writes them. Each host
// knows the other's hardware address (a permanent neighbour entry), so no ARP
// exchange stalls the first packet, and IPv6 is off in all three, so nothing but the
// benchmark's own traffic crosses the line.
#pragma once

#include <stdexcept>
#include <string>

#include "base/unique_fd.h"

namespace klv::bench {

// One named network namespace (`ip netns add`), deleted with its owner.
class NetworkNamespace {
public:
    explicit NetworkNamespace(std::string name);
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] int fd() const { return fd_.get(); }

private:
    std::string name_;
    UniqueFd fd_;
};

// Thrown when the kernel or the sandbox refuses network namespaces.
struct NamespacesRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class SplitNetwork {
public:
    static constexpr char kClientAddress[] = "10.77.5.1";
    static constexpr char kServerAddress[] = "10.77.5.2";
    static constexpr char kMiddleToClient[] = "m0";
    static constexpr char kMiddleToServer[] = "m1";

    // Throws NamespacesRefused when namespaces cannot be made at all, another
    // exception when a later step fails; what was made is removed either way.
    SplitNetwork();

    [[nodiscard]] const NetworkNamespace& client() const { return client_; }
    [[nodiscard]] const NetworkNamespace& middle() const { return middle_; }
    [[nodiscard]] const NetworkNamespace& server() const { return server_; }

private:
    NetworkNamespace client_;
    NetworkNamespace middle_;
    NetworkNamespace server_;
};

// Moves the calling thread into a network namespace, and back when destroyed. Sockets
// made meanwhile, and processes started meanwhile, belong to that namespace.
class NamespaceScope {
public:
    explicit NamespaceScope(int namespaceFd);
    ~NamespaceScope();
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;

private:
    UniqueFd home_;
};

// Deletes namespaces that an earlier run of a benchmark left behind when it was killed
// outright (SIGKILL): names made by SplitNetwork whose process no longer exists.
void RemoveStaleNamespaces();

}  // namespace klv::bench
