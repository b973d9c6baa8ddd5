// The program's one text replacement rule and its working text files, read in text
// mode: CR LF is read as LF, and Ctrl-Z ends the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace klv {

inline constexpr char kTextEnd = '\x1A';  // Ctrl-Z: text mode reads nothing behind it
inline constexpr std::size_t kTextReadBlockSize = 64 * 1024;

// Replaces every occurrence of `placeholder` in `text` by `value`, found from left to
// right without overlap; the search resumes behind the inserted text, so one call never
// searches its own insertions. An empty value deletes the placeholder; an empty
// placeholder matches nothing. One pass over the text (two when the value is longer).
void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value);

// The same, unless the result would be longer than `limit` bytes: then false, and
// `text` is left as it was (nothing of that size is ever built).
[[nodiscard]] bool ReplaceAllWithin(std::string& text, std::string_view placeholder,
                                    std::string_view value, std::size_t limit);

// Text-mode decoding fed in blocks of any size: a CR LF pair becomes LF (also when the
// pair straddles two blocks), a lone CR stays, Ctrl-Z ends the text.
class TextModeDecoder {
public:
    // Appends the decoded `block` to `text`. False once the end of the text was met;
    // later blocks are then ignored.
    bool Feed(std::string_view block, std::string& text);
    // The input is over: a CR still held back is a lone one.
    void Finish(std::string& text);

private:
    bool pendingCr_ = false;
    bool ended_ = false;
};

// Reads the file at `path` in text mode into `text` (which starts empty). False when
// the file cannot be opened or read; `text` is then empty.
[[nodiscard]] bool ReadTextFile(const std::string& path, std::string& text);

// Replaces the file's whole content with `text`: the file is deleted, created anew
// (mode 0600, never through a symlink planted in the meantime) and written in one go.
// Returns why it failed ("Cannot write <path>: <reason>"), or the empty text; a file
// cut short by a failed write is no file to use.
std::string RewriteTextFile(const std::string& path, std::string_view text);

// "<what><path>: <the system's text for error>", the way file failures are told.
std::string FileFailureText(std::string_view what, const std::string& path, int error);

}  // namespace klv
