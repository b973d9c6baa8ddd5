// The endpoints the workflows talk to, as one value: the build's defaults for the
// program, local servers for the tests and the demo.
#pragma once

#include <chrono>
#include <string>

namespace klv {

struct Config {
    std::string vendorBaseUrl;    // the fixed vendor paths are appended to this
    std::string affiliateHopUrl;  // absolute address whose path is "/"
    unsigned ftpPort = 21;        // port of the user's FTP server
    // The longest any download or FTP operation waits with nothing arriving.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
};

// The configuration chosen when the program was built.
Config BuiltInConfig();

}  // namespace klv
