// What tests and benchmarks share: a scratch directory, whole-file reads and writes, a
// child process that ends with its owner, and the loopback servers of servers.py.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace klv::testing {

namespace fs = std::filesystem;

class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    [[nodiscard]] std::string operator/(std::string_view name) const { return path / name; }
    fs::path path;
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, std::string_view bytes);
unsigned ModeOf(const fs::path& path);
std::vector<std::string> Lines(const fs::path& path);  // of a text file, without their LF
unsigned ClosedPort();                                 // a loopback port nobody listens on

// A child process whose standard input is a pipe from this one: it sees end of file when
// its owner is destroyed or dies, and is killed and reaped on destruction.
class Process {
public:
    explicit Process(const std::vector<std::string>& argv, bool discardOutput = false);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    std::string ReadLine();  // one line of its standard output
    int Wait();              // its exit status, after it ended by itself
    pid_t pid = -1;

private:
    int input_ = -1;
    int output_ = -1;
};

// A server of tests/support/servers.py (see there), listening once constructed.
struct LocalServer {
    explicit LocalServer(std::vector<std::string> arguments);
    [[nodiscard]] std::string Url(std::string_view path = {}) const;
    Process process;
    std::string host;
    unsigned port = 0;
};

}  // namespace klv::testing
