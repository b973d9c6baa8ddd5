// What the tests share beyond testkit/testkit.h: a window for the workflows' tests (fields
// held in a map, and a record of every status text, message box and opened address, in
// order), and small file and port helpers.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "installer/window.h"
#include "testkit/testkit.h"

namespace klv::testing {

inline constexpr auto ModeOf = [](const fs::path& path) {
    return fs::exists(path) ? static_cast<unsigned>(fs::status(path).permissions()) : 0u;
};

// The lines of a text file without their LF, once there are `atLeast` (a server's log may
// trail the client: QUIT awaits no reply), or after two seconds.
inline std::vector<std::string> Lines(const fs::path& path, std::size_t atLeast = 0) {
    for (int wait = 0;; ++wait) {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        if (lines.size() >= atLeast || wait == 100) {
            return lines;
        }
        ::usleep(20000);
    }
}

// Names each row of a parameterised test by its `name`.
inline constexpr auto RowName = [](const auto& info) { return std::string(info.param.name); };

inline constexpr unsigned kClosedPort = 9;  // discard: nothing listens on loopback

// Starts servers.py's sshd in `server` for user "klv" with password "s3cret" (taken by
// `auth`: "password" or "kbdint"), whose home SCRATCH/home holds www/cgi-bin and www/klv and
// belongs to uid 1000; the host key is SCRATCH/hostkey(.pub), made by the server.
inline void StartSshd(std::optional<LocalServer>& server, const Scratch& scratch,
                      const std::string& auth = "password") {
    fs::create_directories(scratch.path / "home/www/cgi-bin");
    fs::create_directories(scratch.path / "home/www/klv");
    Process({"chown", "-R", "1000:1000", scratch / "home"}).Wait();
    server.emplace(std::vector<std::string>{"sshd", scratch / "home", "klv", "s3cret",
                                            scratch / "hostkey", "auth=" + auth});
}

// A known_hosts line for `host`:`port` with the public key in the file `publicKey`.
inline std::string KnownHost(const std::string& host, unsigned port, const fs::path& publicKey) {
    std::istringstream key(ReadFile(publicKey));
    std::string type, base64;
    key >> type >> base64;
    return "[" + host + "]:" + std::to_string(port) + " " + type + " " + base64 + "\n";
}

class FakeWindow : public Window {
public:
    FakeWindow() { SetFormDefaults(*this); }

    std::string FieldText(Control field) const override {
        return fields.contains(field) ? fields.at(field) : "";
    }
    void SetFieldText(Control field, std::string_view text) override { fields[field] = text; }
    void SetStatusLine(std::string_view text) override {
        statusLine = std::string(text);
        statusHistory.push_back(statusLine);
    }
    void ShowMessage(std::string_view text) override {
        messages.emplace_back(text);
        if (onMessage) {
            onMessage(messages.back());  // runs while the box would be open
        }
    }
    void OpenUrl(std::string_view url) override { openedUrls.emplace_back(url); }
    bool TrustCertificate(const ftp::CertificateInfo& certificate) override {
        certificates.push_back(certificate);
        return trustCertificates;
    }
    bool TrustHostKey(const sftp::HostKeyInfo& key) override {
        hostKeys.push_back(key);
        return trustCertificates;
    }

    std::map<Control, std::string> fields;
    std::string statusLine{kStatusAtStart};
    std::vector<std::string> statusHistory;
    std::vector<std::string> messages;
    std::vector<std::string> openedUrls;
    std::function<void(const std::string&)> onMessage;
    std::vector<ftp::CertificateInfo> certificates;  // every trust question, in order
    std::vector<sftp::HostKeyInfo> hostKeys;         // every host key question, in order
    bool trustCertificates = false;                  // the answer to both: "Cancel" unless set
};

}  // namespace klv::testing

namespace klv::testing {

// A program started with exactly `environment` (nothing inherited), in a session of its
// own (so with no terminal), standard input from /dev/null, its standard output and error
// into the files `out` and `err`. WaitFor returns its exit status, or 128 + the signal
// that ended it.
inline pid_t StartProgram(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, const fs::path& out,
                          const fs::path& err) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char*> args, env;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        for (const std::string& variable : environment) {
            env.push_back(const_cast<char*>(variable.c_str()));
        }
        args.push_back(nullptr);
        env.push_back(nullptr);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    return pid;
}

inline int WaitFor(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace klv::testing
