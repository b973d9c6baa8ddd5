// Keeps an edit field's text within a number of UTF-8 bytes. QLineEdit's own limit
// counts characters, but the text ends up in a fixed buffer of bytes.
#pragma once

#include <QValidator>
#include <cstddef>

namespace klv::app {

class Utf8LengthValidator : public QValidator {
    Q_OBJECT

public:
    explicit Utf8LengthValidator(std::size_t maxBytes, QObject* parent = nullptr);

    // Text that fits is taken as it is. Text that does not fit is cut: the characters
    // just before the cursor go, which after typing, pasting or dropping are the newest
    // ones, so the text that was there before stays whole. A character is never split.
    State validate(QString& input, int& position) const override;

    [[nodiscard]] std::size_t maxBytes() const { return maxBytes_; }

private:
    std::size_t maxBytes_;
};

}  // namespace klv::app
