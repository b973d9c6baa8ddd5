#include "installer/shared_state.h"

namespace klv {

std::string WorkingFile(std::string_view directory, std::string_view name) {
    std::string path(directory);
    path += '/';
    path += name;
    return path;
}

}  // namespace klv
