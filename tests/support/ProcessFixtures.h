#pragma once

// Helpers for tests that start child processes: stand-in tools as shell scripts, the executable
// seam, scoped environment variables and bounded waits for a launched child.

#include <platform/detail/ProcessSupport.h>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessaline::testing {

inline std::string fixtureData(const std::string& name) {
  return std::string(TESSALINE_FIXTURE_DATA_DIR) + "/" + name;
}

// Writes an executable shell script named `name` into `folder`.
inline std::filesystem::path script(const std::filesystem::path& folder, const std::string& body,
                                    const std::string& name = "tool") {
  const auto path = folder / name;
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// Script bodies. The first prints each argument and then its working folder, each followed by
// \x1e, also into "$0.args"; the second then writes its process id into "$0.pid" and waits for
// SIGTERM, upon which it prints "terminated" and exits 0.
inline const std::string kRecordArguments =
    "printf '%s\\036' \"$@\" \"$(pwd -P)\" | tee \"$0.args\"\n";
inline const std::string kStreamUntilTerminated =
    kRecordArguments +
    "trap 'trap \"\" TERM; kill $!; echo terminated; exit 0' TERM\n"
    "echo $$ > \"$0.pid\"\n"
    "sleep 600 > /dev/null &\n"
    "wait\n";

// What a script of kRecordArguments recorded: the arguments, then the folder.
inline std::vector<std::string> recordedArguments(const std::filesystem::path& script) {
  std::ifstream in(script.string() + ".args");
  std::vector<std::string> arguments;
  for (std::string argument; std::getline(in, argument, '\x1e');) {
    arguments.push_back(argument);
  }
  return arguments;
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
    set(value);
  }
  ScopedEnvironment(std::string name, const char* value)
      : ScopedEnvironment(std::move(name),
                          value ? std::optional<std::string>(value) : std::nullopt) {}
  ~ScopedEnvironment() { set(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
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

// The process id a script wrote into `marker`, once it is there.
inline std::optional<pid_t> waitForMarker(const std::filesystem::path& marker) {
  long value = 0;
  waitFor([&] { return std::ifstream(marker) >> value && value > 0; });
  return value > 0 ? std::optional<pid_t>(static_cast<pid_t>(value)) : std::nullopt;
}

// Whether a process with that id still exists (a zombie counts as gone once it is reaped).
inline bool processExists(pid_t pid) {
  return ::kill(pid, 0) == 0;
}

// Whether a child of this process with that command name blocks SIGTERM (the log tool does so
// first thing, so from then on a SIGTERM ends its stream cleanly).
inline bool childBlockingSigterm(const std::string& command) {
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream in(it->path() / "status");
    const std::string status(std::istreambuf_iterator<char>(in), {});
    const auto field = [&status](const std::string& key) {
      const auto at = status.find("\n" + key + ":\t");
      return at == std::string::npos ? "0" : status.substr(at + key.size() + 3, 16);
    };
    if (status.starts_with("Name:\t" + command.substr(0, 15) + "\n") &&
        std::stol(field("PPid")) == ::getpid() &&
        (std::stoull(field("SigBlk"), nullptr, 16) >> (SIGTERM - 1) & 1) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace tessaline::testing
