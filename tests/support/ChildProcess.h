#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaline::testing {

// A program run by a test: standard output is collected through a pipe, standard error goes to a
// private file (so a chatty child never blocks on it), standard input is /dev/null or a
// pseudo-terminal the test types into. Every wait is bounded; the child is killed when the object
// goes away, and also when the thread that started it ends (a crashed test leaves nothing behind).
class ChildProcess {
 public:
  struct Options {
    // Variables set for the child on top of the test's own environment.
    std::vector<std::pair<std::string, std::string>> environment;
    // Standard input is a terminal (without echo) instead of /dev/null.
    bool terminalInput = false;
  };

  // Starts the program (searched in PATH when the name has no slash). Nothing when it cannot be
  // started; `failure` then says why.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments,
                                             const Options& options,
                                             std::string* failure = nullptr);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Collects output until standard output contains `text`; false when the time-out passed or the
  // child closed its output first.
  bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout);
  // Types into the terminal (terminal input only).
  void type(std::string_view text);
  // Waits for the exit, collecting output. The exit code; 128 + signal for a signal; -1 when the
  // time-out passed (the child is then killed).
  int wait(std::chrono::milliseconds timeout);
  // SIGTERM, then wait() (-1 and a kill when the child outlives the time-out).
  int terminate(std::chrono::milliseconds timeout);
  // SIGKILL, then reaps the child.
  void kill();

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  // Everything written to standard error so far.
  std::string err() const;

 private:
  ChildProcess() = default;
  // Reads what is available, waiting at most `timeoutMs`; false once standard output is closed.
  bool pump(int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;  // the unlinked file standard error goes to
  int terminalFd_ = -1;
  std::string out_;
};

// What a finished program printed and how it ended.
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
