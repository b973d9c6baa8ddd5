#include "installer/templating.h"

#include "installer/text_file.h"

namespace klv {

std::string EscapedEmail(std::string_view email) {
    std::string escaped(email);
    ReplaceAll(escaped, "@", "\\@");
    return escaped;
}

std::optional<std::string> FillTemplateTextWithin(std::string text, const FormData& data,
                                                  std::size_t limit) {
    const std::string mainEmail = EscapedEmail(data.mainEmail.view());
    const std::string payPalEmail = EscapedEmail(data.payPalEmail.view());
    const std::string stormPayEmail = EscapedEmail(data.stormPayEmail.view());

    // The order is part of the behaviour: a value holding a placeholder of a later
    // step gets that step's value too. Last, over inserted values too, every LF becomes
    // CR LF: reading made every CR LF a lone LF, so each line ends in exactly one CR LF
    // whichever the template used.
    const std::pair<std::string_view, std::string_view> steps[] = {
        {kEmailPlaceholder, mainEmail},
        {kPayPalEmailPlaceholder, payPalEmail},
        {kStormPayEmailPlaceholder, stormPayEmail},
        {kKlvPathPlaceholder, data.httpCgiPath.view()},
        {kPricePlaceholder, data.adPrice.view()},
        {kAdUrlPlaceholder, data.adUrl.view()},
        {kAdTitlePlaceholder, data.adTitle.view()},
        {kAdDescriptionPlaceholder, data.adDescription.view()},
        {"\n", "\r\n"},
    };
    for (const auto& [placeholder, value] : steps) {
        if (!ReplaceAllWithin(text, placeholder, value, limit)) {
            return std::nullopt;
        }
    }
    return text;
}

std::string FillTemplateText(std::string text, const FormData& data) {
    return *FillTemplateTextWithin(std::move(text), data, std::string::npos);
}

FillResult FillScriptTemplate(const std::string& path, const FormData& data) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        return {Filling::TemplateUnreadable, {}};
    }
    std::optional<std::string> filled =
        FillTemplateTextWithin(std::move(text), data, kMaxScriptBytes);
    std::string failure = filled ? RewriteTextFile(path, *filled) : std::string(kScriptTooLarge);
    if (failure.empty()) {
        return {};
    }
    return {Filling::NotWritten, std::move(failure)};
}

}  // namespace klv
