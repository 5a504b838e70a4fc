#pragma once

// Internal: what the per-OS process files provide to Process_posix.cpp, and the test seam that
// substitutes an executable.

#include <optional>
#include <string>

namespace tessaline::platform::detail {

// The executable that actually runs for a requested path: a test override, else the platform's
// stand-in for a macOS tool, else the path itself.
std::string resolveExecutable(const std::string& path);

// Test seam: runs `replacement` whenever `path` is launched (none removes the override).
void setExecutableOverride(const std::string& path, std::optional<std::string> replacement);

// A descriptor that refers to the process itself (-1 where the system has none).
int openProcessHandle(int pid);
// Sends a signal through such a descriptor; 0 or an errno value.
int signalProcessHandle(int handle, int signal);
// Reaps the process (through its handle when there is one, else by id). `exited` tells whether
// `status` is an exit code or a signal number. 0 or an errno value.
int reapProcess(int handle, int pid, bool& exited, int& status);

}  // namespace tessaline::platform::detail
