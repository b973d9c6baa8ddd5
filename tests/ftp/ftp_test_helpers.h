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
#include "tests/support/files.h"
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

}  // namespace klv::testing
