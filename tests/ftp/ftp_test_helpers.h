// Small helpers shared by the FTP client's tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ftp/ftp_client.h"
#include "tests/support/ftp/fake_ftp_server.h"

namespace klv::testing {

// Long enough never to matter on a loaded machine, short enough that a client that
// hangs fails its test instead of the suite.
inline constexpr std::chrono::milliseconds kTestIdleTimeout{5000};
// For the tests that are about the idle bound itself.
inline constexpr std::chrono::milliseconds kShortIdleTimeout{100};

// The greeting and a one-step logon, for the scripts of tests that start logged on.
inline FakeFtpServer& ScriptLogon(FakeFtpServer& server) {
    return server.Reply("220 fake ready\r\n").Expect("USER klv").Reply("230 logged on\r\n");
}

inline ftp::LogonRequest DirectLogon(unsigned port, std::string user = "klv",
                                     std::string password = "secret") {
    ftp::LogonRequest request;
    request.host = "127.0.0.1";
    request.port = port;
    request.user = std::move(user);
    request.password = std::move(password);
    return request;
}

// A fresh directory for one test's local files, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "klv-ftp-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] std::string File(const std::string& name) const {
        return (path_ / name).string();
    }

private:
    std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace klv::testing
