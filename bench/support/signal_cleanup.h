// What a benchmark has started and must not leave behind when it is interrupted.
//
// The servers and network namespaces a benchmark starts are stopped and removed by
// their owners' destructors. SIGINT, SIGTERM and SIGHUP end a process without running
// destructors, so each owner also registers here: the handler sends SIGTERM to every
// registered process, removes every registered namespace name (what `ip netns del`
// does: unmount and unlink /run/netns/NAME) and ends the process with the signal.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace klv::bench {

// Installs the handler for SIGINT, SIGTERM and SIGHUP. Safe to call more than once.
void InstallSignalCleanup();

// Returns false when the table is full; the owner still cleans up normally.
bool RegisterProcess(pid_t pid);
void UnregisterProcess(pid_t pid);

// `name` is a name under /run/netns.
bool RegisterNamespace(std::string_view name);
void UnregisterNamespace(std::string_view name);

// `path` is an absolute path.
bool RegisterDirectory(std::string_view path);
void UnregisterDirectory(std::string_view path);

}  // namespace klv::bench
