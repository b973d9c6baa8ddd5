// What the tests and the benchmarks share: a scratch directory, whole-file reads and
// writes, a child process that ends with its owner, and the loopback servers of
// testkit/servers.py.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

namespace klv::testing {

namespace fs = std::filesystem;

struct Scratch {  // a directory of its own, removed with everything in it
    Scratch() : path(fs::temp_directory_path() / "klv-test-XXXXXX") {
        std::string pattern = path;
        path = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
        fs::permissions(path, fs::perms(0755));  // servers that drop privileges reach in
    }
    ~Scratch() { fs::remove_all(path); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string operator/(std::string_view name) const { return path / name; }
    fs::path path;
};

inline std::string ReadFile(const fs::path& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

inline void WriteFile(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A child process whose standard input is a pipe from this one: it sees the end of it
// when its owner is destroyed or dies (and dies with it), and is reaped on destruction.
// Its output comes through ReadLine, or goes into the file `output` (with its errors).
class Process {
public:
    explicit Process(const std::vector<std::string>& argv, const std::string& output = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) {
            throw std::runtime_error("cannot start " + argv.at(0));
        }
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(in[0], 0);
            ::dup2(output.empty() ? out[1]
                                  : ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                   1);
            ::dup2(output.empty() ? 2 : 1, 2);
            std::vector<char*> args;
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_.reset(in[1]);
        output_.reset(out[0]);
    }
    ~Process() {
        input_.reset();
        if (pid_ < 0) {
            return;  // waited for already
        }
        pid_t ended = 0;
        for (int wait = 0; wait < 100 && (ended = ::waitpid(pid_, nullptr, WNOHANG)) == 0; ++wait) {
            ::usleep(50000);  // time to end by itself
        }
        if (ended != pid_ && ::kill(pid_, SIGKILL) == 0) {
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    void Stop() {  // asks it to end now, and waits for that
        if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) {
            (void)Wait();
        }
    }
    // Its exit status once it ended by itself (-1 if killed), and the processor time it used.
    int Wait(std::chrono::microseconds* cpu = nullptr) {
        int status = 0;
        rusage usage{};
        if (pid_ <= 0 || ::wait4(std::exchange(pid_, -1), &status, 0, &usage) < 0) {
            return -1;
        }
        if (cpu != nullptr) {
            *cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string ReadLine() {  // of its standard output
        std::string line;
        for (char c = 0; ::read(output_.get(), &c, 1) == 1 && c != '\n';) {
            line += c;
        }
        return line;
    }

private:
    pid_t pid_ = -1;
    UniqueFd input_, output_;
};

// A server of servers.py (see there), listening once constructed.
struct LocalServer {
    explicit LocalServer(std::vector<std::string> arguments)
        : process(
              (arguments.insert(arguments.begin(), {"/usr/bin/python3", KLV_SERVERS}), arguments)) {
        std::istringstream(process.ReadLine()) >> host >> port;
        if (port == 0) {
            throw std::runtime_error("no server started: " + arguments.at(2));
        }
    }
    std::string Url(std::string_view path = {}) const {
        return "http://" + host + ":" + std::to_string(port) + std::string(path);
    }
    Process process;
    std::string host;
    unsigned port = 0;
};

}  // namespace klv::testing
