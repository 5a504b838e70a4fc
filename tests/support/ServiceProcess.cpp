#include "support/ServiceProcess.h"

#include <cstdlib>

namespace tessaline::testing {

namespace {

std::vector<std::string> withBinary(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{ServiceProcess::binary()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

}  // namespace

std::string ServiceProcess::binary() {
#ifdef TESSALINE_SERVICE_BINARY
  return TESSALINE_SERVICE_BINARY;
#else
  return {};
#endif
}

std::unique_ptr<ServiceProcess> ServiceProcess::start(const std::vector<std::string>& arguments,
                                                      std::string* failure,
                                                      std::chrono::milliseconds timeout) {
  auto child = ChildProcess::start(withBinary(arguments), {}, failure);
  if (!child) {
    return nullptr;
  }
  const std::string prefix = "listening on ";
  const bool listening = child->waitForOutput("\n", timeout) && child->out().starts_with(prefix);
  const int port = listening ? std::atoi(child->out().c_str() + prefix.size()) : 0;
  if (port <= 0) {
    if (failure != nullptr) {
      *failure = "the service did not start listening; it printed \"" + child->out() +
                 "\" and wrote to standard error:\n" + child->err();
    }
    return nullptr;
  }
  return std::unique_ptr<ServiceProcess>(new ServiceProcess(std::move(child), port));
}

CommandResult runServiceCommand(const std::vector<std::string>& arguments,
                                std::chrono::milliseconds timeout) {
  return runCommand(withBinary(arguments), {}, timeout);
}

}  // namespace tessaline::testing
