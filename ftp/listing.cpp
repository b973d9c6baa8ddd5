#include "ftp/listing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "ftp/leading_number.h"

namespace klv::ftp {

namespace {

bool IsDigits(std::string_view text, std::size_t least, std::size_t most) {
    return text.size() >= least && text.size() <= most &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> Size(std::string_view text) {
    std::uint64_t size = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return size;
}

bool SameLetters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsMonth(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths{
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return std::any_of(kMonths.begin(), kMonths.end(),
                       [text](std::string_view month) { return SameLetters(text, month); });
}

// "12:00" or "9:05"; or a year, "2020".
bool IsTimeOrYear(std::string_view text) {
    const std::size_t colon = text.find(':');
    return colon == std::string_view::npos
               ? IsDigits(text, 4, 4)
               : IsDigits(text.substr(0, colon), 1, 2) && IsDigits(text.substr(colon + 1), 2, 2);
}

}  // namespace

std::optional<ListedFile> ParseMlsdLine(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) {
        return std::nullopt;
    }
    ListedFile file{std::string(line.substr(blank + 1)), 0, {}};
    bool regular = false;
    std::optional<std::uint64_t> size;
    std::string_view facts = line.substr(0, blank);
    while (!facts.empty()) {
        const std::size_t end = std::min(facts.find(';'), facts.size());
        const std::string_view fact = facts.substr(0, end);
        facts.remove_prefix(std::min(end + 1, facts.size()));
        const std::size_t equals = fact.find('=');
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : fact.substr(equals + 1);
        if (SameLetters(name, "type")) {
            regular = SameLetters(value, "file");
        } else if (SameLetters(name, "size")) {
            size = Size(value);
        } else if (SameLetters(name, "modify")) {
            file.modified = value;
        }
    }
    if (!regular || !size) {
        return std::nullopt;
    }
    file.size = *size;
    return file;
}

std::optional<ListedFile> ParseListLine(std::string_view line) {
    if (!line.starts_with('-')) {
        return std::nullopt;
    }
    std::vector<std::string_view> words;  // each a view into `line`
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find(' ', start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    // The size, then the date: "1000 Jan  1  2020"; the owner and group before may be
    // missing, numbers or names.
    for (std::size_t i = 2; i + 2 < words.size(); ++i) {
        const std::optional<std::uint64_t> size = Size(words[i - 1]);
        if (!size || !IsMonth(words[i]) || !IsDigits(words[i + 1], 1, 2) ||
            !IsTimeOrYear(words[i + 2])) {
            continue;
        }
        const std::size_t nameAt = words[i + 2].data() + words[i + 2].size() - line.data() + 1;
        if (nameAt >= line.size()) {
            return std::nullopt;
        }
        return ListedFile{std::string(line.substr(nameAt)), *size,
                          std::string(words[i]) + " " + std::string(words[i + 1]) + " " +
                              std::string(words[i + 2])};
    }
    return std::nullopt;
}

std::optional<std::string> ParsePwdReply(std::string_view reply) {
    const std::size_t open = reply.find('"');
    if (LeadingNumber(reply) != 257 || open == std::string_view::npos) {
        return std::nullopt;
    }
    std::string directory;
    for (std::size_t at = open + 1; at < reply.size(); ++at) {
        if (reply[at] != '"') {
            directory += reply[at];
        } else if (at + 1 < reply.size() && reply[at + 1] == '"') {
            directory += '"';
            ++at;
        } else {
            return directory.empty() ? std::nullopt : std::optional(directory);
        }
    }
    return std::nullopt;  // no closing quote
}

}  // namespace klv::ftp
