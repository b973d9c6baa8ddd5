#include "tests/support/ftp/fake_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace klv::testing {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(const std::string& address, unsigned port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + address);
    }
    return socketAddress;
}

ftp::UniqueFd NewSocket() {
    ftp::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd) {
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return fd;
}

// A listener on 127.0.0.1 at a port the system picks.
ftp::UniqueFd Listen(unsigned& port) {
    ftp::UniqueFd fd = NewSocket();
    const sockaddr_in address = Loopback("127.0.0.1", 0);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        throw std::runtime_error("the fake FTP server cannot listen");
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    return fd;
}

}  // namespace

FakeFtpServer::FakeFtpServer() {
    listener_ = Listen(port_);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    stopRead_.reset(pipeFds[0]);
    stopWrite_.reset(pipeFds[1]);
}

FakeFtpServer::~FakeFtpServer() {
    if (thread_.joinable()) {
        const char stop = 's';
        (void)!::write(stopWrite_.get(), &stop, 1);
        thread_.join();
    }
}

FakeFtpServer& FakeFtpServer::Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

void FakeFtpServer::Start() {
    thread_ = std::thread([this] { Run(); });
}

void FakeFtpServer::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeFtpServer::Run() {
    if (!WaitFor(listener_.get(), POLLIN)) {
        Fail("the client never connected");
        return;
    }
    control_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!control_) {
        Fail("accept failed");
        return;
    }
    for (const Step& step : steps_) {
        if (!step()) {
            return;  // the step has recorded why
        }
    }
}

bool FakeFtpServer::Fail(const std::string& error) {
    const std::lock_guard lock(mutex_);
    errors_.push_back(error);
    return false;
}

bool FakeFtpServer::WaitFor(int fd, short events) {
    const auto deadline = Clock::now() + kStepBound;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        std::array<pollfd, 2> waits{{{fd, events, 0}, {stopRead_.get(), POLLIN, 0}}};
        const int ready = ::poll(waits.data(), waits.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || waits[1].revents != 0) {
            return false;
        }
        if (waits[0].revents != 0) {
            return true;
        }
    }
}

bool FakeFtpServer::ReadControlLine(std::string& line) {
    for (;;) {
        const auto lf = controlBuffer_.find('\n');
        if (lf != std::string::npos) {
            line = controlBuffer_.substr(0, lf + 1);
            controlBuffer_.erase(0, lf + 1);
            return true;
        }
        if (!WaitFor(control_.get(), POLLIN)) {
            return false;
        }
        std::array<char, 4096> buffer;
        const ssize_t got = ::recv(control_.get(), buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            return false;
        }
        controlBuffer_.append(buffer.data(), static_cast<std::size_t>(got));
        const std::lock_guard lock(mutex_);
        transcript_.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

bool FakeFtpServer::SendAllTo(int fd, const std::string& bytes, bool byteByByte) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (!WaitFor(fd, POLLOUT)) {
            return false;
        }
        const std::size_t chunk = byteByByte ? 1 : bytes.size() - at;
        const ssize_t sent = ::send(fd, bytes.data() + at, chunk, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(sent);
    }
    return true;
}

FakeFtpServer& FakeFtpServer::Reply(std::string bytes) {
    return Add([this, bytes = std::move(bytes)] {
        return SendAllTo(control_.get(), bytes, false) || Fail("could not send: " + bytes);
    });
}

FakeFtpServer& FakeFtpServer::ReplyByteByByte(std::string bytes) {
    return Add([this, bytes = std::move(bytes)] {
        return SendAllTo(control_.get(), bytes, true) || Fail("could not send: " + bytes);
    });
}

FakeFtpServer& FakeFtpServer::Expect(std::string line) {
    return Add([this, expected = line + "\r\n"] {
        std::string got;
        if (!ReadControlLine(got)) {
            return Fail("expected \"" + expected + "\", but the client sent no such line");
        }
        return got == expected || Fail("expected \"" + expected + "\", got \"" + got + "\"");
    });
}

FakeFtpServer& FakeFtpServer::ExpectStartingWith(std::string prefix) {
    return Add([this, prefix = std::move(prefix)] {
        std::string got;
        if (!ReadControlLine(got)) {
            return Fail("expected a line starting \"" + prefix + "\", but none came");
        }
        const bool matches = got.compare(0, prefix.size(), prefix) == 0 && got.size() >= 2 &&
                             got.compare(got.size() - 2, 2, "\r\n") == 0;
        return matches || Fail("expected a line starting \"" + prefix + "\", got \"" + got + "\"");
    });
}

FakeFtpServer& FakeFtpServer::CloseControl() {
    return Add([this] {
        control_.reset();
        return true;
    });
}

FakeFtpServer& FakeFtpServer::WaitForClose() {
    return Add([this] {
        std::string line;
        while (ReadControlLine(line)) {
        }
        // ReadControlLine ends at the end of the stream, or when out of time.
        pollfd check{control_.get(), POLLIN, 0};
        char byte = 0;
        if (::poll(&check, 1, 0) == 1 && ::recv(control_.get(), &byte, 1, MSG_PEEK) <= 0) {
            return true;
        }
        return Fail("the client did not close the control connection");
    });
}

unsigned FakeFtpServer::OpenPassiveListener() {
    unsigned port = 0;
    passiveListener_ = Listen(port);
    return port;
}

std::string FakeFtpServer::PasvReply(unsigned port, const std::string& host) {
    return "227 Entering Passive Mode (" + host + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ").\r\n";
}

FakeFtpServer& FakeFtpServer::AcceptData() {
    return Add([this] {
        if (!passiveListener_ || !WaitFor(passiveListener_.get(), POLLIN)) {
            return Fail("the client made no passive data connection");
        }
        data_.reset(::accept4(passiveListener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return data_.valid() || Fail("accept of the data connection failed");
    });
}

bool FakeFtpServer::LastPortAddress(std::string& host, unsigned& port) {
    std::string text;
    {
        const std::lock_guard lock(mutex_);
        const auto at = transcript_.rfind("PORT ");
        if (at == std::string::npos) {
            return false;
        }
        text = transcript_.substr(at + 5, transcript_.find('\r', at) - at - 5);
    }
    std::array<long, 6> numbers{};
    const char* cursor = text.c_str();
    for (long& number : numbers) {
        char* end = nullptr;
        number = std::strtol(cursor, &end, 10);
        if (end == cursor) {
            return false;
        }
        cursor = *end == ',' ? end + 1 : end;
    }
    host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
    port = static_cast<unsigned>(numbers[4] * 256 + numbers[5]);
    return true;
}

FakeFtpServer& FakeFtpServer::ConnectData(std::string fromAddress) {
    return Add([this, fromAddress = std::move(fromAddress)] {
        std::string host;
        unsigned port = 0;
        if (!LastPortAddress(host, port)) {
            return Fail("the client sent no PORT line");
        }
        data_ = NewSocket();
        const sockaddr_in from = Loopback(fromAddress, 0);
        const sockaddr_in to = Loopback(host, port);
        if (::bind(data_.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(data_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            return Fail("could not connect to the PORT address " + host);
        }
        return true;
    });
}

FakeFtpServer& FakeFtpServer::ProbePortAddress(std::string address) {
    return Add([this, address = std::move(address)] {
        std::string host;
        unsigned port = 0;
        if (!LastPortAddress(host, port)) {
            return Fail("the client sent no PORT line");
        }
        ftp::UniqueFd probe = NewSocket();
        const sockaddr_in to = Loopback(address, port);
        const bool made =
            ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        const std::lock_guard lock(mutex_);
        probeResults_.push_back(made);
        return true;
    });
}

FakeFtpServer& FakeFtpServer::SendData(std::string bytes) {
    return Add([this, bytes = std::move(bytes)] {
        return (data_ && SendAllTo(data_.get(), bytes, false)) ||
               Fail("could not send on the data connection");
    });
}

FakeFtpServer& FakeFtpServer::ReceiveData() {
    return Add([this] {
        if (!data_) {
            return Fail("no data connection to receive on");
        }
        std::array<char, 65536> buffer;
        for (;;) {
            if (!WaitFor(data_.get(), POLLIN)) {
                return Fail("the client did not end the data connection");
            }
            const ssize_t got = ::recv(data_.get(), buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return Fail("the data connection was reset");
            }
            if (got == 0) {
                return true;
            }
            const std::lock_guard lock(mutex_);
            receivedData_.append(buffer.data(), static_cast<std::size_t>(got));
        }
    });
}

FakeFtpServer& FakeFtpServer::ReceiveSomeData(std::size_t count) {
    return Add([this, count] {
        std::array<char, 4096> buffer;
        std::size_t got = 0;
        while (got < count) {
            if (!data_ || !WaitFor(data_.get(), POLLIN)) {
                return Fail("no data came");
            }
            const ssize_t now = ::recv(data_.get(), buffer.data(), buffer.size(), 0);
            if (now <= 0) {
                return Fail("the data connection ended early");
            }
            got += static_cast<std::size_t>(now);
            const std::lock_guard lock(mutex_);
            receivedData_.append(buffer.data(), static_cast<std::size_t>(now));
        }
        return true;
    });
}

FakeFtpServer& FakeFtpServer::ExpectDataClosedUnused() {
    return Add([this] {
        if (!data_ || !WaitFor(data_.get(), POLLIN)) {
            return Fail("the client did not close the data connection");
        }
        char byte = 0;
        const ssize_t got = ::recv(data_.get(), &byte, 1, 0);
        data_.reset();
        return got <= 0 || Fail("the client sent data on a connection it should not use");
    });
}

FakeFtpServer& FakeFtpServer::CloseData() {
    return Add([this] {
        data_.reset();
        return true;
    });
}

FakeFtpServer& FakeFtpServer::ResetData() {
    return Add([this] {
        if (data_) {
            const linger abort{1, 0};
            ::setsockopt(data_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        data_.reset();
        return true;
    });
}

FakeFtpServer& FakeFtpServer::Pause(std::chrono::milliseconds pause) {
    return Add([pause] {
        std::this_thread::sleep_for(pause);
        return true;
    });
}

bool FakeFtpServer::HasPendingConnection() const {
    pollfd check{listener_.get(), POLLIN, 0};
    return ::poll(&check, 1, 0) == 1;
}

std::string FakeFtpServer::transcript() const {
    const std::lock_guard lock(mutex_);
    return transcript_;
}

std::string FakeFtpServer::receivedData() const {
    const std::lock_guard lock(mutex_);
    return receivedData_;
}

std::vector<std::string> FakeFtpServer::errors() const {
    const std::lock_guard lock(mutex_);
    return errors_;
}

std::vector<bool> FakeFtpServer::probeResults() const {
    const std::lock_guard lock(mutex_);
    return probeResults_;
}

}  // namespace klv::testing
