#include "installer/run_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "installer/workflows.h"

namespace klv {

namespace {

// An environment value that names an absolute directory, or the empty text.
std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// mkdtemp under `base`; the path, or the empty text with errno set.
std::string MakeUnder(const std::string& base) {
    std::string pattern = base + "/klv-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace

std::optional<RunDirectory> RunDirectory::Make(std::string& failure) {
    const std::string runtime = AbsoluteFromEnvironment("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        if (std::string made = MakeUnder(runtime); !made.empty()) {
            return RunDirectory(std::move(made));
        }
    }
    std::string cache = AbsoluteFromEnvironment("XDG_CACHE_HOME");
    if (cache.empty()) {
        const std::string home = AbsoluteFromEnvironment("HOME");
        if (home.empty()) {
            failure = "neither XDG_RUNTIME_DIR, XDG_CACHE_HOME nor HOME names a directory";
            return std::nullopt;
        }
        cache = home + "/.cache";
    }
    // The cache directory may not exist yet on a new account; only its user may enter it.
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string made = MakeUnder(cache);
    if (made.empty()) {
        failure = cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return RunDirectory(std::move(made));
}

RunDirectory::RunDirectory(RunDirectory&& other) noexcept : path_(std::exchange(other.path_, {})) {}

RunDirectory::~RunDirectory() {
    if (!path_.empty()) {
        RemoveWorkingDirectory(path_);
    }
}

void RemoveWorkingDirectory(const std::string& appDirectory) {
    DeleteWorkingFiles(appDirectory);
    (void)::rmdir(appDirectory.c_str());  // fails, and keeps it, if anything else is there
}

}  // namespace klv
