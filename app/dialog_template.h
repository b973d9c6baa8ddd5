// The two dialogs as data: every control with its identifier, kind, text and place in
// dialog units, in template order, which is also the tab order of the controls that
// take focus. The dialogs are built from these tables and nothing else decides where a
// control goes. Nothing here depends on Qt.
//
// Dialog units are relative to the dialog's font: a horizontal unit is a quarter of the
// font's average character width, a vertical unit an eighth of its height. A control
// keeps its proportions to the text whatever font the desktop chooses.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "installer/form.h"

namespace klv::app {

enum class ControlKind {
    Edit,           // single-line edit field, a tab stop
    Button,         // push button, a tab stop, never the default button
    DefaultButton,  // push button that Enter presses
    Label,          // static text, left-aligned, wrapping at word boundaries
    StatusLine,     // static text centred in a sunken panel inside a raised frame
    Icon,           // the application icon
};

inline constexpr int kOkId = 1;  // the standard OK command

struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend constexpr bool operator==(const DialogRect&, const DialogRect&) = default;
};

struct ControlTemplate {
    std::optional<int> id = std::nullopt;  // labels and the icon have no identifier of their own
    ControlKind kind = ControlKind::Label;
    std::string_view text;
    DialogRect rect;
    std::optional<Control> buddy = std::nullopt;  // for a label: the field it names
};

struct DialogTemplate {
    std::string_view caption;
    int width = 0;  // client area, dialog units
    int height = 0;
    std::span<const ControlTemplate> controls;
};

constexpr int Id(Control control) {
    return static_cast<int>(control);
}

// ---- The main window -------------------------------------------------------------------

namespace detail {

constexpr ControlTemplate Field(Control id, int x, int y) {
    return {Id(id), ControlKind::Edit, {}, {x, y, 154, 11}};
}
constexpr ControlTemplate FieldLabel(Control buddy, int x, int y, int width, int height = 11) {
    return {std::nullopt, ControlKind::Label, FieldOf(buddy).label, {x, y, width, height}, buddy};
}

inline constexpr std::array<ControlTemplate, 28> kMainControls{{
    // The twelve fields: left column, then right column.
    Field(Control::Username, 64, 12),
    Field(Control::Password, 64, 31),
    Field(Control::Server, 64, 50),
    Field(Control::CgiPath, 64, 69),
    Field(Control::HttpCgiPath, 64, 88),
    Field(Control::BlogTitle, 64, 107),
    Field(Control::BlogPassword, 64, 126),
    Field(Control::MainEmail, 304, 12),
    Field(Control::PayPalEmail, 304, 31),
    Field(Control::StormPayEmail, 304, 50),
    Field(Control::AdPricing, 304, 69),
    Field(Control::ClickBankNickName, 304, 88),
    // The three buttons.
    {Id(Control::ReadDocs), ControlKind::Button, "Read Docs", {126, 148, 62, 15}},
    {Id(Control::InstallScript), ControlKind::Button, "Install Script", {202, 148, 62, 15}},
    {Id(Control::UpdatePages), ControlKind::Button, "Update Pages", {278, 148, 62, 15}},
    // The status line.
    {Id(Control::StatusLine), ControlKind::StatusLine, kStatusAtStart, {126, 175, 213, 17}},
    // The labels, each at the height of its field.
    FieldLabel(Control::Username, 6, 12, 44),
    FieldLabel(Control::Password, 6, 31, 44),
    FieldLabel(Control::Server, 6, 50, 44),
    FieldLabel(Control::CgiPath, 6, 69, 44),
    FieldLabel(Control::HttpCgiPath, 6, 88, 54),
    FieldLabel(Control::BlogTitle, 6, 107, 54),
    FieldLabel(Control::BlogPassword, 6, 126, 54),
    FieldLabel(Control::MainEmail, 243, 12, 54),
    FieldLabel(Control::PayPalEmail, 243, 31, 54),
    FieldLabel(Control::StormPayEmail, 243, 50, 56, 15),
    FieldLabel(Control::AdPricing, 243, 69, 44),
    FieldLabel(Control::ClickBankNickName, 243, 88, 57, 17),
}};

// The edit fields come in the form's tab order.
constexpr bool FieldsFollowTheForm() {
    std::size_t next = 0;
    for (const ControlTemplate& control : kMainControls) {
        if (control.kind != ControlKind::Edit) {
            continue;
        }
        if (next == kFormFields.size() || control.id != Id(kFormFields[next].id)) {
            return false;
        }
        ++next;
    }
    return next == kFormFields.size();
}

static_assert(FieldsFollowTheForm(), "edit fields out of the form's tab order");

inline constexpr std::array<ControlTemplate, 3> kAboutControls{{
    {std::nullopt, ControlKind::Icon, {}, {11, 17, 20, 20}},
    {std::nullopt, ControlKind::Label, "KLV Version 1.0", {40, 10, 119, 8}},
    {kOkId, ControlKind::DefaultButton, "OK", {178, 7, 50, 14}},
}};

}  // namespace detail

inline constexpr DialogTemplate kMainDialog{"Kolvane Installer 1.0", 466, 199,
                                            detail::kMainControls};

// Shown only while a workflow runs, in room the template leaves free: the progress bar
// under the status line, the Cancel button to the right of it.
inline constexpr DialogRect kProgressBarRect{126, 193, 213, 5};
inline constexpr DialogRect kCancelButtonRect{352, 176, 50, 15};

// ---- The About box ---------------------------------------------------------------------

inline constexpr DialogTemplate kAboutDialog{"About KLV", 235, 55, detail::kAboutControls};

// The context menu item that opens the About box.
inline constexpr std::string_view kAboutMenuText = "&About KLV...";

// ---- From dialog units to pixels ------------------------------------------------------

// Pixels per four horizontal and per eight vertical dialog units.
struct BaseUnits {
    int x = 0;
    int y = 0;
};

// a * b / c rounded to the nearest integer, halves away from zero; for the
// non-negative values of a layout.
constexpr int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>((product + c / 2) / c);
}

// The text whose width, divided by its length, is the font's average character width.
inline constexpr std::string_view kAverageWidthSample =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The base units of a font whose sample text is `sampleWidth` pixels wide and whose
// lines are `lineHeight` pixels high: the width is the rounded average of the 52
// letters, as the classic dialog manager computed it.
constexpr BaseUnits BaseUnitsOf(int sampleWidth, int lineHeight) {
    return {(sampleWidth / 26 + 1) / 2, lineHeight};
}

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend constexpr bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Each coordinate is converted on its own, as the dialog manager does when it
// creates a control.
constexpr PixelRect ToPixels(const DialogRect& rect, BaseUnits units) {
    return {MulDiv(rect.x, units.x, 4), MulDiv(rect.y, units.y, 8), MulDiv(rect.width, units.x, 4),
            MulDiv(rect.height, units.y, 8)};
}

}  // namespace klv::app
