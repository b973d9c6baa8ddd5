// ServerProcess: one server program run by a test, which stops by itself.
//
// The program runs in a process group of its own under a small supervisor process. The
// supervisor kills the whole group (the server and every session process it forked) when
// the server ends, when the test process goes away (however it dies), or when the
// lifetime runs out. The destructor kills the group at once and reaps the supervisor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace klv::testing {

struct ServerProcessOptions {
    std::vector<std::string> argv;  // argv[0] is the program's full path
    std::filesystem::path logFile;  // standard output and standard error go here
    // Files bound over others (source, target) in a mount namespace private to the
    // server, e.g. an /etc/passwd that knows the test's user. The system's files are
    // not touched: nothing outside the server sees the binding.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> bindMounts;
    std::chrono::seconds lifetime{300};
};

class ServerProcess {
public:
    // Starts the program; throws std::runtime_error when it cannot be started.
    explicit ServerProcess(ServerProcessOptions options);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // False once the server has ended (its supervisor has then ended too).
    [[nodiscard]] bool Running();
    // Kills the server and every process it started; waits until they are gone.
    void Stop();

    [[nodiscard]] const ServerProcessOptions& options() const { return options_; }
    // The last `count` bytes of the log, for failure messages.
    [[nodiscard]] std::string LogTail(std::size_t count = 2000) const;

private:
    ServerProcessOptions options_;
    pid_t supervisor_ = -1;
};

// Runs a helper program to its end (stdout and stderr to `logFile`); its exit status,
// or -1 when it could not be run or did not end within `bound` (it is then killed).
int RunToCompletion(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                    std::chrono::milliseconds bound);

// A port on `address` (dotted IPv4) that nothing listens on right now.
unsigned FreePort(const std::string& address);

// Waits until a TCP connection to address:port succeeds, or `process` ends, or `bound`
// passes; true when the connection succeeded.
bool WaitUntilListening(ServerProcess& process, const std::string& address, unsigned port,
                        std::chrono::milliseconds bound);

}  // namespace klv::testing
