#include "bench/support/signal_cleanup.h"

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>

namespace klv::bench {

namespace {

// Fixed tables of lock-free atomics and character arrays: the handler reads them
// without taking a lock or allocating, which is all a signal handler may do.
constexpr std::size_t kMaxProcesses = 32;
constexpr std::size_t kMaxPaths = 8;
constexpr std::size_t kMaxPath = 256;
constexpr char kNamespaceDirectory[] = "/run/netns/";

static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

std::array<std::atomic<pid_t>, kMaxProcesses> processes{};

// A slot is claimed (1), filled, then published (2); the handler reads only published ones.
struct PathSlot {
    std::atomic<int> state{0};
    char path[kMaxPath] = {};
};
using PathTable = std::array<PathSlot, kMaxPaths>;
PathTable namespaces;
PathTable directories;

bool Register(PathTable& table, std::string_view prefix, std::string_view name) {
    if (prefix.size() + name.size() + 1 > kMaxPath) {
        return false;
    }
    for (PathSlot& slot : table) {
        int empty = 0;
        if (!slot.state.compare_exchange_strong(empty, 1)) {
            continue;
        }
        std::memcpy(slot.path, prefix.data(), prefix.size());
        std::memcpy(slot.path + prefix.size(), name.data(), name.size());
        slot.path[prefix.size() + name.size()] = '\0';
        slot.state.store(2);
        return true;
    }
    return false;
}

void Unregister(PathTable& table, std::string_view prefix, std::string_view name) {
    for (PathSlot& slot : table) {
        const std::string_view held(slot.path);
        if (slot.state.load() == 2 && held.size() == prefix.size() + name.size() &&
            held.substr(0, prefix.size()) == prefix && held.substr(prefix.size()) == name) {
            slot.state.store(0);
            return;
        }
    }
}

void RemoveDirectories() {
    // rm -rf DIR...; argv and its strings live in static storage already.
    static char rm[] = "/bin/rm";
    static char flags[] = "-rf";
    static char* argv[kMaxPaths + 3] = {};
    std::size_t count = 0;
    argv[count++] = rm;
    argv[count++] = flags;
    for (PathSlot& slot : directories) {
        if (slot.state.load() == 2) {
            argv[count++] = slot.path;
        }
    }
    argv[count] = nullptr;
    if (count == 2) {
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        static char* noEnvironment[] = {nullptr};
        ::execve(rm, argv, noEnvironment);
        ::_exit(127);
    }
    if (child > 0) {
        int status = 0;
        ::waitpid(child, &status, 0);
    }
}

void CleanUpAndExit(int signal) {
    for (auto& process : processes) {
        const pid_t pid = process.load();
        if (pid > 0) {
            ::kill(pid, SIGTERM);  // not waited for: the handler must not hang
        }
    }
    for (PathSlot& slot : namespaces) {
        if (slot.state.load() == 2) {
            ::umount2(slot.path, MNT_DETACH);
            ::unlink(slot.path);
        }
    }
    RemoveDirectories();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    ::_exit(128 + signal);
}

}  // namespace

void InstallSignalCleanup() {
    struct sigaction action {};
    action.sa_handler = CleanUpAndExit;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, signal);  // one clean-up at a time
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

bool RegisterProcess(pid_t pid) {
    for (auto& process : processes) {
        pid_t empty = 0;
        if (process.compare_exchange_strong(empty, pid)) {
            return true;
        }
    }
    return false;
}

void UnregisterProcess(pid_t pid) {
    for (auto& process : processes) {
        pid_t expected = pid;
        if (process.compare_exchange_strong(expected, 0)) {
            return;
        }
    }
}

bool RegisterNamespace(std::string_view name) {
    return name.find('/') == std::string_view::npos &&
           Register(namespaces, kNamespaceDirectory, name);
}

void UnregisterNamespace(std::string_view name) {
    Unregister(namespaces, kNamespaceDirectory, name);
}

bool RegisterDirectory(std::string_view path) {
    return Register(directories, "", path);
}

void UnregisterDirectory(std::string_view path) {
    Unregister(directories, "", path);
}

}  // namespace klv::bench
