// The file, write and text helpers every library below the window shares.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace klv {

// `path` opened for reading, or an empty descriptor when it cannot be opened or names a
// directory (which opens on Linux but is no file to send).
[[nodiscard]] UniqueFd OpenLocalFile(const std::string& path);

// One read(2) of at most `size` bytes, repeated when interrupted: the count, 0 at the end,
// -1 on failure.
[[nodiscard]] long ReadSome(int fd, char* buffer, std::size_t size);

// Writes all `size` bytes to `fd`, going on after short writes and interrupted calls.
// False (with errno set) when a write fails or moves nothing.
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size);

// The longest start of `text` of at most `maxBytes` bytes that does not end inside a
// UTF-8 character.
[[nodiscard]] std::string_view CutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace klv
