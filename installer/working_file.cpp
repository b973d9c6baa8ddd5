#include <algorithm>

#include "installer/shared_state.h"
#include "installer/workflows.h"

namespace klv {

namespace {

constexpr std::string_view kPagePrefix = "page-";
constexpr std::string_view kPageSuffix = ".txt";

}  // namespace

std::string WorkingFile(std::string_view directory, std::string_view name) {
    std::string path(directory);
    path += '/';
    path += name;
    return path;
}

std::string PageWorkingFile(std::size_t index) {
    return std::string(kPagePrefix) + std::to_string(index) + std::string(kPageSuffix);
}

bool IsWorkingFileName(std::string_view name) {
    if (std::find(kWorkingFiles.begin(), kWorkingFiles.end(), name) != kWorkingFiles.end()) {
        return true;
    }
    if (!name.starts_with(kPagePrefix) || !name.ends_with(kPageSuffix)) {
        return false;
    }
    const std::string_view number =
        name.substr(kPagePrefix.size(), name.size() - kPagePrefix.size() - kPageSuffix.size());
    return !number.empty() &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace klv
