#include "installer/shared_state.h"

#include <filesystem>
#include <system_error>

namespace klv {

std::string DirectoryOf(std::string_view executablePath) {
    const std::size_t slash = executablePath.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(executablePath.substr(0, slash));
}

std::string ExecutablePath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

std::string WorkingFile(std::string_view directory, std::string_view name) {
    std::string path(directory);
    path += '/';
    path += name;
    return path;
}

}  // namespace klv
