#include "tests/interop/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "ftp/socket_fd.h"

namespace klv::testing {

namespace {

using ftp::UniqueFd;

constexpr long kSupervisorPollNanoseconds = 20'000'000;  // 20 ms

// Async-signal-safe: only system calls from here on, as the test process may have threads.
[[noreturn]] void FailInChild(const char* message) {
    const std::size_t length = __builtin_strlen(message);
    (void)!::write(STDERR_FILENO, message, length);
    ::_exit(126);
}

long MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

[[noreturn]] void ExecServer(char* const* argv,
                             const std::vector<std::pair<std::string, std::string>>& binds, int log,
                             int devNull) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // should the supervisor alone be killed
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    if (!binds.empty()) {
        if (::unshare(CLONE_NEWNS) != 0) {
            FailInChild("unshare(CLONE_NEWNS) failed\n");
        }
        // Private first, so that the bindings never propagate back to the system.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            FailInChild("making / private failed\n");
        }
        for (const auto& [source, target] : binds) {
            if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                FailInChild("bind mount failed\n");
            }
        }
    }
    ::execv(argv[0], argv);
    FailInChild("exec failed\n");
}

// The supervisor: starts the server, then kills the whole group when the server ends,
// the test process goes away or the lifetime is over.
[[noreturn]] void Supervise(char* const* argv,
                            const std::vector<std::pair<std::string, std::string>>& binds, int log,
                            int devNull, pid_t testProcess, long lifetimeSeconds) {
    ::setpgid(0, 0);
    const long deadline = MonotonicSeconds() + lifetimeSeconds;
    const pid_t server = ::fork();
    if (server < 0) {
        FailInChild("fork failed\n");
    }
    if (server == 0) {
        ExecServer(argv, binds, log, devNull);
    }
    for (;;) {
        int status = 0;
        if (::waitpid(server, &status, WNOHANG) == server) {
            break;
        }
        if (::getppid() != testProcess || MonotonicSeconds() > deadline) {
            break;
        }
        const timespec pause{0, kSupervisorPollNanoseconds};
        ::nanosleep(&pause, nullptr);
    }
    ::kill(0, SIGKILL);  // the whole group, the supervisor included
    ::_exit(0);
}

}  // namespace

ServerProcess::ServerProcess(ServerProcessOptions options) : options_(std::move(options)) {
    if (options_.argv.empty()) {
        throw std::runtime_error("ServerProcess: no program");
    }
    if (::access(options_.argv[0].c_str(), X_OK) != 0) {
        throw std::runtime_error("ServerProcess: no executable " + options_.argv[0]);
    }
    UniqueFd log(::open(options_.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!log || !devNull) {
        throw std::runtime_error("ServerProcess: cannot open the log file or /dev/null");
    }

    // Everything the children use is made before fork.
    std::vector<std::string> args = options_.argv;
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::pair<std::string, std::string>> binds;
    for (const auto& [source, target] : options_.bindMounts) {
        binds.emplace_back(source.string(), target.string());
    }
    const pid_t testProcess = ::getpid();
    const long lifetime = static_cast<long>(options_.lifetime.count());

    supervisor_ = ::fork();
    if (supervisor_ < 0) {
        throw std::runtime_error("ServerProcess: fork failed");
    }
    if (supervisor_ == 0) {
        Supervise(argv.data(), binds, log.get(), devNull.get(), testProcess, lifetime);
    }
    // Also from this side, so that Stop can kill the group before the child has run.
    ::setpgid(supervisor_, supervisor_);
}

ServerProcess::~ServerProcess() {
    Stop();
}

bool ServerProcess::Running() {
    if (supervisor_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t done = ::waitpid(supervisor_, &status, WNOHANG);
    if (done == supervisor_ || (done < 0 && errno != EINTR)) {
        supervisor_ = -1;
        return false;
    }
    return true;
}

void ServerProcess::Stop() {
    if (supervisor_ <= 0) {
        return;
    }
    ::kill(-supervisor_, SIGKILL);
    ::kill(supervisor_, SIGKILL);
    while (::waitpid(supervisor_, nullptr, 0) < 0 && errno == EINTR) {
    }
    supervisor_ = -1;
}

std::string ServerProcess::LogTail(std::size_t count) const {
    std::ifstream in(options_.logFile, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return text.size() > count ? text.substr(text.size() - count) : text;
}

namespace {

sockaddr_in AddressOf(const std::string& address, unsigned port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1) {
        throw std::runtime_error("not a dotted IPv4 address: " + address);
    }
    return result;
}

}  // namespace

int RunToCompletion(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                    std::chrono::milliseconds bound) {
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

unsigned FreePort(const std::string& address) {
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in bound = AddressOf(address, 0);
    socklen_t length = sizeof bound;
    if (!probe ||
        ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        throw std::runtime_error("no free port on " + address);
    }
    return ntohs(bound.sin_port);
}

bool WaitUntilListening(ServerProcess& process, const std::string& address, unsigned port,
                        std::chrono::milliseconds bound) {
    const sockaddr_in target = AddressOf(address, port);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&target),
                               sizeof target) == 0) {
            return true;
        }
        if (!process.Running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace klv::testing
