// The PASV reply parser and the reply-number reader fed hostile lines. Whatever the
// text, the parse must not crash, and a port it returns is either dialable or refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ftp/data_address.h"
#include "ftp/leading_number.h"
#include "ftp/reply_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    (void)klv::ftp::LeadingNumber(line);
    klv::ftp::ReplyAssembler reply;
    (void)reply.Add(line);

    const auto address = klv::ftp::ParsePasvReply(line);
    const bool hasBoth =
        line.find('(') != std::string_view::npos && line.find(')') != std::string_view::npos;
    if (address.has_value() != hasBoth) {
        std::abort();
    }
    if (address) {
        if (address->host.find(',') != std::string::npos || address->host.size() > size) {
            std::abort();
        }
        if (klv::ftp::IsDialablePort(address->port)) {
            const std::string argument =
                klv::ftp::PortArgument("127.0.0.1", static_cast<unsigned>(address->port));
            if (argument.find('.') != std::string::npos) {
                std::abort();
            }
        }
    }
    return 0;
}
