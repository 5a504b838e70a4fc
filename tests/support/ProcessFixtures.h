#pragma once

// Helpers for tests that start child processes: the fixture tools, the executable seam, scoped
// environment variables and bounded waits for a launched child.

#include <platform/detail/ProcessSupport.h>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace tessaline::testing {

// A fixture tool built from tests/fixtures/fixture_tool.cpp ("arguments", "stream", ...).
inline std::string fixtureTool(const std::string& mode) {
  return std::string(TESSALINE_FIXTURE_TOOLS_DIR) + "/fixture-" + mode;
}

// A data file under tests/fixtures.
inline std::string fixtureData(const std::string& name) {
  return std::string(TESSALINE_FIXTURE_DATA_DIR) + "/" + name;
}

// A stand-in tool of the build tree ("tessaline-log", "tessaline-system-profiler").
inline std::string standInTool(const std::string& name) {
  return std::string(TESSALINE_STAND_IN_TOOLS_DIR) + "/" + name;
}

// Runs `replacement` whenever `path` is launched, while the object lives.
class ScopedExecutableOverride {
 public:
  ScopedExecutableOverride(std::string path, std::string replacement) : path_(std::move(path)) {
    platform::detail::setExecutableOverride(path_, std::move(replacement));
  }
  ~ScopedExecutableOverride() { platform::detail::setExecutableOverride(path_, std::nullopt); }
  ScopedExecutableOverride(const ScopedExecutableOverride&) = delete;
  ScopedExecutableOverride& operator=(const ScopedExecutableOverride&) = delete;

 private:
  std::string path_;
};

// Sets (or, with none, unsets) an environment variable while the object lives. Set it before any
// thread that could read the environment starts.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
      old_ = old;
    }
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Polls a condition every few milliseconds until it holds or the time runs out.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::steady_clock::duration timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The process id a fixture tool wrote into its marker file, once it is there.
inline std::optional<pid_t> waitForMarker(const std::filesystem::path& marker) {
  std::optional<pid_t> pid;
  waitFor([&] {
    std::ifstream in(marker);
    long value = 0;
    if (in >> value && value > 0) {
      pid = static_cast<pid_t>(value);
      return true;
    }
    return false;
  });
  return pid;
}

// Whether a process with that id still exists (a zombie counts as gone once it is reaped).
inline bool processExists(pid_t pid) {
  return ::kill(pid, 0) == 0;
}

// The child of this process with that command name that blocks SIGTERM (the log tool does so
// first thing, so from then on a SIGTERM ends its stream cleanly).
inline std::optional<pid_t> childBlockingSigterm(const std::string& command) {
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
       it.increment(error)) {
    const auto name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream status(it->path() / "status");
    std::string line;
    std::string comm;
    long parent = -1;
    unsigned long long blocked = 0;
    while (std::getline(status, line)) {
      std::istringstream fields(line);
      std::string key;
      fields >> key;
      if (key == "Name:") {
        fields >> comm;
      } else if (key == "PPid:") {
        fields >> parent;
      } else if (key == "SigBlk:") {
        fields >> std::hex >> blocked;
      }
    }
    if (comm == command.substr(0, 15) && parent == ::getpid() &&
        (blocked & (1ull << (SIGTERM - 1))) != 0) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return std::nullopt;
}

}  // namespace tessaline::testing
