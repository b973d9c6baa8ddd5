#include "installer/run_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "base/c_handle.h"
#include "installer/workflows.h"

namespace klv {

namespace {

constexpr std::string_view kPrefix = "klv-";
constexpr std::size_t kRandomLetters = 6;  // mkdtemp's "XXXXXX"
// Another start may take a directory just made, not yet locked, for a left one and
// remove it; a run then makes another. More than this many in a row is no accident.
constexpr int kMakeAttempts = 8;

using Directory = CHandle<DIR, &::closedir>;

// An environment value that names an absolute directory, or the empty text.
std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

bool NamedLikeARunDirectory(std::string_view name) {
    const auto letterOrDigit = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    return name.size() == kPrefix.size() + kRandomLetters && name.starts_with(kPrefix) &&
           std::all_of(name.begin() + kPrefix.size(), name.end(), letterOrDigit);
}

// The entries of the open directory `directory` other than "." and "..".
std::vector<std::string> EntriesOf(int directory) {
    std::vector<std::string> names;
    // fdopendir takes the descriptor it is given: a duplicate, so that `directory` (and
    // a lock on it) stays open.
    UniqueFd copy(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    const Directory listing(copy ? ::fdopendir(copy.get()) : nullptr);
    if (!listing) {
        return names;
    }
    (void)copy.release();  // closedir closes it
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    return names;
}

// `name` in `base` opened as this user's mode-0700 directory, not through a symlink, and
// locked; invalid when it is anything else or its lock is held.
UniqueFd OpenUnusedRunDirectory(int base, const std::string& name) {
    UniqueFd directory(
        ::openat(base, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!directory || ::fstat(directory.get(), &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 07777) != 0700 || ::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) {
        return {};
    }
    return directory;
}

struct Made {
    std::string path;
    UniqueFd lock;
};

// A fresh run directory under `base`, locked; an empty path with errno set when none
// could be made.
Made MakeUnder(const std::string& base) {
    for (int attempt = 0; attempt < kMakeAttempts; ++attempt) {
        std::string path = base + "/" + std::string(kPrefix) + std::string(kRandomLetters, 'X');
        if (::mkdtemp(path.data()) == nullptr) {
            return {};
        }
        UniqueFd lock(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!lock) {
            continue;  // removed already
        }
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            continue;  // being removed
        }
        // Where flock does not work at all (a directory on NFS), no start can lock the
        // directory to remove it either: it is safe without the lock.
        struct stat held {};
        struct stat named {};
        if (::fstat(lock.get(), &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return {std::move(path), std::move(lock)};
        }
    }
    errno = EBUSY;
    return {};
}

}  // namespace

void RemoveLeftRunDirectories(const std::string& base) {
    const UniqueFd baseDirectory(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!baseDirectory) {
        return;
    }
    for (const std::string& name : EntriesOf(baseDirectory.get())) {
        if (!NamedLikeARunDirectory(name)) {
            continue;
        }
        const UniqueFd directory = OpenUnusedRunDirectory(baseDirectory.get(), name);
        if (!directory) {
            continue;
        }
        const std::vector<std::string> entries = EntriesOf(directory.get());
        if (!std::all_of(entries.begin(), entries.end(), IsWorkingFileName)) {
            continue;  // not what this program leaves: not its to remove
        }
        for (const std::string& entry : entries) {
            (void)::unlinkat(directory.get(), entry.c_str(), 0);
        }
        (void)::unlinkat(baseDirectory.get(), name.c_str(), AT_REMOVEDIR);
    }
}

std::optional<RunDirectory> RunDirectory::Make(std::string& failure) {
    const std::string runtime = AbsoluteFromEnvironment("XDG_RUNTIME_DIR");
    std::string cache = AbsoluteFromEnvironment("XDG_CACHE_HOME");
    if (const std::string home = AbsoluteFromEnvironment("HOME"); cache.empty() && !home.empty()) {
        cache = home + "/.cache";
    }
    for (const std::string& base : {runtime, cache}) {
        if (!base.empty()) {
            RemoveLeftRunDirectories(base);
        }
    }
    if (!runtime.empty()) {
        if (Made made = MakeUnder(runtime); !made.path.empty()) {
            return RunDirectory(std::move(made.path), std::move(made.lock));
        }
    }
    if (cache.empty()) {
        failure = "neither XDG_RUNTIME_DIR, XDG_CACHE_HOME nor HOME names a directory";
        return std::nullopt;
    }
    // The cache directory may not exist yet on a new account; only its user may enter it.
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    Made made = MakeUnder(cache);
    if (made.path.empty()) {
        failure = cache + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return RunDirectory(std::move(made.path), std::move(made.lock));
}

RunDirectory::RunDirectory(RunDirectory&& other) noexcept
    : path_(std::exchange(other.path_, {})), lock_(std::move(other.lock_)) {}

RunDirectory::~RunDirectory() {
    if (!path_.empty()) {
        RemoveWorkingDirectory(path_);
    }
    // lock_ is released after the removal: no start may find the directory unlocked
    // while it still holds working files.
}

void RemoveWorkingDirectory(const std::string& appDirectory) {
    DeleteWorkingFiles(appDirectory);
    (void)::rmdir(appDirectory.c_str());  // fails, and keeps it, if anything else is there
}

}  // namespace klv
