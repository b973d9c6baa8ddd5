#include "app/utf8_length_validator.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QString>

namespace klv::app {
namespace {

QString Repeat(const QString& text, int times) {
    return text.repeated(times);
}

qsizetype Bytes(const QString& text) {
    return text.toUtf8().size();
}

const QString kEuro = QStringLiteral("\u20AC");    // three bytes
const QString kEAcute = QStringLiteral("\u00E9");  // two bytes

TEST(Utf8LengthValidator, AcceptsTextThatFitsUnchanged) {
    const Utf8LengthValidator validator(255);
    QString text = Repeat(kEuro, 85);  // exactly 255 bytes
    int position = 3;
    EXPECT_EQ(validator.validate(text, position), QValidator::Acceptable);
    EXPECT_EQ(text, Repeat(kEuro, 85));
    EXPECT_EQ(position, 3);
}

TEST(Utf8LengthValidator, CutsTheNewestCharactersBeforeTheCursorWhole) {
    const Utf8LengthValidator validator(10);
    // "ab" was there; eight euro signs were pasted between a and b.
    QString text = QStringLiteral("a") + Repeat(kEuro, 8) + QStringLiteral("b");
    int position = 9;
    EXPECT_EQ(validator.validate(text, position), QValidator::Acceptable);
    EXPECT_EQ(text, QStringLiteral("a") + Repeat(kEuro, 2) + QStringLiteral("b"));
    EXPECT_EQ(position, 3);
    EXPECT_LE(Bytes(text), 10);
}

TEST(Utf8LengthValidator, NeverLeavesHalfACharacter) {
    const Utf8LengthValidator validator(5);
    QString text = Repeat(kEAcute, 3);  // six bytes: the third character goes whole
    int position = 3;
    validator.validate(text, position);
    EXPECT_EQ(text, Repeat(kEAcute, 2));
    EXPECT_EQ(Bytes(text), 4);
}

TEST(Utf8LengthValidator, KeepsTheBeginningWhenTheTailAloneIsTooLong) {
    const Utf8LengthValidator validator(4);
    QString text = QStringLiteral("abcdefgh");
    int position = 0;
    validator.validate(text, position);
    EXPECT_EQ(text, QStringLiteral("abcd"));
    EXPECT_EQ(position, 4);
}

TEST(Utf8LengthValidator, LimitsALineEditWhetherTypedOrSet) {
    QLineEdit edit;
    const Utf8LengthValidator validator(6);
    edit.setValidator(&validator);
    edit.setText(Repeat(kEuro, 3));  // nine bytes
    EXPECT_EQ(edit.text(), Repeat(kEuro, 2));
    edit.insert(QStringLiteral("x"));  // would be seven bytes: refused
    EXPECT_EQ(edit.text(), Repeat(kEuro, 2));
    edit.setText(QStringLiteral("abcde"));
    edit.insert(kEAcute);  // would be seven bytes: refused whole, not half
    EXPECT_EQ(edit.text(), QStringLiteral("abcde"));
    edit.insert(QStringLiteral("f"));
    EXPECT_EQ(edit.text(), QStringLiteral("abcdef"));
}

}  // namespace
}  // namespace klv::app
