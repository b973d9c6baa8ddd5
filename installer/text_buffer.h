// Fixed-size, zero-terminated text buffers for the form's values: a value that is too long
// is cut, never overflowed.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/posix_io.h"

namespace klv {

template <std::size_t Size>
class TextBuffer {
    static_assert(Size >= 1, "room for the terminating zero");

public:
    static constexpr std::size_t kCapacity = Size - 1;  // bytes of text it can hold

    TextBuffer() = default;

    // Copies `text` in, cut to the capacity at a character boundary.
    void assign(std::string_view text) {
        const std::string_view kept = CutUtf8(text, kCapacity);
        kept.copy(bytes_.data(), kept.size());
        bytes_[kept.size()] = '\0';
        length_ = kept.size();
    }
    TextBuffer& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    void clear() { assign({}); }

    [[nodiscard]] std::string_view view() const { return {bytes_.data(), length_}; }
    [[nodiscard]] std::string str() const { return std::string(view()); }
    [[nodiscard]] const char* c_str() const { return bytes_.data(); }
    [[nodiscard]] bool empty() const { return length_ == 0; }
    [[nodiscard]] std::size_t size() const { return length_; }

    friend bool operator==(const TextBuffer& buffer, std::string_view text) {
        return buffer.view() == text;
    }

private:
    std::array<char, Size> bytes_{};
    std::size_t length_ = 0;
};

}  // namespace klv
