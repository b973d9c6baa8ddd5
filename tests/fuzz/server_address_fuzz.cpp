// "Server" as anything a user could paste: the parser must neither crash nor read an
// address that breaks its own rules. What it reads, written back as an address, reads the
// same, and the key of that host is its own key again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "installer/server_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const klv::ParsedServer parsed = klv::ParseServer(text, 21);
    const auto* address = std::get_if<klv::ServerAddress>(&parsed);
    if (address == nullptr) {
        if (std::get<klv::ServerRefusal>(parsed).text.empty()) {
            std::abort();  // a refusal names what is wrong
        }
        return 0;
    }
    const bool blank = text.find_first_not_of(" \t") == std::string_view::npos;
    if (address->port < 1 || address->port > 65535 || address->host.empty() != blank ||
        address->host.find_first_of("/@[] \t") != std::string::npos) {
        std::abort();
    }
    if (blank) {
        return 0;
    }
    const char* schemes[] = {"ftp", "ftps", "sftp"};
    const bool ipv6 = address->host.find(':') != std::string::npos;
    const std::string written = std::string(schemes[static_cast<int>(address->scheme)]) + "://" +
                                (ipv6 ? "[" + address->host + "]" : address->host) + ":" +
                                std::to_string(address->port);
    klv::ServerAddress again = *address;
    again.portGiven = true;
    const std::string key = klv::HostKey(address->host, address->port);
    if (klv::ParseServer(written, 21) != klv::ParsedServer(again) ||
        klv::RekeyStoredHost(key) != key) {
        std::abort();
    }
    return 0;
}
