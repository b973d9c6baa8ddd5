#include "installer/form.h"

#include <utility>

#include "installer/window.h"

namespace klv {

namespace {

constexpr std::string_view kAdUrlSuffix = "/tamrixo";

}  // namespace

void SetFormDefaults(Window& window) {
    for (const FormField& field : kFormFields) {
        if (!field.textAtStart.empty()) {
            window.SetFieldText(field.id, field.textAtStart);
        }
    }
}

std::string BuildAdUrl(std::string_view hopUrl, std::string_view nickname) {
    const std::size_t fixed = hopUrl.size() + 1 + kAdUrlSuffix.size();
    const std::size_t room = fixed < FormText::kCapacity ? FormText::kCapacity - fixed : 0;
    std::string url(hopUrl);
    url += '?';
    url += CutUtf8(nickname, room);
    url += kAdUrlSuffix;
    return url;
}

void CaptureForm(const Window& window, FormData& data, std::string_view hopUrl) {
    for (const FormField& field : kFormFields) {
        const std::string text = window.FieldText(field.id);
        if (field.capturedInto != nullptr) {
            (data.*field.capturedInto).assign(text);
            continue;
        }
        data.adUrl.assign(BuildAdUrl(hopUrl, text));
        data.adTitle.assign(kAdTitle);
        data.adDescription.assign(kAdDescription);
    }
}

}  // namespace klv
