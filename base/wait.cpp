#include "base/wait.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "base/cancel.h"

namespace klv {

int MillisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

WaitOutcome WaitFor(std::span<pollfd> waits, Deadline deadline) {
    constexpr std::size_t kMostWaits = 4;
    const CancelToken& token = CurrentCancelToken();
    // The run's wake-up comes last, behind the caller's descriptors.
    std::array<pollfd, kMostWaits + 1> all{};
    const std::size_t count = std::min(waits.size(), kMostWaits);
    for (;;) {
        if (token.cancelled()) {
            errno = ECANCELED;
            return WaitOutcome::Cancelled;
        }
        std::copy_n(waits.begin(), count, all.begin());
        all[count] = {token.wakeFd(), POLLIN, 0};
        const int ready = ::poll(all.data(), count + 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno != EINTR) {
            return WaitOutcome::Failed;
        }
        if (token.cancelled()) {
            errno = ECANCELED;
            return WaitOutcome::Cancelled;
        }
        if (ready > 0 && std::any_of(all.begin(), all.begin() + count,
                                     [](const pollfd& wait) { return wait.revents != 0; })) {
            std::copy_n(all.begin(), count, waits.begin());
            return WaitOutcome::Ready;
        }
        if (ready == 0 && Clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return WaitOutcome::TimedOut;
        }
    }
}

WaitOutcome WaitFor(int fd, short events, Deadline deadline) {
    pollfd wait{fd, events, 0};
    return WaitFor({&wait, 1}, deadline);
}

}  // namespace klv
