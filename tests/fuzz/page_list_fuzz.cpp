// The page list as downloaded: text-mode decoding, then one name per line feed. Every
// name holds no LF, the names and their line feeds give back the text up to its last
// LF, and the naming rules hold for every name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "installer/page_list.h"
#include "installer/text_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    klv::TextModeDecoder decoder;
    std::string text;
    decoder.Feed(bytes, text);
    decoder.Finish(text);

    std::string rebuilt;
    for (const std::string& name : klv::ListedNames(text)) {
        if (name.find('\n') != std::string::npos) {
            std::abort();
        }
        const klv::PagePlan plan = klv::PlanFor(name);
        if (plan.remoteName.empty() != name.empty() ||
            (plan.binary && name != "klv.jpg" && name != "button.jpg")) {
            std::abort();
        }
        rebuilt += name;
        rebuilt += '\n';
    }
    const std::size_t lastLf = text.rfind('\n');
    const std::string_view expected = lastLf == std::string::npos
                                          ? std::string_view()
                                          : std::string_view(text).substr(0, lastLf + 1);
    if (rebuilt != expected) {
        std::abort();
    }
    return 0;
}
