#include <platform/detail/ProcessSupport.h>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace tessaline::platform::detail {

namespace {

struct Overrides {
  std::mutex mutex;
  std::map<std::string, std::string> paths;
};

Overrides& overrides() {
  static auto* instance = new Overrides();  // used by launches until the process ends
  return *instance;
}

std::string parentDirectory(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder that holds the file this code was loaded from (libtessaline.so, or the executable
// that links the library statically).
std::string libraryDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&libraryDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) {
    return {};
  }
  return parentDirectory(resolved);
}

// Where a stand-in tool may be: beside the installed library (lib/ or a multiarch
// lib/<triplet>/), then the build tree.
std::vector<std::string> standInCandidates(const std::string& tool) {
  std::vector<std::string> candidates;
  const std::string subdirectory = TESSALINE_INSTALL_LIBEXEC_SUBDIR;
  if (!subdirectory.empty() && subdirectory.front() == '/') {
    candidates.push_back(subdirectory + "/" + tool);
  } else if (const auto directory = libraryDirectory(); !directory.empty()) {
    candidates.push_back(directory + "/../" + subdirectory + "/" + tool);
    candidates.push_back(directory + "/../../" + subdirectory + "/" + tool);
  }
  candidates.push_back(std::string(TESSALINE_BUILD_LIBEXEC_DIR) + "/" + tool);
  return candidates;
}

}  // namespace

std::string resolveExecutable(const std::string& path) {
  {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    if (auto found = o.paths.find(path); found != o.paths.end()) {
      return found->second;
    }
  }
  std::string tool;
  if (path == "/usr/sbin/system_profiler") {
    tool = "tessaline-system-profiler";
  } else if (path == "/usr/bin/log") {
    tool = "tessaline-log";
  } else {
    return path;
  }
  const auto candidates = standInCandidates(tool);
  for (const auto& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  // Launching the first candidate then reports a missing stand-in by its expected place.
  return candidates.front();
}

void setExecutableOverride(const std::string& path, std::optional<std::string> replacement) {
  auto& o = overrides();
  std::lock_guard lock(o.mutex);
  if (replacement) {
    o.paths[path] = std::move(*replacement);
  } else {
    o.paths.erase(path);
  }
}

int openProcessHandle(int pid) {
  // pidfd_open gives a close-on-exec descriptor; kernels before 5.3 have none.
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
}

int signalProcessHandle(int handle, int signal) {
  return ::syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0) == 0 ? 0 : errno;
}

int reapProcess(int handle, int pid, bool& exited, int& status) {
  siginfo_t info{};
  int rc = 0;
  do {
    rc = handle >= 0 ? ::waitid(P_PIDFD, static_cast<id_t>(handle), &info, WEXITED)
                     : ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    return errno;
  }
  exited = info.si_code == CLD_EXITED;
  status = info.si_status;
  return 0;
}

}  // namespace tessaline::platform::detail
