#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaline::testing {

// A program run by a test: standard output through a pipe, standard error into a private file (a
// chatty child never blocks on it), standard input /dev/null or a pseudo-terminal the test types
// into. Every wait is bounded; the child is killed with the object, or with the thread that
// started it (a crashed test leaves nothing behind).
class ChildProcess {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> environment;  // on top of the test's own
    bool terminalInput = false;  // a terminal without echo instead of /dev/null
  };

  // Nothing when the program (searched in PATH without a slash) cannot start; `failure` says why.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments,
                                             const Options& options,
                                             std::string* failure = nullptr);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False when the time-out passed or the output closed before it held `text`.
  bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout);
  void type(std::string_view text);  // terminal input only
  // The exit code; 128 + signal for a signal; -1 (and the child killed) past the time-out.
  int wait(std::chrono::milliseconds timeout);
  int terminate(std::chrono::milliseconds timeout);  // SIGTERM, then wait()
  void kill();

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  std::string err() const;

 private:
  ChildProcess() = default;
  bool pump(int timeoutMs);  // false once standard output is closed

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int terminalFd_ = -1;
  std::string out_;
};

struct CommandResult {
  int exitCode = -1;  // as ChildProcess::wait
  std::string out;
  std::string err;
};

// Runs a program with standard input from /dev/null to its end, at most `timeout`.
CommandResult runCommand(const std::vector<std::string>& arguments,
                         const ChildProcess::Options& options = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(120));

}  // namespace tessaline::testing
