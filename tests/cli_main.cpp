// `klv` as the command line's tests run it: the very same program, with the endpoints of
// the test's loopback servers (KLV_TEST_VENDOR_BASE_URL, KLV_TEST_FTP_PORT) instead of the
// build's.
#include <cstdlib>
#include <string>

#include "app/command_line.h"

int main(int argc, char** argv) {
    klv::Config config = klv::BuiltInConfig();
    if (const char* url = std::getenv("KLV_TEST_VENDOR_BASE_URL")) {
        config.vendorBaseUrl = url;
    }
    if (const char* port = std::getenv("KLV_TEST_FTP_PORT")) {
        config.ftpPort = static_cast<unsigned>(std::stoul(port));
    }
    return klv::app::Main(argc, argv, config);
}
