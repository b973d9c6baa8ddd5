// The replacement rule against its plainest reading (replace, step behind the insert),
// and the whole templating against the same steps done the plain way.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "installer/form.h"
#include "installer/templating.h"
#include "installer/text_file.h"

namespace {

std::string ReferenceReplaceAll(std::string text, std::string_view placeholder,
                                std::string_view value) {
    if (placeholder.empty()) {
        return text;
    }
    std::size_t at = 0;
    while ((at = text.find(placeholder, at)) != std::string::npos) {
        text.replace(at, placeholder.size(), value);
        at += value.size();
    }
    return text;
}

std::string ReferenceFill(std::string text, const klv::FormData& data) {
    const auto escaped = [](const klv::FormText& email) {
        return ReferenceReplaceAll(email.str(), "@", "\\@");
    };
    text = ReferenceReplaceAll(text, "#email#", escaped(data.mainEmail));
    text = ReferenceReplaceAll(text, "#emailpp#", escaped(data.payPalEmail));
    text = ReferenceReplaceAll(text, "#emailsp#", escaped(data.stormPayEmail));
    text = ReferenceReplaceAll(text, "#klvpath#", data.httpCgiPath.view());
    text = ReferenceReplaceAll(text, "#price#", data.adPrice.view());
    text = ReferenceReplaceAll(text, "#ad-url#", data.adUrl.view());
    text = ReferenceReplaceAll(text, "#ad-title#", data.adTitle.view());
    text = ReferenceReplaceAll(text, "#ad-description#", data.adDescription.view());
    return ReferenceReplaceAll(text, "\n", "\r\n");
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);

    // The rule on its own, with short placeholders so that matches are frequent.
    const std::string placeholder = input.ConsumeRandomLengthString(4);
    const std::string value = input.ConsumeRandomLengthString(8);
    std::string text = input.ConsumeRandomLengthString(256);
    const std::string expected = ReferenceReplaceAll(text, placeholder, value);
    klv::ReplaceAll(text, placeholder, value);
    if (text != expected) {
        Fail("ReplaceAll differs from the plain reading of the rule");
    }

    // The whole templating.
    auto form = std::make_unique<klv::FormData>();
    for (klv::FormText* field :
         {&form->mainEmail, &form->payPalEmail, &form->stormPayEmail, &form->httpCgiPath,
          &form->adPrice, &form->adUrl, &form->adTitle, &form->adDescription}) {
        field->assign(input.ConsumeRandomLengthString(40));
    }
    const std::string templateText = input.ConsumeRemainingBytesAsString();
    if (klv::FillTemplateText(templateText, *form) != ReferenceFill(templateText, *form)) {
        Fail("FillTemplateText differs from the steps done the plain way");
    }
    return 0;
}
