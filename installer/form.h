// The main window's form: control identifiers, the twelve fields with their labels
// and defaults, the buffers a capture fills, and the rule that fills them.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "installer/text_buffer.h"

namespace klv {

class Window;

enum class Control : int {
    Username = 1000,
    Password = 1001,
    Server = 1002,
    MainEmail = 1003,
    InstallScript = 1004,
    ReadDocs = 1005,
    CgiPath = 1006,
    HttpCgiPath = 1007,
    StatusLine = 1008,
    UpdatePages = 1009,
    AdPricing = 1010,
    ClickBankNickName = 1011,
    BlogTitle = 1014,
    BlogPassword = 1015,
    PayPalEmail = 1016,
    StormPayEmail = 1017,
};

inline constexpr std::size_t kFormBufferSize = 256;  // 255 bytes of text and a zero
using FormText = TextBuffer<kFormBufferSize>;

// The values of the last Install Script press: eleven fields as typed, and the three
// ad values derived at capture. Empty until the first press.
struct FormData {
    FormText ftpUser;
    FormText ftpPassword;
    FormText ftpServer;
    FormText cgiPath;
    FormText httpCgiPath;
    FormText blogTitle;
    FormText blogPassword;
    FormText mainEmail;
    FormText payPalEmail;
    FormText stormPayEmail;
    FormText adPrice;
    FormText adUrl;
    FormText adTitle;
    FormText adDescription;
};

// One field of the form: everything the window, the capture, the remembered values and
// the tests know of it.
struct FormField {
    Control id;
    std::string_view label;
    std::string_view textAtStart;
    // Where the program keeps it between runs (klv.conf); a secret is never written down.
    std::string_view settingsKey;
    bool secret = false;
    // What Install Script captures it into; null for the nickname, which capture turns
    // into the ad values instead.
    FormText FormData::*capturedInto = nullptr;
    std::size_t maxBytes = FormText::kCapacity;  // UTF-8 bytes the field holds
};

inline constexpr std::string_view kExampleHttpCgiPath = "http://www.example.com/cgi-bin";

// The twelve fields in tab order: the left column top to bottom, then the right one.
inline constexpr std::array<FormField, 12> kFormFields{{
    {Control::Username, "Username", "", "form/Username", false, &FormData::ftpUser},
    {Control::Password, "Password", "", "form/Password", true, &FormData::ftpPassword},
    {Control::Server, "Server", "", "form/Server", false, &FormData::ftpServer},
    {Control::CgiPath, "CGI Path", "www/cgi-bin", "form/CGIPath", false, &FormData::cgiPath},
    {Control::HttpCgiPath, "HTTP CGI Path", kExampleHttpCgiPath, "form/HTTPCGIPath", false,
     &FormData::httpCgiPath},
    {Control::BlogTitle, "Blog Title", "Welcome to our Blog!", "form/BlogTitle", false,
     &FormData::blogTitle},
    {Control::BlogPassword, "Blog Password", "", "form/BlogPassword", true,
     &FormData::blogPassword},
    {Control::MainEmail, "Main Email", "", "form/MainEmail", false, &FormData::mainEmail},
    {Control::PayPalEmail, "PayPal Email", "", "form/PayPalEmail", false, &FormData::payPalEmail},
    {Control::StormPayEmail, "StormPay Email", "", "form/StormPayEmail", false,
     &FormData::stormPayEmail},
    {Control::AdPricing, "AD Pricing", "5.00", "form/ADPricing", false, &FormData::adPrice},
    {Control::ClickBankNickName, "ClickBank NickName", "tamrixo", "form/ClickBankNickName", false,
     nullptr},
}};

// The field of `id`; every field control has one.
constexpr const FormField& FieldOf(Control id) {
    for (const FormField& field : kFormFields) {
        if (field.id == id) {
            return field;
        }
    }
    throw "not a field of the form";  // a compile-time error where evaluated constexpr
}

inline constexpr std::string_view kStatusAtStart = "Enter Field Data Then Install!";

inline constexpr std::string_view kAdTitle = "Tamrix - Tools No WebMaster Should Be Without!";
inline constexpr std::string_view kAdDescription =
    "Check out this exciting new design interface that comes bundled with a collection of "
    "scripts and utilities that WebMasters can use to enhance their website. Download FREE Demo";

// Sets the five fields that have a default to it.
void SetFormDefaults(Window& window);

// The affiliate link: the hop endpoint, "?", the nickname and "/tamrixo". The nickname
// is cut (at a character boundary) so that the link fits a form buffer.
std::string BuildAdUrl(std::string_view hopUrl, std::string_view nickname);

// Copies the eleven captured fields into `data`, whole and untrimmed (cut at 255 bytes
// without splitting a character), and derives the three ad values from the nickname.
void CaptureForm(const Window& window, FormData& data, std::string_view hopUrl);

}  // namespace klv
