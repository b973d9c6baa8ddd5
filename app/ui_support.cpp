#include "app/ui_support.h"

#include <QFont>
#include <QFontMetrics>
#include <QMessageBox>
#include <QWidget>

// The resources are compiled into a static library: the linker keeps them only when
// something refers to their initialiser, which must be named outside any namespace.
static void InitializeIconResources() {
    Q_INIT_RESOURCE(klv);
}

namespace klv::app {

QIcon ApplicationIcon() {
    static const bool registered = [] {
        InitializeIconResources();
        return true;
    }();
    (void)registered;
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/icons/klv-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

void ShowWarningBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, FromUtf8(kApplicationTitle), text, QMessageBox::Ok,
                    parent);
    // Texts come from servers and from the form: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

BaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    return BaseUnitsOf(metrics.horizontalAdvance(FromUtf8(kAverageWidthSample)), metrics.height());
}

void Place(QWidget& widget, const DialogRect& rect, BaseUnits units) {
    const PixelRect pixels = ToPixels(rect, units);
    widget.setGeometry(pixels.x, pixels.y, pixels.width, pixels.height);
}

void FixDialogSize(QWidget& dialog, const DialogTemplate& dialogTemplate, BaseUnits units) {
    const PixelRect client = ToPixels({0, 0, dialogTemplate.width, dialogTemplate.height}, units);
    dialog.setFixedSize(client.width, client.height);
}

}  // namespace klv::app
