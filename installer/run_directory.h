// The program's own directory for one run: where the working files live.
//
// An installed program cannot write beside itself, and a shared folder would let other
// users read the filled-in pages (the blog password among them) or plant symlinks under
// the working files' names. So each run makes a fresh directory that only its user can
// enter, and removes it again at the end.
#pragma once

#include <optional>
#include <string>

namespace klv {

class RunDirectory {
public:
    // Makes "klv-XXXXXX" (mode 0700, by mkdtemp) under $XDG_RUNTIME_DIR, or, when there
    // is none or it cannot be used, under $XDG_CACHE_HOME or else ~/.cache (made if
    // missing). Never anywhere else: nothing when none of them works, with the reason in
    // `failure`.
    static std::optional<RunDirectory> Make(std::string& failure);

    RunDirectory(RunDirectory&& other) noexcept;
    RunDirectory& operator=(RunDirectory&&) = delete;
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;
    ~RunDirectory();  // removes the working files and the directory, if still there

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    explicit RunDirectory(std::string path) : path_(std::move(path)) {}

    std::string path_;
};

// Deletes the four working files in `appDirectory`, then the directory itself when
// nothing else is left in it.
void RemoveWorkingDirectory(const std::string& appDirectory);

}  // namespace klv
