// The program's own directory for one run: where the working files live.
//
// An installed program cannot write beside itself, and a shared folder would let other
// users read the filled-in pages (the blog password among them) or plant symlinks under
// the working files' names. So each run makes a fresh directory that only its user can
// enter, and removes it again at the end.
//
// A run that is killed cannot remove its directory, and the blog password may be left in
// it. So a run holds an exclusive flock on its directory for its whole life, which the
// kernel drops however the process ends, and each start removes the directories of this
// program's kind whose lock is free. A process ID would not do: it is reused.
#pragma once

#include <optional>
#include <string>

#include "base/unique_fd.h"

namespace klv {

class RunDirectory {
public:
    // Makes "klv-XXXXXX" (mode 0700, by mkdtemp) under $XDG_RUNTIME_DIR, or, when there
    // is none or it cannot be used, under $XDG_CACHE_HOME or else ~/.cache (made if
    // missing), and locks it. Never anywhere else: nothing when none of them works, with
    // the reason in `failure`. First removes, in both places, what runs that ended
    // without cleaning up left there (RemoveLeftRunDirectories).
    static std::optional<RunDirectory> Make(std::string& failure);

    RunDirectory(RunDirectory&& other) noexcept;
    RunDirectory& operator=(RunDirectory&&) = delete;
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;
    ~RunDirectory();  // removes the working files and the directory, if still there

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    RunDirectory(std::string path, UniqueFd lock)
        : path_(std::move(path)), lock_(std::move(lock)) {}

    std::string path_;
    UniqueFd lock_;  // the directory, opened and flocked: held, it says "in use"
};

// Removes from `base` each entry that is one of this program's run directories and whose
// lock is free: named "klv-" and six letters or digits, a directory (not a symlink) of
// mode 0700 owned by this user, holding nothing but the working files. Anything else,
// and a directory it cannot lock, stays as it is.
void RemoveLeftRunDirectories(const std::string& base);

// Deletes the four working files in `appDirectory`, then the directory itself when
// nothing else is left in it.
void RemoveWorkingDirectory(const std::string& appDirectory);

}  // namespace klv
