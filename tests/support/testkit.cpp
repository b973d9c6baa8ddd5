#include "tests/support/testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "ftp/socket_fd.h"

namespace klv::testing {

Scratch::Scratch() {
    std::string pattern = fs::temp_directory_path() / "klv-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
    fs::permissions(path, fs::perms(0755));  // servers that drop privileges reach in
}

Scratch::~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

unsigned ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::vector<std::string> Lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

unsigned ClosedPort() {
    const ftp::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    (void)::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    (void)::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

Process::Process(const std::vector<std::string>& argv, bool discardOutput) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(in[0], 0);
        ::dup2(discardOutput ? ::open("/dev/null", O_WRONLY) : out[1], 1);
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
    input_ = in[1];
    output_ = out[0];
}

Process::~Process() {
    ::close(input_);
    ::close(output_);
    for (int wait = 0; pid > 0 && wait < 100; ++wait) {  // time to end once its input closed
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
        } else {
            ::usleep(50000);
        }
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        (void)Wait();
    }
}

std::string Process::ReadLine() {
    std::string line;
    char c = 0;
    while (::read(output_, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

int Process::Wait() {
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
        pid = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LocalServer::LocalServer(std::vector<std::string> arguments)
    : process([&] {
          arguments.insert(arguments.begin(), {"/usr/bin/python3", KLV_SERVERS_SCRIPT});
          return arguments;
      }()) {
    std::istringstream(process.ReadLine()) >> host >> port;
    if (port == 0) {
        throw std::runtime_error("the server did not start: " + arguments.at(2));
    }
}

std::string LocalServer::Url(std::string_view path) const {
    return "http://" + host + ":" + std::to_string(port) + std::string(path);
}

}  // namespace klv::testing
