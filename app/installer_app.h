// The application: the Qt application object, the shared state the workflows work on
// and the built-in configuration. One exists per process, made by main().
#pragma once

#include <QApplication>
#include <array>

#include "installer/config.h"
#include "installer/shared_state.h"

namespace klv::app {

class InstallerApp {
public:
    // Qt is given the program's name and nothing else, so that no argument can change
    // what the window does (the command line is app/command_line.h). `config` names the
    // endpoints: the build's own for the program.
    InstallerApp(char* programName, Config config);
    InstallerApp(const InstallerApp&) = delete;
    InstallerApp& operator=(const InstallerApp&) = delete;

    // Prepares the socket layer and runs the main window until it is closed. When the
    // socket layer cannot be prepared, says so and returns without a window. Returns
    // the process's exit status.
    int Run();

private:
    // Declared first, so destroyed last: a control connection still open is closed
    // after everything else has gone.
    SharedState shared_;
    Config config_;
    int argc_ = 1;
    std::array<char*, 2> argv_;
    QApplication application_;
};

}  // namespace klv::app
