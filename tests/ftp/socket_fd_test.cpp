#include "ftp/socket_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <utility>

#include "ftp/tcp_socket.h"

namespace klv::ftp {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesItsDescriptorOnDestruction) {
    int raw = -1;
    {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        raw = fd.get();
        ASSERT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
}

TEST(UniqueFd, MovingHandsOverOwnership) {
    UniqueFd first(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int raw = first.get();
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    UniqueFd third;
    third = std::move(second);
    EXPECT_EQ(third.get(), raw);
    EXPECT_TRUE(IsOpen(raw));
}

TEST(UniqueFd, ResetTwiceClosesOnce) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int raw = fd.get();
    fd.reset();
    EXPECT_FALSE(IsOpen(raw));
    // A descriptor opened since may reuse the number; a second reset must not close it.
    UniqueFd other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    fd.reset();
    EXPECT_TRUE(IsOpen(other.get()));
}

TEST(UniqueFd, AssigningReleasesTheEarlierDescriptor) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int raw = fd.get();
    fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_FALSE(IsOpen(raw) && raw != fd.get());
}

TEST(OpenStreamSocket, IsCloseOnExec) {
    const UniqueFd fd = tcp::OpenStreamSocket();
    ASSERT_TRUE(fd.valid());
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
}

}  // namespace
}  // namespace klv::ftp
