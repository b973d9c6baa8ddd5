// What a directory listing says about the files in it, and the PWD reply: pure text
// reading, no socket, for the FTP and the SFTP client alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace klv::ftp {

// One regular file of a listing, as the host lists it. `modified` is the host's own text,
// compared, never interpreted: MLSD's "modify" fact ("20240101120000"), LIST's date
// columns with single blanks ("Jan 01 12:00", "Jan 1 2020"), SFTP's seconds ("1704110400").
struct ListedFile {
    std::string name;
    std::uint64_t size = 0;
    std::string modified;

    friend bool operator==(const ListedFile&, const ListedFile&) = default;
};

// One line of an MLSD listing (RFC 3659 §7): "fact=value;...; name". A file of type "file"
// with its size; nothing for directories, links and a line without a size. Fact names and
// the type are read case-insensitively.
[[nodiscard]] std::optional<ListedFile> ParseMlsdLine(std::string_view line);

// One line of a LIST listing as Unix servers write it (ls -l): a regular file ("-" first)
// with its size and date; nothing for directories, links, "total" and anything else. The
// name is everything after the blank that follows the time or year, blanks included.
[[nodiscard]] std::optional<ListedFile> ParseListLine(std::string_view line);

// The directory of a 257 reply to PWD: the text between its first quote and the closing
// one, a doubled quote read as one (RFC 959 appendix II). Nothing for any other reply.
[[nodiscard]] std::optional<std::string> ParsePwdReply(std::string_view reply);

}  // namespace klv::ftp
