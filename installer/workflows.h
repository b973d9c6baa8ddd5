// The three buttons' workflows and the clean-up when the window closes. Each runs to
// its end on the caller's thread; on the way it reaches the window only through `Window`
// (progress, trust, the transcript), and it returns what the run came to, which the
// window shows with the Show*Result functions. Run inside a RunScope (base/cancel.h), a
// workflow stops early once the run is cancelled and says how far it got.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "installer/config.h"
#include "installer/run_result.h"
#include "installer/shared_state.h"
#include "installer/window.h"

namespace klv {

struct InstallerContext {
    Window& window;
    SharedState& shared;
    const Config& config;
};

// The working files in the program's directory, in the order the clean-up deletes them.
inline constexpr std::array<std::string_view, 4> kWorkingFiles{"klv.cgi", "klvcfg.cgi", "klv.txt",
                                                               "temp.txt"};

// The working file of the page at `index` of the list while Update Pages fetches ahead of
// its uploads: "page-17.txt".
[[nodiscard]] std::string PageWorkingFile(std::size_t index);
// Whether `name` is one of the program's working files: the four, or a page's.
[[nodiscard]] bool IsWorkingFileName(std::string_view name);

[[nodiscard]] RunResult InstallScript(const InstallerContext& context);
[[nodiscard]] RunResult UpdatePages(const InstallerContext& context);

// What the window shows when a run has ended: the closing status line and message boxes,
// and the set-up page opened in the browser.
void ShowInstallScriptResult(Window& window, const RunResult& result);
void ShowUpdatePagesResult(Window& window, const RunResult& result);

// What a button runs: the workflow, then what the window shows of its result.
using Workflow = void (*)(const InstallerContext&);

void OnInstallScript(const InstallerContext& context);
void OnUpdatePages(const InstallerContext& context);
void OnReadDocs(const InstallerContext& context);

// Readies the process for the network at start: a write to a connection the peer has
// closed fails instead of ending the program. False when that cannot be arranged.
[[nodiscard]] bool InitializeNetworking();

// Deletes the four working files; a file that cannot be deleted is passed over.
void DeleteWorkingFiles(std::string_view appDirectory);

}  // namespace klv
