// Child processes for the benchmarks: servers they start and tools they time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace klv::bench {

// A child started with posix_spawn. The owner either waits for its end or, when
// destroyed first, stops it (SIGTERM) and reaps it. While it runs it is registered for
// the signal clean-up (signal_cleanup.h).
class Process {
public:
    // args[0] is the program's path. When `output` is not empty, the child's standard
    // output and error go to that file. Throws when the child cannot be started.
    explicit Process(const std::vector<std::string>& args, const std::string& output = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Waits at most `bound` for the end; a child still running then is killed. The exit
    // status, or -1 when it ended by a signal or had to be killed.
    int WaitWithin(std::chrono::milliseconds bound);

    // SIGTERM, then the wait. Repeatable.
    void Stop();

    // The processor time (user and system) the child used, once it has been waited for.
    [[nodiscard]] std::chrono::microseconds cpuTime() const { return cpuTime_; }

private:
    int Reap();

    pid_t pid_ = -1;
    std::chrono::microseconds cpuTime_{0};
};

// Runs a command to its end, at most `bound`; its exit status as WaitWithin gives it.
int RunToEnd(const std::vector<std::string>& args,
             std::chrono::milliseconds bound = std::chrono::seconds(60),
             const std::string& output = {});

}  // namespace klv::bench
