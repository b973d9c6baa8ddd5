// UniqueFd: the one owner of a file descriptor (a socket or a local file).
//
// Move-only, like asio's socket_holder: the descriptor is closed exactly once, when its
// owner is reset or destroyed, so releasing twice does nothing by construction.
#pragma once

#include <unistd.h>

#include <utility>

namespace klv {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor held (if any) and takes `fd`. close() is not retried on
    // EINTR: on Linux the descriptor is gone whatever it returns.
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }

    // Closes now and says whether close() succeeded: for a written file, a late write
    // error (NFS, a full disk) shows only here. True when nothing was held.
    [[nodiscard]] bool Close() {
        const int old = release();
        return old < 0 || ::close(old) == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace klv
