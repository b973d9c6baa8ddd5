// The endpoints the workflows talk to, as one value: the build's defaults for the
// program, local servers for the tests and the demo.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace klv {

struct Config {
    std::string vendorBaseUrl;    // the fixed vendor paths are appended to this
    std::string affiliateHopUrl;  // absolute address whose path is "/"
    unsigned ftpPort = 21;        // port of the user's FTP server
    // The longest any download or FTP operation waits with nothing arriving.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
    // How many sessions Update Pages may log on at once ("connections" in klv.conf).
    unsigned connections = 3;
};

inline constexpr unsigned kDefaultConnections = 3;
inline constexpr unsigned kMostConnections = 8;

// The "connections" setting as a session count: a number is clamped to 1..8, anything else
// (nothing, a word, a fraction) is the default.
[[nodiscard]] unsigned ConnectionsSetting(std::string_view text);

// The configuration chosen when the program was built.
Config BuiltInConfig();

}  // namespace klv
