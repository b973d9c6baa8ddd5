#include "installer/page_list.h"

namespace klv {

std::vector<std::string> ListedNames(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t end = list.find('\n'); end != std::string_view::npos;
         end = list.find('\n', start)) {
        names.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

PagePlan PlanFor(std::string_view name) {
    if (name == "weblogex.txt") {
        return {"weblogex.php", false, true};  // the blog's settings: title and password
    }
    if (name == "weblog.txt") {
        return {"weblog.php", false, false};
    }
    return {std::string(name), name == "klv.jpg" || name == "button.jpg", false};
}

}  // namespace klv
