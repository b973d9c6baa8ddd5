// Turns the downloaded configuration-script template into the user's script.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "installer/form.h"

namespace klv {

inline constexpr std::string_view kEmailPlaceholder = "#email#";
inline constexpr std::string_view kPayPalEmailPlaceholder = "#emailpp#";
inline constexpr std::string_view kStormPayEmailPlaceholder = "#emailsp#";
inline constexpr std::string_view kKlvPathPlaceholder = "#klvpath#";
inline constexpr std::string_view kPricePlaceholder = "#price#";
inline constexpr std::string_view kAdUrlPlaceholder = "#ad-url#";
inline constexpr std::string_view kAdTitlePlaceholder = "#ad-title#";
inline constexpr std::string_view kAdDescriptionPlaceholder = "#ad-description#";

// An e-mail as the script's Perl wants it: every "@" written as "\@".
std::string EscapedEmail(std::string_view email);

// The largest script the filling may make; a template whose placeholders would make
// it larger is refused.
inline constexpr std::size_t kMaxScriptBytes = std::size_t{64} << 20;
inline constexpr std::string_view kScriptTooLarge =
    "The filled-in script would be larger than 64 MiB";

// As FillTemplateText, or nothing when the script would be longer than `limit` bytes.
std::optional<std::string> FillTemplateTextWithin(std::string text, const FormData& data,
                                                  std::size_t limit);

// The substitutions on text already read in text mode, in their fixed order: the
// three escaped e-mails, the cgi-bin address, the price, the three ad values, and last
// every LF as CR LF. Each step searches what the steps before it inserted.
std::string FillTemplateText(std::string text, const FormData& data);

// How FillScriptTemplate ended.
enum class Filling {
    Filled,
    TemplateUnreadable,  // the file was left as it was
    NotWritten,          // too large, or not written whole: see the text
};

struct FillResult {
    Filling outcome = Filling::Filled;
    std::string failure;  // for NotWritten: why
};

// Reads the template at `path` in text mode, fills it and writes it back in place.
[[nodiscard]] FillResult FillScriptTemplate(const std::string& path, const FormData& data);

}  // namespace klv
