#include "installer/form.h"

#include <utility>

#include "installer/window.h"

namespace klv {

namespace {

constexpr std::string_view kAdUrlSuffix = "/tamrixo";

// The order in which fields get their defaults, and the order of capture. The
// nickname has no buffer of its own: capture turns it into the ad values.
constexpr std::array<Control, 5> kDefaultOrder{Control::HttpCgiPath, Control::CgiPath,
                                               Control::BlogTitle, Control::AdPricing,
                                               Control::ClickBankNickName};

struct CapturedField {
    Control id;
    FormText FormData::*buffer;  // null for the nickname
};

constexpr std::array<CapturedField, 12> kCaptureOrder{{
    {Control::Username, &FormData::ftpUser},
    {Control::Password, &FormData::ftpPassword},
    {Control::Server, &FormData::ftpServer},
    {Control::CgiPath, &FormData::cgiPath},
    {Control::HttpCgiPath, &FormData::httpCgiPath},
    {Control::MainEmail, &FormData::mainEmail},
    {Control::PayPalEmail, &FormData::payPalEmail},
    {Control::StormPayEmail, &FormData::stormPayEmail},
    {Control::AdPricing, &FormData::adPrice},
    {Control::ClickBankNickName, nullptr},
    {Control::BlogTitle, &FormData::blogTitle},
    {Control::BlogPassword, &FormData::blogPassword},
}};

std::string_view DefaultText(Control id) {
    for (const FormField& field : kFormFields) {
        if (field.id == id) {
            return field.textAtStart;
        }
    }
    return {};
}

}  // namespace

void SetFormDefaults(Window& window) {
    for (Control id : kDefaultOrder) {
        window.SetFieldText(id, DefaultText(id));
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
    for (const CapturedField& field : kCaptureOrder) {
        const std::string text = window.FieldText(field.id);
        if (field.buffer != nullptr) {
            (data.*field.buffer).assign(text);
            continue;
        }
        data.adUrl.assign(BuildAdUrl(hopUrl, text));
        data.adTitle.assign(kAdTitle);
        data.adDescription.assign(kAdDescription);
    }
}

}  // namespace klv
