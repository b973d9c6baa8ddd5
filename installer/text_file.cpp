#include "installer/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "base/posix_io.h"
#include "base/unique_fd.h"

namespace klv {

void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
    (void)ReplaceAllWithin(text, placeholder, value, std::string::npos);
}

bool ReplaceAllWithin(std::string& text, std::string_view placeholder, std::string_view value,
                      std::size_t limit) {
    if (placeholder.empty()) {
        return text.size() <= limit;
    }
    if (value.size() > placeholder.size()) {
        // Counted first: a text made of placeholders could otherwise grow many times over.
        const std::size_t growth = value.size() - placeholder.size();
        std::size_t size = text.size();
        for (std::size_t at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + placeholder.size())) {
            if (size > limit || growth > limit - size) {
                return false;
            }
            size += growth;
        }
    }
    if (text.size() > limit) {
        return false;
    }
    const std::string_view source(text);
    std::size_t found = source.find(placeholder);
    if (found == std::string_view::npos) {
        return true;
    }
    // Built in one pass; each search starts behind the last match, in the source text,
    // which is the same as resuming behind the inserted value.
    std::string result;
    result.reserve(source.size());
    std::size_t copied = 0;
    while (found != std::string_view::npos) {
        result.append(source, copied, found - copied);
        result.append(value);
        copied = found + placeholder.size();
        found = source.find(placeholder, copied);
    }
    result.append(source, copied);
    text = std::move(result);
    return true;
}

bool TextModeDecoder::Feed(std::string_view block, std::string& text) {
    if (ended_) {
        return false;
    }
    const char* next = block.data();
    const char* const end = next + block.size();
    if (pendingCr_ && next != end) {
        pendingCr_ = false;
        if (*next == '\n') {
            text += '\n';
            ++next;
        } else {
            text += '\r';  // a lone CR, and the byte behind it is read as usual
        }
    }
    while (next != end) {
        const char* run = next;
        while (next != end && *next != '\r' && *next != kTextEnd) {
            ++next;
        }
        text.append(run, next);
        if (next == end) {
            break;
        }
        if (*next == kTextEnd) {
            ended_ = true;
            return false;
        }
        // A CR: decide by the byte behind it, which may be in the next block.
        ++next;
        if (next == end) {
            pendingCr_ = true;
        } else if (*next == '\n') {
            text += '\n';
            ++next;
        } else {
            text += '\r';
        }
    }
    return true;
}

void TextModeDecoder::Finish(std::string& text) {
    if (pendingCr_) {
        text += '\r';
        pendingCr_ = false;
    }
}

bool ReadTextFile(const std::string& path, std::string& text) {
    text.clear();
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return false;
    }
    if (S_ISREG(status.st_mode)) {
        text.reserve(static_cast<std::size_t>(status.st_size));
    }
    const auto block = std::make_unique_for_overwrite<char[]>(kTextReadBlockSize);
    TextModeDecoder decoder;
    for (;;) {
        const ssize_t got = ::read(file.get(), block.get(), kTextReadBlockSize);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            text.clear();
            return false;
        }
        if (got == 0 || !decoder.Feed({block.get(), static_cast<std::size_t>(got)}, text)) {
            break;
        }
    }
    decoder.Finish(text);
    return true;
}

std::string FileFailureText(std::string_view what, const std::string& path, int error) {
    std::string text(what);
    text += path;
    text += ": ";
    text += std::strerror(error);
    return text;
}

std::string RewriteTextFile(const std::string& path, std::string_view text) {
    // Deleted first so that a new file takes the name, whatever the old one was; made
    // exclusively, so that nothing planted under the name after the delete is written.
    ::unlink(path.c_str());
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        return FileFailureText("Cannot create ", path, errno);
    }
    if (!WriteAll(file.get(), text.data(), text.size()) || !file.Close()) {
        return FileFailureText("Cannot write ", path, errno);
    }
    return {};
}

}  // namespace klv
