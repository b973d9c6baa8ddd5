// Text-mode reading (CR LF as LF, a lone CR kept, Ctrl-Z ends the text) against the
// rule applied one byte at a time, in blocks of every size and through a real file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "installer/text_file.h"
#include "tests/support/files.h"

namespace {

std::string ReadByteAtATime(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char byte = bytes[i];
        if (byte == '\x1A') {
            break;
        }
        if (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;  // the LF behind it stands for the pair
        }
        text += byte;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t blockSize = 1 + data[0] % 16;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string expected = ReadByteAtATime(bytes);

    klv::TextModeDecoder decoder;
    std::string decoded;
    for (std::size_t at = 0; at < bytes.size(); at += blockSize) {
        if (!decoder.Feed(bytes.substr(at, blockSize), decoded)) {
            break;
        }
    }
    decoder.Finish(decoded);
    if (decoded != expected) {
        std::fprintf(stderr, "blocks of %zu decode differently\n", blockSize);
        std::abort();
    }

    static const klv::testing::ScratchDirectory directory;
    static const std::string path = directory.File("text.txt");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string read;
    if (!klv::ReadTextFile(path, read) || read != expected) {
        std::fprintf(stderr, "ReadTextFile differs from reading byte at a time\n");
        std::abort();
    }
    return 0;
}
