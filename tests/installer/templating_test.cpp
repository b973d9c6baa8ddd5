#include "installer/templating.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "installer/form.h"
#include "tests/support/files.h"

namespace klv {
namespace {

constexpr std::string_view kHop = "http://hop.clickbank.net/";

class TemplatingTest : public ::testing::Test {
protected:
    TemplatingTest() {
        data.mainEmail = "main@example.org";
        data.payPalEmail = "pay@example.org";
        data.stormPayEmail = "storm@example.org";
        data.cgiPath = "www/cgi-bin";
        data.httpCgiPath = "http://www.example.com/cgi-bin";
        data.adPrice = "5.00";
        data.adUrl = BuildAdUrl(kHop, "nick");
        data.adTitle = kAdTitle;
        data.adDescription = kAdDescription;
    }

    std::string Script() const { return directory_.File("klvcfg.cgi"); }

    void Write(const std::string& bytes) const {
        std::ofstream out(Script(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Read() const {
        std::ifstream in(Script(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The script FillScriptTemplate makes of a template holding `bytes`.
    std::string Filled(const std::string& bytes) const {
        Write(bytes);
        EXPECT_TRUE(FillScriptTemplate(Script(), data));
        return Read();
    }

    FormData data;

private:
    testing::ScratchDirectory directory_;
};

TEST_F(TemplatingTest, FillsEveryPlaceholderWithItsValue) {
    const std::string script = Filled(
        "$email = '#email#';\n"
        "$paypal = '#emailpp#';\n"
        "$stormpay = '#emailsp#';\n"
        "$path = '#klvpath#';\n"
        "$price = '#price#';\n"
        "$adurl = '#ad-url#';\n"
        "$adtitle = '#ad-title#';\n"
        "$addesc = '#ad-description#';\n");
    EXPECT_EQ(script,
              "$email = 'main\\@example.org';\r\n"
              "$paypal = 'pay\\@example.org';\r\n"
              "$stormpay = 'storm\\@example.org';\r\n"
              "$path = 'http://www.example.com/cgi-bin';\r\n"
              "$price = '5.00';\r\n"
              "$adurl = 'http://hop.clickbank.net/?nick/tamrixo';\r\n"
              "$adtitle = 'Tamrix - Tools No WebMaster Should Be Without!';\r\n"
              "$addesc = '" +
                  std::string(kAdDescription) + "';\r\n");
}

TEST_F(TemplatingTest, CrLfAndLfTemplatesGiveTheSameScriptWithOneCrLfPerLine) {
    const std::string fromLf = Filled("#!/usr/bin/perl\n$e='#email#';\n\nend\n");
    const std::string fromCrLf = Filled("#!/usr/bin/perl\r\n$e='#email#';\r\n\r\nend\r\n");
    EXPECT_EQ(fromLf, fromCrLf);
    EXPECT_EQ(fromLf, "#!/usr/bin/perl\r\n$e='main\\@example.org';\r\n\r\nend\r\n");
    EXPECT_EQ(fromLf.find("\r\r\n"), std::string::npos);
}

TEST_F(TemplatingTest, ALoneCrStaysAsItWas) {
    EXPECT_EQ(Filled("a\rb\r\n"), "a\rb\r\n");
}

TEST_F(TemplatingTest, LineFeedsInsideValuesBecomeCrLfToo) {
    data.adPrice = "5\n00";
    EXPECT_EQ(Filled("#price#"), "5\r\n00");
}

TEST_F(TemplatingTest, AnEmailHoldingThePricePlaceholderGetsThePrice) {
    data.mainEmail = "me#price#@example.org";
    data.adPrice = "9.99";
    EXPECT_EQ(Filled("#email#"), "me9.99\\@example.org");
}

TEST_F(TemplatingTest, APriceHoldingTheEmailPlaceholderStaysAsTyped) {
    data.adPrice = "#email#";
    EXPECT_EQ(Filled("#price# #email#"), "#email# main\\@example.org");
}

TEST_F(TemplatingTest, AtSignsAreEscapedInTheThreeEmailsOnly) {
    data.mainEmail = "a@b@c";
    data.payPalEmail = "p@q";
    data.stormPayEmail = "@";
    data.httpCgiPath = "http://user@host/cgi-bin";
    data.adPrice = "@5";
    data.adUrl = BuildAdUrl(kHop, "ni@ck");
    EXPECT_EQ(Filled("#email#|#emailpp#|#emailsp#|#klvpath#|#price#|#ad-url#|@"),
              "a\\@b\\@c|p\\@q|\\@|http://user@host/cgi-bin|@5|http://hop.clickbank.net/?ni@ck/"
              "tamrixo|@");
}

TEST_F(TemplatingTest, TheFtpPathIsNotAValue) {
    data.cgiPath = "ftp-side/path";
    EXPECT_EQ(Filled("#klvpath#"), "http://www.example.com/cgi-bin");
}

TEST_F(TemplatingTest, RepeatedMissingAndCapitalisedPlaceholders) {
    EXPECT_EQ(Filled("#price#,#price#,#price#"), "5.00,5.00,5.00");
    EXPECT_EQ(Filled("nothing to fill"), "nothing to fill");
    EXPECT_EQ(Filled("#PRICE# #Email# #AD-URL# #price"), "#PRICE# #Email# #AD-URL# #price");
}

TEST_F(TemplatingTest, AnEmptyPaymentAddressRemovesItsPlaceholder) {
    data.payPalEmail = "";
    EXPECT_EQ(Filled("pp='#emailpp#' sp='#emailsp#'"), "pp='' sp='storm\\@example.org'");
}

TEST_F(TemplatingTest, CtrlZCutsTheScript) {
    EXPECT_EQ(Filled("line one\n#price#\x1A"
                     "#email#\nrest\n"),
              "line one\r\n5.00");
}

TEST_F(TemplatingTest, AnEmptyTemplateGivesAnEmptyFile) {
    EXPECT_EQ(Filled(""), "");
    EXPECT_TRUE(std::filesystem::exists(Script()));
}

TEST_F(TemplatingTest, ATemplateThatCannotBeOpenedGivesFalseAndChangesNothing) {
    EXPECT_FALSE(FillScriptTemplate(Script(), data));
    EXPECT_FALSE(std::filesystem::exists(Script()));

    // A directory of that name cannot be read as a template either.
    std::filesystem::create_directory(Script());
    EXPECT_FALSE(FillScriptTemplate(Script(), data));
    EXPECT_TRUE(std::filesystem::is_directory(Script()));
}

TEST_F(TemplatingTest, ValuesOfFullLengthAreInsertedWhole) {
    data.mainEmail = std::string(254, 'm') + "@";
    data.adPrice = std::string(255, '9');
    EXPECT_EQ(Filled("#email#\n#price#"),
              std::string(254, 'm') + "\\@\r\n" + std::string(255, '9'));
}

TEST(FillTemplateText, RunsTheStepsInOrderOverInsertedValues) {
    auto data = std::make_unique<FormData>();
    data->mainEmail = "#emailpp#";
    data->payPalEmail = "#emailsp#";
    data->stormPayEmail = "#klvpath#";
    data->httpCgiPath = "#price#";
    data->adPrice = "#ad-url#";
    data->adUrl = "#ad-title#";
    data->adTitle = "#ad-description#";
    data->adDescription = "end\n";
    // Each value names the next step's placeholder, so the chain runs to its end.
    EXPECT_EQ(FillTemplateText("#email#", *data), "end\r\n");
    // Backwards, nothing chains: each step has run before the value naming it arrives.
    data->adDescription = "#ad-title#";
    data->adTitle = "#ad-url#";
    data->adUrl = "x";
    EXPECT_EQ(FillTemplateText("#ad-description#", *data), "#ad-title#");
}

TEST(EscapedEmail, PutsABackslashBeforeEveryAtSign) {
    EXPECT_EQ(EscapedEmail("a@b@c"), "a\\@b\\@c");
    EXPECT_EQ(EscapedEmail("none"), "none");
    EXPECT_EQ(EscapedEmail(""), "");
}

}  // namespace
}  // namespace klv
