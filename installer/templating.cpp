#include "installer/templating.h"

#include "installer/text_file.h"

namespace klv {

std::string EscapedEmail(std::string_view email) {
    std::string escaped(email);
    ReplaceAll(escaped, "@", "\\@");
    return escaped;
}

std::string FillTemplateText(std::string text, const FormData& data) {
    const std::string mainEmail = EscapedEmail(data.mainEmail.view());
    const std::string payPalEmail = EscapedEmail(data.payPalEmail.view());
    const std::string stormPayEmail = EscapedEmail(data.stormPayEmail.view());

    // The order is part of the behaviour: a value holding a placeholder of a later
    // step gets that step's value too.
    ReplaceAll(text, kEmailPlaceholder, mainEmail);
    ReplaceAll(text, kPayPalEmailPlaceholder, payPalEmail);
    ReplaceAll(text, kStormPayEmailPlaceholder, stormPayEmail);
    ReplaceAll(text, kKlvPathPlaceholder, data.httpCgiPath.view());
    ReplaceAll(text, kPricePlaceholder, data.adPrice.view());
    ReplaceAll(text, kAdUrlPlaceholder, data.adUrl.view());
    ReplaceAll(text, kAdTitlePlaceholder, data.adTitle.view());
    ReplaceAll(text, kAdDescriptionPlaceholder, data.adDescription.view());
    // Last, over inserted values too. Reading made every CR LF a lone LF, so each line
    // ends in exactly one CR LF whichever the template used.
    ReplaceAll(text, "\n", "\r\n");
    return text;
}

bool FillScriptTemplate(const std::string& path, const FormData& data, std::string* writeFailure) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        return false;
    }
    std::string failure = RewriteTextFile(path, FillTemplateText(std::move(text), data));
    if (failure.empty()) {
        return true;
    }
    if (writeFailure != nullptr) {
        *writeFailure = std::move(failure);
    }
    return false;
}

}  // namespace klv
