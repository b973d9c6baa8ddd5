// A wait that happens inside a library, brought onto the program's one wait.
//
// libssh 0.10's SFTP calls wait in their own poll(2) on the connection and come back only
// when their answer is there. So each such call runs on a thread of its own while the
// calling thread waits for it in WaitFor (base/wait.h), with the run's wake-up and the idle
// bound: when Cancel or the bound comes first, the connection's socket is shut down, the
// library's poll sees the connection end, and the call returns with an error at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "base/unique_fd.h"
#include "base/wait.h"

namespace klv::sftp {

// Bytes the socket `fd` has received and had acknowledged so far (TCP_INFO); nothing for
// a socket that does not say. The idle bound is counted from the last change.
[[nodiscard]] std::optional<std::uint64_t> BytesMoved(int fd);

class BlockingCaller {
public:
    BlockingCaller();
    ~BlockingCaller();  // after the last call has returned
    BlockingCaller(const BlockingCaller&) = delete;
    BlockingCaller& operator=(const BlockingCaller&) = delete;

    // Runs `call`, which waits on `socket` only, and returns once it has returned. Ready:
    // it returned by itself. Cancelled or TimedOut (`idle` passed with no byte moving on
    // the socket) or Failed: the socket was shut down for good, and the call came back
    // because of that.
    [[nodiscard]] WaitOutcome Run(const std::function<void()>& call, int socket,
                                  std::chrono::milliseconds idle);

private:
    void Serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* job_ = nullptr;
    bool finished_ = false;
    bool stop_ = false;
    UniqueFd done_;       // readable once a call has returned
    std::thread thread_;  // started by the first call
};

}  // namespace klv::sftp
