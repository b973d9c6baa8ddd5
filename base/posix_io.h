// The write and text helpers every library below the window shares.
#pragma once

#include <cstddef>
#include <string_view>

namespace klv {

// Writes all `size` bytes to `fd`, going on after short writes and interrupted calls.
// False (with errno set) when a write fails or moves nothing.
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size);

// The longest start of `text` of at most `maxBytes` bytes that does not end inside a
// UTF-8 character.
[[nodiscard]] std::string_view CutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace klv
