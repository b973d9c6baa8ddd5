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

struct FormField {
    Control id;
    std::string_view label;
    std::string_view textAtStart;
};

inline constexpr std::string_view kExampleHttpCgiPath = "http://www.example.com/cgi-bin";

// The twelve fields in tab order: the left column top to bottom, then the right one.
inline constexpr std::array<FormField, 12> kFormFields{{
    {Control::Username, "Username", ""},
    {Control::Password, "Password", ""},
    {Control::Server, "Server", ""},
    {Control::CgiPath, "CGI Path", "www/cgi-bin"},
    {Control::HttpCgiPath, "HTTP CGI Path", kExampleHttpCgiPath},
    {Control::BlogTitle, "Blog Title", "Welcome to our Blog!"},
    {Control::BlogPassword, "Blog Password", ""},
    {Control::MainEmail, "Main Email", ""},
    {Control::PayPalEmail, "PayPal Email", ""},
    {Control::StormPayEmail, "StormPay Email", ""},
    {Control::AdPricing, "AD Pricing", "5.00"},
    {Control::ClickBankNickName, "ClickBank NickName", "tamrixo"},
}};

inline constexpr std::string_view kStatusAtStart = "Enter Field Data Then Install!";

inline constexpr std::string_view kAdTitle = "Tamrix - Tools No WebMaster Should Be Without!";
inline constexpr std::string_view kAdDescription =
    "Check out this exciting new design interface that comes bundled with a collection of "
    "scripts and utilities that WebMasters can use to enhance their website. Download FREE Demo";

// Sets the five fields that have a default, in their historic order.
void SetFormDefaults(Window& window);

// The affiliate link: the hop endpoint, "?", the nickname and "/tamrixo". The nickname
// is cut (at a character boundary) so that the link fits a form buffer.
std::string BuildAdUrl(std::string_view hopUrl, std::string_view nickname);

// Copies the twelve fields into `data` in capture order, whole and untrimmed (cut at
// 255 bytes without splitting a character), and derives the three ad values.
void CaptureForm(const Window& window, FormData& data, std::string_view hopUrl);

}  // namespace klv
