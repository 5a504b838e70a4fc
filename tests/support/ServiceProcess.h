#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tessaline::testing {

// What a finished command printed and how it ended.
struct ServiceCommandResult {
  int exitCode = -1;  // the exit code; 128 + signal number when a signal ended it; -1: timed out
  std::string out;
  std::string err;
};

// A running tessaline-service child process: started with "--port 0" among its arguments, it
// prints "listening on PORT", which start() waits for. Killed when dropped.
class ServiceProcess {
 public:
  // The build's tessaline-service executable; empty when the build has none.
  static std::string binary();

  // Starts the binary with the arguments and waits, at most `timeout`, until it is listening.
  // Returns nothing (with the child's standard error in `failure`) when it exits or stays
  // silent instead.
  static std::unique_ptr<ServiceProcess> start(
      const std::vector<std::string>& arguments, std::string* failure = nullptr,
      std::chrono::milliseconds timeout = std::chrono::seconds(60));

  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits at most `timeout` for the exit; the result as in
  // ServiceCommandResult::exitCode (a child that does not end is killed and gives -1).
  int terminate(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // SIGKILL, then reaps the child.
  void kill();
  // What the child wrote to standard error so far.
  std::string errorOutput() const;

 private:
  ServiceProcess() = default;
  pid_t pid_ = -1;
  int port_ = 0;
  int stdoutFd_ = -1;
  std::filesystem::path errorFile_;
};

// Runs the binary with the arguments to its end, at most `timeout` (then it is killed).
ServiceCommandResult runServiceCommand(
    const std::vector<std::string>& arguments,
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tessaline::testing
