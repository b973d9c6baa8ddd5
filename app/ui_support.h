// What the two dialogs and the application share: the application's title and icon,
// the warning box, text at the window's edge, and placing a control from its template.
#pragma once

#include <QIcon>
#include <QString>
#include <string>
#include <string_view>

#include "app/dialog_template.h"

class QFont;
class QWidget;

namespace klv::app {

// The title of every message box: the executable's name.
inline constexpr std::string_view kApplicationTitle = "klv";

// The window's texts are Qt strings; everything behind the window holds UTF-8 bytes.
inline QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string ToUtf8(const QString& text) {
    return text.toStdString();
}

// The application icon at 16, 32 and 48 pixels.
QIcon ApplicationIcon();

// A modal box over `parent` (or over whatever window is active when it is null) with
// the warning icon, `text` as plain text, one OK button, titled "klv". Returns when the
// user has closed it.
void ShowWarningBox(QWidget* parent, const QString& text);

// The dialog base units of `font`.
BaseUnits BaseUnitsOf(const QFont& font);

// Gives `widget` the pixel geometry of `rect`.
void Place(QWidget& widget, const DialogRect& rect, BaseUnits units);

// Fixes the size of a dialog's client area to its template's.
void FixDialogSize(QWidget& dialog, const DialogTemplate& dialogTemplate, BaseUnits units);

}  // namespace klv::app
