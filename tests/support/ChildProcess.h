#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaline::testing {

// A program run by a test: standard output and error into private files (a chatty child never
// blocks), standard input /dev/null or a pseudo-terminal the test types into. Every wait is
// bounded; the child is killed with the object, or with the thread that started it (a crashed test
// leaves nothing behind).
class ChildProcess {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> environment;  // on top of the test's own
    bool terminalInput = false;  // a terminal without echo instead of /dev/null
  };

  // Nothing when the child cannot be set up (`failure` says why); a program (searched in PATH
  // without a slash) that cannot start says so on standard error and exits with 127.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& arguments,
                                             const Options& options,
                                             std::string* failure = nullptr);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False when the time-out passed or the child ended before its output held `text`.
  bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout);
  void type(std::string_view text);  // terminal input only
  // The exit code; 128 + signal for a signal; -1 (and the child killed) past the time-out.
  int wait(std::chrono::milliseconds timeout);
  int terminate(std::chrono::milliseconds timeout);  // SIGTERM, then wait()
  void kill();

  pid_t pid() const { return pid_; }
  const std::string& out() const;
  std::string err() const;

 private:
  ChildProcess() = default;
  bool running();  // reaps the child once it has ended

  pid_t pid_ = -1;
  int exitCode_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int terminalFd_ = -1;
  mutable std::string out_;
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
