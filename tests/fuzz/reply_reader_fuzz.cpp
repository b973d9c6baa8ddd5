// The control connection's reader fed hostile bytes in chunks of sizes the input chooses
// too: lines cut at arbitrary points, endless lines, stray CRs and NULs. It must neither
// crash, nor hang, nor hand out a line that breaks its own rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "ftp/line_channel.h"
#include "ftp/reply_assembler.h"

struct FuzzedSource final : klv::ftp::ByteSource {
    explicit FuzzedSource(FuzzedDataProvider& input) : input(input) {}
    long Read(char* buffer, std::size_t size) override {
        const std::string bytes = input.ConsumeBytesAsString(
            input.remaining_bytes() == 0 ? 0 : input.ConsumeIntegralInRange<std::size_t>(1, size));
        return static_cast<long>(bytes.copy(buffer, bytes.size()));
    }
    FuzzedDataProvider& input;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzedSource source(input);
    klv::ftp::LineReader reader(source);
    klv::ftp::ReplyAssembler reply;
    std::string line;
    for (klv::ftp::LineStatus status;
         (status = reader.ReadLine(line)) != klv::ftp::LineStatus::EndOfStream;) {
        if (status == klv::ftp::LineStatus::Failed
                ? !line.empty()
                : line.size() > klv::ftp::kMaxLineLength || line.find('\n') != std::string::npos) {
            std::abort();  // a failed read hands out nothing; a line is bounded and LF-free
        }
        if (status == klv::ftp::LineStatus::Line && reply.Add(line)) {
            reply = klv::ftp::ReplyAssembler();
        }
    }
    return 0;
}
