// The page list as downloaded: text-mode decoding, then one name per line feed. The names
// and their line feeds give back the text up to its last LF, and the naming rules hold.
#include <cstdlib>
#include <string>

#include "installer/page_list.h"
#include "installer/text_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    klv::TextModeDecoder decoder;
    std::string text, rebuilt;
    decoder.Feed(std::string_view(reinterpret_cast<const char*>(data), size), text);
    decoder.Finish(text);
    for (const std::string& name : klv::ListedNames(text)) {
        const klv::PagePlan plan = klv::PlanFor(name);
        if (name.find('\n') != std::string::npos || plan.remoteName.empty() != name.empty() ||
            (plan.binary && name != "klv.jpg" && name != "button.jpg")) {
            std::abort();
        }
        rebuilt += name + '\n';
    }
    if (rebuilt != text.substr(0, text.rfind('\n') + 1)) {  // npos + 1 is 0
        std::abort();
    }
    return 0;
}
