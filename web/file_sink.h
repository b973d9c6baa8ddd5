// The body sink behind FetchUrlToFile: the local file is created (or truncated) only
// when the response has begun, and written through a large buffer so that a body does
// not cost one system call per 1024-byte piece.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/posix_io.h"
#include "base/unique_fd.h"
#include "web/body_sink.h"

namespace klv::web {

class FileSink final : public BodySink {
public:
    static constexpr std::size_t kBufferSize = 256 * 1024;

    explicit FileSink(std::string path);
    ~FileSink() override;  // stores what is still buffered when End was never reached

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    [[nodiscard]] bool Begin() override;
    [[nodiscard]] bool Write(std::span<const char> piece) override;
    [[nodiscard]] bool End() override;
    [[nodiscard]] std::string FailureText() const override { return failure_; }

private:
    bool Flush();
    void Fail(const char* what, int error);

    std::string path_;
    UniqueFd file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t buffered_ = 0;
    std::string failure_;
};

}  // namespace klv::web
