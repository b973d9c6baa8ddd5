#include "ftp/blocking_call.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>

namespace klv::sftp {

std::optional<std::uint64_t> BytesMoved(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return std::nullopt;
    }
    return info.tcpi_bytes_acked + info.tcpi_bytes_received;
}

BlockingCaller::BlockingCaller() : done_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

BlockingCaller::~BlockingCaller() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
}

void BlockingCaller::Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || (job_ != nullptr && !finished_); });
        if (stop_) {
            return;
        }
        const std::function<void()>* job = job_;
        lock.unlock();
        (*job)();
        lock.lock();
        finished_ = true;
        const std::uint64_t one = 1;
        (void)!::write(done_.get(), &one, sizeof one);
        changed_.notify_all();
    }
}

WaitOutcome BlockingCaller::Run(const std::function<void()>& call, int socket,
                                std::chrono::milliseconds idle) {
    if (!done_) {
        call();  // no wake-up could be made: the library's own wait it is
        return WaitOutcome::Ready;
    }
    if (!thread_.joinable()) {
        thread_ = std::thread(&BlockingCaller::Serve, this);
    }
    {
        const std::lock_guard lock(mutex_);
        job_ = &call;
        finished_ = false;
    }
    changed_.notify_all();

    std::optional<std::uint64_t> moved = BytesMoved(socket);
    Deadline deadline = DeadlineAfter(idle);
    WaitOutcome outcome;
    for (;;) {
        outcome = WaitFor(done_.get(), POLLIN, deadline);
        if (outcome == WaitOutcome::TimedOut) {
            // Bytes still move (a large write on a slow link): not idle.
            const std::optional<std::uint64_t> now = BytesMoved(socket);
            if (now && now != moved) {
                moved = now;
                deadline = DeadlineAfter(idle);
                continue;
            }
        }
        break;
    }
    if (outcome != WaitOutcome::Ready) {
        const int error = errno;
        ::shutdown(socket, SHUT_RDWR);  // the library's poll wakes with the connection ended
        errno = error;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
    job_ = nullptr;
    std::uint64_t count = 0;
    while (::read(done_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    return outcome;
}

}  // namespace klv::sftp
