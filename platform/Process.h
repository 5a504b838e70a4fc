#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaline::platform {

// A child process started directly (no shell), with its standard output captured or discarded
// and its standard error and input on the null device. Launch and terminate may be called from
// different threads; everything else belongs to one thread at a time.
//
// On Linux the macOS tool paths "/usr/sbin/system_profiler" and "/usr/bin/log" run the library's
// stand-ins (tessaline-system-profiler, tessaline-log); every other path runs as it is.
class TESSALINE_EXPORT Process {
 public:
  enum class Output { capture, discard };

  // How the process ended.
  struct Termination {
    enum class Reason { exit, uncaughtSignal, unknown };
    Reason reason = Reason::unknown;
    int status = -1;                 // the exit code or the signal number
    bool exceededTimeLimit = false;  // terminated because it ran past setTimeLimit()
  };

  Process(std::string executablePath, std::vector<std::string> arguments);
  // A process that was launched and not waited for is killed and reaped.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  const std::string& executablePath() const;
  const std::vector<std::string>& arguments() const;

  // Settings, before launch(). By default the child inherits the working directory, its
  // standard output is captured without limit, and a terminate() before launch() is ignored.
  void setCurrentDirectory(std::string path);
  void setStandardOutput(Output output);
  // Keeps only the newest bytes of standard output; 0 keeps everything.
  void setOutputLimit(std::size_t newestBytes);
  // A terminate() that arrives before launch() ends the process right after it has started.
  void setRemembersTerminateBeforeLaunch(bool remembers);
  // How long a terminated process may take to exit before waitUntilExit() kills it (SIGKILL).
  static constexpr std::chrono::milliseconds kDefaultTerminationGrace{5000};
  void setTerminationGrace(std::chrono::milliseconds grace);
  // waitUntilExit() terminates the process once it has run this long (none by default).
  void setTimeLimit(std::chrono::milliseconds limit);

  // Starts the process; an error of kind process (with the system's reason) when it cannot be
  // started. A process launches at most once.
  Result<Unit> launch();

  // Reads standard output while the process runs, so it never stalls on a full pipe, and returns
  // once the process has exited. Returns at once, with an unknown termination, when the process
  // was never launched.
  Termination waitUntilExit();

  // The captured standard output, complete once waitUntilExit() has returned.
  Bytes output() const;
  // How many of the oldest output bytes the output limit dropped.
  std::uint64_t droppedOutputBytes() const;

  // Sends SIGTERM, through a process file descriptor where the system has them, so that a
  // reused process id is never hit; a process still running after the termination grace is
  // killed by the thread in waitUntilExit(). Does nothing once the process has been reaped. Safe
  // from any thread, also while another thread launches or waits.
  void terminate();

  // The process id while the process is known; nothing before launch.
  std::optional<int> processIdentifier() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessaline::platform
