#include "app/about_dialog.h"

#include "app/dialog_template.h"
#include "app/ui_support.h"

namespace klv::app {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(FromUtf8(kAboutDialog.caption));
    setWindowIcon(ApplicationIcon());

    const BaseUnits units = BaseUnitsOf(font());
    FixDialogSize(*this, kAboutDialog, units);
    for (const ControlTemplate& control : kAboutDialog.controls) {
        switch (control.kind) {
            case ControlKind::Icon:
                // An icon control takes the icon's own size at its place.
                icon_.setParent(this);
                icon_.setPixmap(ApplicationIcon().pixmap(32, 32));
                icon_.setAlignment(Qt::AlignLeft | Qt::AlignTop);
                Place(icon_, control.rect, units);
                break;
            case ControlKind::Label:
                version_.setParent(this);
                version_.setTextFormat(Qt::PlainText);  // no mnemonic, no markup
                version_.setText(FromUtf8(control.text));
                Place(version_, control.rect, units);
                break;
            case ControlKind::DefaultButton:
            case ControlKind::Button:
                ok_.setParent(this);
                ok_.setText(FromUtf8(control.text));
                ok_.setDefault(control.kind == ControlKind::DefaultButton);
                Place(ok_, control.rect, units);
                connect(&ok_, &QPushButton::clicked, this, &QDialog::accept);
                break;
            case ControlKind::Edit:
            case ControlKind::StatusLine:
                break;
        }
    }
    ok_.setFocus();
}

}  // namespace klv::app
