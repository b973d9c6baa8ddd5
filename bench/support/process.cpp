#include "bench/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "bench/support/signal_cleanup.h"
#include "ftp/socket_fd.h"

extern char** environ;

namespace klv::bench {

namespace {

// RAII for the spawn attribute objects.
struct FileActions {
    FileActions() { ::posix_spawn_file_actions_init(&actions); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t actions{};
};

}  // namespace

Process::Process(const std::vector<std::string>& args, const std::string& output) {
    if (args.empty()) {
        throw std::invalid_argument("no program to start");
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    FileActions files;
    if (!output.empty()) {
        ::posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, output.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::posix_spawn_file_actions_adddup2(&files.actions, STDOUT_FILENO, STDERR_FILENO);
    }
    if (::posix_spawn(&pid_, argv[0], &files.actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
    RegisterProcess(pid_);
}

Process::~Process() {
    Stop();
}

int Process::Reap() {
    int status = 0;
    pid_t reaped = -1;
    rusage usage{};
    do {
        reaped = ::wait4(pid_, &status, 0, &usage);
    } while (reaped < 0 && errno == EINTR);
    cpuTime_ = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    UnregisterProcess(pid_);
    pid_ = -1;
    return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Process::WaitWithin(std::chrono::milliseconds bound) {
    if (pid_ <= 0) {
        return -1;
    }
    // A pidfd becomes readable the moment the child ends, so the wait adds no polling
    // delay to what is being timed.
    const ftp::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (pidfd) {
        pollfd wait{pidfd.get(), POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&wait, 1, static_cast<int>(bound.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            ::kill(pid_, SIGKILL);
            (void)Reap();
            return -1;
        }
    }
    return Reap();
}

void Process::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        (void)Reap();
    }
}

int RunToEnd(const std::vector<std::string>& args, std::chrono::milliseconds bound,
             const std::string& output) {
    Process process(args, output);
    return process.WaitWithin(bound);
}

}  // namespace klv::bench
