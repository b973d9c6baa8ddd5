// Cancelling a run: one flag and one wake-up that every wait of the run watches.
//
// The thread that runs a workflow installs the run's CancelToken with a RunScope. Every
// wait of the FTP client and of the HTTP fetch on that thread (base/wait.h) then polls
// the token's descriptor beside its socket (compare curl's curl_multi_wakeup), so
// Cancel() from any other thread ends whatever the run is waiting for at once. The scope
// also carries where the byte counts of the current transfer go. A thread without a
// scope waits on the same path, with a token that is never cancelled.
//
// The scope is per thread rather than an argument of every call: the waits sit several
// layers below the workflows (control lines, data copies, libcurl), and each of them
// must see the same token.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "base/unique_fd.h"

namespace klv {

class CancelToken {
public:
    CancelToken();  // an eventfd; without one, Cancel() still sets the flag
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // From any thread, any number of times.
    void Cancel();
    // Makes the token ready for the next run: the flag cleared, the wake-up drained.
    void Reset();
    [[nodiscard]] bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Readable (POLLIN) from Cancel() until Reset(); -1 if no eventfd could be made.
    [[nodiscard]] int wakeFd() const { return wakeFd_.get(); }

private:
    std::atomic<bool> cancelled_{false};
    UniqueFd wakeFd_;
};

// Bytes of the current file moved so far, and its size (0 when not known).
using ByteProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Installs `token` (and where byte counts go) for the calling thread until destroyed.
class RunScope {
public:
    explicit RunScope(const CancelToken& token, ByteProgress progress = {});
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    const CancelToken* previousToken_;
    ByteProgress previousProgress_;
};

// The calling thread's token; outside a run, one that is never cancelled.
[[nodiscard]] const CancelToken& CurrentCancelToken();
// True once the calling thread's run has been cancelled.
[[nodiscard]] bool CancelRequested();
// Hands the byte counts of the current transfer to the run's window, if any.
void ReportBytes(std::uint64_t done, std::uint64_t total);

}  // namespace klv
