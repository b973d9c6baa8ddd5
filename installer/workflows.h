// The three buttons' workflows and the clean-up when the window closes. Each runs to
// its end on the caller's thread and reaches the window only through `Window`. Run
// inside a RunScope (base/cancel.h), a workflow stops early once the run is cancelled
// and says in the status line what was done.
#pragma once

#include <array>
#include <string_view>

#include "installer/config.h"
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

// What a button runs.
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
