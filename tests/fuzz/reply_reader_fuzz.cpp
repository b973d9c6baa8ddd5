// The control connection's reader fed hostile bytes: lines cut at arbitrary points,
// endless lines, stray CRs and NULs. It must neither crash, nor hang, nor hand out a
// line that breaks its own rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/line_channel.h"
#include "ftp/reply_assembler.h"

namespace {

// Delivers the server's bytes in chunks whose sizes the input chooses too.
class FuzzedSource final : public klv::ftp::ByteSource {
public:
    explicit FuzzedSource(FuzzedDataProvider& input) : input_(input) {}

    long Read(char* buffer, std::size_t size) override {
        if (input_.remaining_bytes() == 0) {
            return 0;
        }
        const std::size_t want = input_.ConsumeIntegralInRange<std::size_t>(1, size);
        const std::string bytes = input_.ConsumeBytesAsString(want);
        bytes.copy(buffer, bytes.size());
        return static_cast<long>(bytes.size());
    }

private:
    FuzzedDataProvider& input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzedSource source(input);
    klv::ftp::LineReader reader(source);
    klv::ftp::ReplyAssembler reply;
    std::string line;
    for (;;) {
        const klv::ftp::LineStatus status = reader.ReadLine(line);
        if (status == klv::ftp::LineStatus::EndOfStream) {
            break;
        }
        if (status == klv::ftp::LineStatus::Failed) {
            if (!line.empty()) {
                std::abort();  // a failed read hands out nothing
            }
            continue;
        }
        if (line.size() > klv::ftp::kMaxLineLength || line.find('\n') != std::string::npos) {
            std::abort();
        }
        (void)klv::ftp::ReplyClass(line);
        if (reply.Add(line)) {
            reply = klv::ftp::ReplyAssembler();
        }
    }
    return 0;
}
