#include "bench/pages/split_network.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "bench/bench.h"

namespace klv::bench {

namespace {

constexpr char kIp[] = "/usr/sbin/ip";
constexpr char kNamePrefix[] = "klvpg";
constexpr char kClientMac[] = "02:6b:6c:76:00:01";
constexpr char kServerMac[] = "02:6b:6c:76:00:02";

std::string NameFor(char role) {
    return kNamePrefix + std::to_string(::getpid()) + role;
}

void Ip(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kIp);
    if (RunToEnd(arguments) != 0) {
        std::string command;
        for (const std::string& argument : arguments) {
            command += argument + " ";
        }
        throw std::runtime_error("failed: " + command);
    }
}

// Turns IPv6 off in the calling thread's namespace, for links made from now on as well
// as for those already there. A kernel without IPv6 has nothing to turn off.
void DisableIpv6() {
    for (const char* path : {"/proc/sys/net/ipv6/conf/default/disable_ipv6",
                             "/proc/sys/net/ipv6/conf/all/disable_ipv6"}) {
        std::ofstream(path) << "1\n";
    }
}

}  // namespace

NetworkNamespace::NetworkNamespace(std::string name) : name_(std::move(name)) {
    if (RunToEnd({kIp, "netns", "add", name_}) != 0) {
        throw NamespacesRefused("`ip netns add " + name_ + "` failed");
    }
    fd_.reset(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
        const int error = errno;
        (void)RunToEnd({kIp, "netns", "del", name_});
        throw std::system_error(error, std::generic_category(), "open /run/netns/" + name_);
    }
}

NetworkNamespace::~NetworkNamespace() {
    fd_.reset();
    (void)RunToEnd({kIp, "netns", "del", name_});
}

SplitNetwork::SplitNetwork() : client_(NameFor('c')), middle_(NameFor('m')), server_(NameFor('s')) {
    for (const NetworkNamespace* space : {&client_, &middle_, &server_}) {
        const NamespaceScope inside(space->fd());
        DisableIpv6();
    }
    const std::string& c = client_.name();
    const std::string& m = middle_.name();
    const std::string& s = server_.name();
    Ip({"-n", m, "link", "add", kMiddleToClient, "type", "veth", "peer", "name", "c0", "netns", c});
    Ip({"-n", m, "link", "add", kMiddleToServer, "type", "veth", "peer", "name", "s0", "netns", s});
    Ip({"-n", c, "link", "set", "c0", "address", kClientMac});
    Ip({"-n", s, "link", "set", "s0", "address", kServerMac});
    Ip({"-n", c, "addr", "add", std::string(kClientAddress) + "/30", "dev", "c0"});
    Ip({"-n", s, "addr", "add", std::string(kServerAddress) + "/30", "dev", "s0"});
    Ip({"-n", m, "link", "set", kMiddleToClient, "promisc", "on", "up"});
    Ip({"-n", m, "link", "set", kMiddleToServer, "promisc", "on", "up"});
    for (const std::string& host : {c, s}) {
        Ip({"-n", host, "link", "set", "lo", "up"});
    }
    Ip({"-n", c, "link", "set", "c0", "up"});
    Ip({"-n", s, "link", "set", "s0", "up"});
    Ip({"-n", c, "neigh", "replace", kServerAddress, "lladdr", kServerMac, "dev", "c0", "nud",
        "permanent"});
    Ip({"-n", s, "neigh", "replace", kClientAddress, "lladdr", kClientMac, "dev", "s0", "nud",
        "permanent"});
}

NamespaceScope::NamespaceScope(int namespaceFd)
    : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (!home_ || ::setns(namespaceFd, CLONE_NEWNET) != 0) {
        throw std::system_error(errno, std::generic_category(), "setns");
    }
}

NamespaceScope::~NamespaceScope() {
    (void)::setns(home_.get(), CLONE_NEWNET);
}

void RemoveStaleNamespaces() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename().string();
        const std::string prefix = kNamePrefix;
        if (name.size() < prefix.size() + 2 || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 1);
        if (digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::stol(digits));
        if (::kill(owner, 0) != 0 && errno == ESRCH) {
            (void)RunToEnd({kIp, "netns", "del", name});
        }
    }
}

}  // namespace klv::bench
