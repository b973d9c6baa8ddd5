#include "tests/interop/control_tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace klv::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kHoldBound{500};

sockaddr_in AddressOf(const std::string& host, unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("ControlTap: not an IPv4 address: " + host);
    }
    return address;
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// The complete lines of `bytes` (each up to its LF), without the rest after the last LF.
std::vector<std::string_view> CompleteLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
         end = bytes.find('\n', start)) {
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsPreliminaryReplyLine(std::string_view line) {
    return line.size() >= 3 && line[0] == '1' && (line.size() == 3 || line[3] != '-');
}

// True when the last thing in `bytes` is a whole preliminary reply line.
bool EndsWithPreliminaryReply(std::string_view bytes) {
    if (bytes.empty() || bytes.back() != '\n') {
        return false;
    }
    const std::vector<std::string_view> lines = CompleteLines(bytes);
    return !lines.empty() && IsPreliminaryReplyLine(lines.back());
}

bool HoldsPreliminaryReplyAndAnother(std::string_view bytes) {
    const std::vector<std::string_view> lines = CompleteLines(bytes);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (IsPreliminaryReplyLine(lines[i])) {
            return true;
        }
    }
    return false;
}

}  // namespace

ControlTap::ControlTap(std::string serverHost, unsigned serverPort, bool joinPreliminaryReplies)
    : host_(std::move(serverHost)),
      serverPort_(serverPort),
      join_(joinPreliminaryReplies),
      listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    sockaddr_in address = AddressOf(host_, 0);
    socklen_t length = sizeof address;
    if (!listener_ || !stop_ ||
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("ControlTap: cannot listen on " + host_);
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ControlTap::~ControlTap() {
    const std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

std::vector<std::string> ControlTap::ServerLines() const {
    const std::lock_guard lock(mutex_);
    return server_.complete;
}

std::vector<std::string> ControlTap::ClientLines() const {
    const std::lock_guard lock(mutex_);
    return client_.complete;
}

bool ControlTap::WaitForServerLine(const std::string& prefix,
                                   std::chrono::milliseconds bound) const {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        for (const std::string& line : ServerLines()) {
            if (line.starts_with(prefix)) {
                return true;
            }
        }
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ControlTap::Record(Lines& lines, const std::string& bytes) {
    const std::lock_guard lock(mutex_);
    for (const char c : bytes) {
        if (c == '\n') {
            if (!lines.partial.empty() && lines.partial.back() == '\r') {
                lines.partial.pop_back();
            }
            lines.complete.push_back(std::move(lines.partial));
            lines.partial.clear();
        } else {
            lines.partial += c;
        }
    }
}

void ControlTap::Run() {
    for (;;) {
        std::array<pollfd, 2> waits{{{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}}};
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        ftp::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            continue;
        }
        ftp::UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in target = AddressOf(host_, serverPort_);
        if (!server || ::connect(server.get(), reinterpret_cast<const sockaddr*>(&target),
                                 sizeof target) != 0) {
            continue;  // the client sees its connection closed
        }
        Relay(client.get(), server.get());
    }
}

void ControlTap::Relay(int client, int server) {
    bool clientOpen = true;
    std::string held;      // from the server, not yet passed on
    bool holding = false;  // a preliminary reply waits in `held` until holdUntil
    Clock::time_point holdUntil{};
    std::array<char, 4096> buffer{};
    for (;;) {
        int timeout = -1;
        if (holding) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(holdUntil - Clock::now());
            timeout = std::max(0, static_cast<int>(left.count()));
        }
        std::array<pollfd, 3> waits{
            {{clientOpen ? client : -1, POLLIN, 0}, {server, POLLIN, 0}, {stop_.get(), POLLIN, 0}}};
        if (::poll(waits.data(), waits.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[2].revents != 0) {
            return;
        }
        if (clientOpen && waits[0].revents != 0) {
            const ssize_t got = ::recv(client, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                // The client hung up (after QUIT, say): the server may still answer.
                clientOpen = false;
                ::shutdown(server, SHUT_WR);
            } else {
                const std::string bytes(buffer.data(), static_cast<std::size_t>(got));
                Record(client_, bytes);
                if (!SendAll(server, bytes)) {
                    return;
                }
            }
        }
        if (waits[1].revents != 0) {
            const ssize_t got = ::recv(server, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                (void)SendAll(client, held);
                return;
            }
            const std::string bytes(buffer.data(), static_cast<std::size_t>(got));
            Record(server_, bytes);
            held += bytes;
        }
        if (held.empty()) {
            continue;
        }
        if (join_ && EndsWithPreliminaryReply(held)) {
            if (!holding) {
                holding = true;
                holdUntil = Clock::now() + kHoldBound;
            }
            if (Clock::now() < holdUntil) {
                continue;
            }
        }
        if (join_ && HoldsPreliminaryReplyAndAnother(held)) {
            ++joinedWrites_;
        }
        if (clientOpen && !SendAll(client, held)) {
            return;
        }
        held.clear();
        holding = false;
    }
}

}  // namespace klv::testing
