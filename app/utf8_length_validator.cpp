#include "app/utf8_length_validator.h"

#include <QByteArray>
#include <algorithm>
#include <string_view>

#include "installer/text_buffer.h"

namespace klv::app {

namespace {

std::string_view View(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

QString FromView(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

Utf8LengthValidator::Utf8LengthValidator(std::size_t maxBytes, QObject* parent)
    : QValidator(parent), maxBytes_(maxBytes) {}

QValidator::State Utf8LengthValidator::validate(QString& input, int& position) const {
    const QByteArray whole = input.toUtf8();
    if (static_cast<std::size_t>(whole.size()) <= maxBytes_) {
        return Acceptable;
    }
    const qsizetype cursor = std::clamp<qsizetype>(position, 0, input.size());
    const QByteArray before = input.left(cursor).toUtf8();
    const QByteArray after = input.mid(cursor).toUtf8();
    if (static_cast<std::size_t>(after.size()) > maxBytes_) {
        // Even the text behind the cursor is too long (a text set as a whole): keep
        // its beginning.
        input = FromView(CutUtf8(View(whole), maxBytes_));
        position = static_cast<int>(input.size());
        return Acceptable;
    }
    const QString kept =
        FromView(CutUtf8(View(before), maxBytes_ - static_cast<std::size_t>(after.size())));
    input = kept + FromView(View(after));
    position = static_cast<int>(kept.size());
    return Acceptable;
}

}  // namespace klv::app
