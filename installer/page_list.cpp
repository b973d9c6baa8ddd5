#include "installer/page_list.h"

namespace klv {

std::vector<std::string> ListedNames(std::string_view list) {
    std::vector<std::string> names;
    std::string name;
    while (NextListedName(list, name)) {
        names.push_back(name);
    }
    return names;
}

bool NextListedName(std::string_view& rest, std::string& name) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    name.assign(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    return true;
}

std::string_view RefusedPageName(std::string_view name) {
    if (name.empty()) {
        return "the name is empty";
    }
    if (name.front() == '/') {
        return "the name is an absolute path";
    }
    if (name.find('\\') != std::string_view::npos) {
        return "the name holds a backslash";
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string_view part = name.substr(start, slash - start);
        if (part == "." || part == "..") {
            return "the name has a \".\" or \"..\" part, which could leave www/klv/";
        }
        if (slash == std::string_view::npos) {
            return {};
        }
        start = slash + 1;
    }
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
