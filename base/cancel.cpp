#include "base/cancel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace klv {

namespace {

thread_local const CancelToken* currentToken = nullptr;
thread_local ByteProgress currentProgress;

}  // namespace

CancelToken::CancelToken() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CancelToken::Cancel() {
    cancelled_.store(true, std::memory_order_release);
    if (wakeFd_) {
        const std::uint64_t one = 1;
        // Only fails when the counter is full, and then it is readable anyway.
        (void)!::write(wakeFd_.get(), &one, sizeof one);
    }
}

void CancelToken::Reset() {
    cancelled_.store(false, std::memory_order_release);
    if (wakeFd_) {
        std::uint64_t count = 0;
        while (::read(wakeFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
}

RunScope::RunScope(const CancelToken& token, ByteProgress progress)
    : previousToken_(std::exchange(currentToken, &token)),
      previousProgress_(std::exchange(currentProgress, std::move(progress))) {}

RunScope::~RunScope() {
    currentToken = previousToken_;
    currentProgress = std::move(previousProgress_);
}

const CancelToken& CurrentCancelToken() {
    // Nobody holds this one to cancel it: its wake-up never fires.
    static const CancelToken never;
    return currentToken != nullptr ? *currentToken : never;
}

bool CancelRequested() {
    return CurrentCancelToken().cancelled();
}

void ReportBytes(std::uint64_t done, std::uint64_t total) {
    if (currentProgress) {
        currentProgress(done, total);
    }
}

}  // namespace klv
