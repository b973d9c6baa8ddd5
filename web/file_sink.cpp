#include "web/file_sink.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace klv::web {

FileSink::FileSink(std::string path) : path_(std::move(path)) {}

FileSink::~FileSink() {
    if (file_.valid()) {
        Flush();
    }
}

bool FileSink::Begin() {
    // Created or truncated, written only, bytes unchanged.
    // Only the user may read it (a page may hold what the user typed), and a symlink
    // planted under its name is refused rather than written through.
    UniqueFd file(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        Fail("Cannot create ", errno);
        return false;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    buffered_ = 0;
    file_ = std::move(file);
    return true;
}

bool FileSink::Write(std::span<const char> piece) {
    if (!file_.valid()) {
        return false;
    }
    if (piece.size() > kBufferSize - buffered_ && !Flush()) {
        return false;
    }
    if (piece.size() >= kBufferSize) {
        // Never the case for the fetch's pieces; kept correct for any caller.
        if (!WriteAll(file_.get(), piece.data(), piece.size())) {
            Fail("Cannot write ", errno);
            return false;
        }
        return true;
    }
    std::memcpy(buffer_.get() + buffered_, piece.data(), piece.size());
    buffered_ += piece.size();
    return true;
}

bool FileSink::End() {
    if (!file_.valid()) {
        return failure_.empty();
    }
    const bool flushed = Flush();
    if (!file_.Close() && flushed) {
        Fail("Cannot write ", errno);
        return false;
    }
    return flushed;
}

bool FileSink::Flush() {
    const std::size_t size = std::exchange(buffered_, 0);
    if (size > 0 && !WriteAll(file_.get(), buffer_.get(), size)) {
        Fail("Cannot write ", errno);
        return false;
    }
    return true;
}

void FileSink::Fail(const char* what, int error) {
    failure_ = what;
    failure_ += path_;
    failure_ += ": ";
    failure_ += std::strerror(error);
}

}  // namespace klv::web
