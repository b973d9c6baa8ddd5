// Text-mode reading (CR LF as LF, a lone CR kept, Ctrl-Z ends the text) in blocks of
// every size against the rule applied one byte at a time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "installer/text_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t blockSize = 1 + data[0] % 16;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string expected;
    for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            expected += bytes[i];
        }
    }
    klv::TextModeDecoder decoder;
    std::string decoded;
    for (std::size_t at = 0;
         at < bytes.size() && decoder.Feed(bytes.substr(at, blockSize), decoded); at += blockSize) {
    }
    decoder.Finish(decoded);
    if (decoded != expected) {
        std::fprintf(stderr, "blocks of %zu decode differently\n", blockSize);
        std::abort();
    }
    return 0;
}
