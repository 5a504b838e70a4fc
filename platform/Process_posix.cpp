#include <platform/Process.h>
#include <platform/detail/ProcessSupport.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <system_error>

extern char** environ;

namespace tessaline::platform {

namespace {

std::string errorText(int code) {
  return std::system_category().message(code);
}

// Owns the two objects that posix_spawn needs, so every exit path destroys them.
class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

struct Process::Impl {
  std::string executablePath;
  std::vector<std::string> arguments;
  std::optional<std::string> currentDirectory;
  Output output = Output::capture;
  std::size_t outputLimit = 0;
  bool remembersTerminate = false;

  // Guards what terminate() reads while another thread launches or reaps.
  mutable std::mutex mutex;
  enum class Phase { idle, running, reaped, failed } phase = Phase::idle;
  bool terminateRequested = false;
  // When a terminated process that has not exited is killed; set by the first SIGTERM.
  std::optional<std::chrono::steady_clock::time_point> killDeadline;
  std::chrono::milliseconds terminationGrace = Process::kDefaultTerminationGrace;
  std::optional<std::chrono::milliseconds> timeLimit;
  std::optional<std::chrono::steady_clock::time_point> timeLimitDeadline;
  int pid = -1;
  int handle = -1;  // pidfd, or -1
  Termination termination;

  // Only the waiting thread touches these.
  int outputFd = -1;
  std::string captured;
  std::uint64_t dropped = 0;
  Bytes result;

  void signalLocked(int signal) {
    if (phase != Phase::running) {
      return;
    }
    if (handle >= 0) {
      detail::signalProcessHandle(handle, signal);
    } else {
      // Without a process descriptor the id is still ours: the child is not reaped before
      // `phase` leaves running, which happens under the same lock.
      ::kill(pid, signal);
    }
  }

  // SIGTERM, with a deadline after which the waiting thread sends SIGKILL: a child that ignores
  // SIGTERM must not keep its waiter (and the step that waits) forever.
  void terminateLocked() {
    if (phase != Phase::running) {
      return;
    }
    if (!killDeadline) {
      killDeadline = std::chrono::steady_clock::now() + terminationGrace;
    }
    signalLocked(SIGTERM);
  }

  // Kills a terminated child whose grace has run out; how long the waiter may sleep before it
  // looks again (-1: until something happens).
  int enforceDeadline(bool hasHandle) {
    std::lock_guard lock(mutex);
    // Without a pidfd the exit is noticed by looking every 50 ms; with one, a terminate() from
    // another thread is noticed within a second.
    int wait = hasHandle ? 1000 : 50;
    if (timeLimitDeadline && !killDeadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *timeLimitDeadline - std::chrono::steady_clock::now());
      if (left.count() > 0) {
        return std::min<int>(wait, static_cast<int>(left.count()));
      }
      termination.exceededTimeLimit = true;
      terminateLocked();
    }
    if (!killDeadline) {
      return wait;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        *killDeadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      signalLocked(SIGKILL);
      return wait;
    }
    return std::min<int>(wait, static_cast<int>(left.count()));
  }

  void keepNewest(bool final) {
    if (outputLimit == 0 || captured.size() <= outputLimit) {
      return;
    }
    // Trim in batches so that a long capture does not move the buffer on every read.
    const std::size_t slack = std::max<std::size_t>(outputLimit / 4, kReadChunk);
    if (final || captured.size() > outputLimit + slack) {
      dropped += captured.size() - outputLimit;
      captured.erase(0, captured.size() - outputLimit);
    }
  }

  // Reads what the pipe holds now; false at end of file.
  bool readAvailable(std::vector<char>& buffer) {
    for (;;) {
      const ssize_t count = ::read(outputFd, buffer.data(), buffer.size());
      if (count > 0) {
        captured.append(buffer.data(), static_cast<std::size_t>(count));
        keepNewest(false);
        continue;
      }
      if (count == 0) {
        return false;
      }
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }

  void closeOutput() {
    if (outputFd >= 0) {
      ::close(outputFd);
      outputFd = -1;
    }
  }

  // Whether the child has ended, without reaping it (the fallback where there is no pidfd).
  bool hasExitedWithoutHandle() const {
    siginfo_t info{};
    const int rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc < 0) {
      return errno != EINTR;  // ECHILD: someone else reaped it
    }
    return info.si_pid != 0;
  }
};

Process::Process(std::string executablePath, std::vector<std::string> arguments)
    : impl_(std::make_unique<Impl>()) {
  impl_->executablePath = std::move(executablePath);
  impl_->arguments = std::move(arguments);
}

Process::~Process() {
  bool running = false;
  {
    std::lock_guard lock(impl_->mutex);
    running = impl_->phase == Impl::Phase::running;
    if (running) {
      impl_->signalLocked(SIGKILL);
    }
  }
  if (running) {
    waitUntilExit();
  }
  impl_->closeOutput();
}

const std::string& Process::executablePath() const {
  return impl_->executablePath;
}

const std::vector<std::string>& Process::arguments() const {
  return impl_->arguments;
}

void Process::setCurrentDirectory(std::string path) {
  impl_->currentDirectory = std::move(path);
}

void Process::setStandardOutput(Output output) {
  impl_->output = output;
}

void Process::setOutputLimit(std::size_t newestBytes) {
  impl_->outputLimit = newestBytes;
}

void Process::setRemembersTerminateBeforeLaunch(bool remembers) {
  std::lock_guard lock(impl_->mutex);
  impl_->remembersTerminate = remembers;
}

Result<Unit> Process::launch() {
  auto& d = *impl_;
  const std::string resolved = detail::resolveExecutable(d.executablePath);

  std::lock_guard lock(d.mutex);
  if (d.phase != Impl::Phase::idle) {
    return Error(Error::Kind::process, "The process " + resolved + " was already launched");
  }

  int pipeFds[2] = {-1, -1};
  if (d.output == Output::capture && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    const int code = errno;
    d.phase = Impl::Phase::failed;
    return Error(Error::Kind::process, "Cannot launch " + resolved + ": " + errorText(code));
  }

  SpawnSettings settings;
  auto* actions = settings.actions();
  posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  if (d.output == Output::capture) {
    posix_spawn_file_actions_adddup2(actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0);
  if (d.currentDirectory) {
    posix_spawn_file_actions_addchdir_np(actions, d.currentDirectory->c_str());
  }
  // Descriptors the host opened without close-on-exec stay out of the child as well.
  posix_spawn_file_actions_addclosefrom_np(actions, 3);

  auto* attributes = settings.attributes();
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(attributes, &none);
  posix_spawnattr_setsigdefault(attributes, &all);
  posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.reserve(d.arguments.size() + 2);
  argv.push_back(const_cast<char*>(resolved.c_str()));
  for (auto& argument : d.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, resolved.c_str(), actions, attributes, argv.data(), environ);
  if (pipeFds[1] >= 0) {
    ::close(pipeFds[1]);
  }
  if (rc != 0) {
    if (pipeFds[0] >= 0) {
      ::close(pipeFds[0]);
    }
    d.phase = Impl::Phase::failed;
    return Error(Error::Kind::process, "Cannot launch " + resolved + ": " + errorText(rc));
  }

  d.pid = pid;
  d.handle = detail::openProcessHandle(pid);
  d.phase = Impl::Phase::running;
  if (d.timeLimit) {
    d.timeLimitDeadline = std::chrono::steady_clock::now() + *d.timeLimit;
  }
  d.outputFd = pipeFds[0];
  if (d.outputFd >= 0) {
    ::fcntl(d.outputFd, F_SETFL, ::fcntl(d.outputFd, F_GETFL) | O_NONBLOCK);
  }
  if (d.terminateRequested && d.remembersTerminate) {
    d.terminateLocked();
  }
  return Unit{};
}

Process::Termination Process::waitUntilExit() {
  auto& d = *impl_;
  int handle = -1;
  {
    std::lock_guard lock(d.mutex);
    if (d.phase != Impl::Phase::running) {
      return d.termination;
    }
    handle = d.handle;
  }

  std::vector<char> buffer(kReadChunk);
  for (;;) {
    pollfd fds[2];
    nfds_t count = 0;
    int outputIndex = -1;
    int handleIndex = -1;
    if (d.outputFd >= 0) {
      outputIndex = static_cast<int>(count);
      fds[count++] = pollfd{d.outputFd, POLLIN, 0};
    }
    if (handle >= 0) {
      handleIndex = static_cast<int>(count);
      fds[count++] = pollfd{handle, POLLIN, 0};
    }
    const int timeout = d.enforceDeadline(handle >= 0);
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (ready <= 0 && handle >= 0) {
      continue;
    }
    if (outputIndex >= 0 && fds[outputIndex].revents != 0 && !d.readAvailable(buffer)) {
      d.closeOutput();
    }
    const bool exited =
        handleIndex >= 0 ? (fds[handleIndex].revents != 0) : d.hasExitedWithoutHandle();
    if (exited) {
      // Everything the child wrote is in the pipe by now; a grandchild that keeps the pipe open
      // is not waited for.
      if (d.outputFd >= 0) {
        d.readAvailable(buffer);
      }
      break;
    }
  }
  d.closeOutput();
  d.keepNewest(true);
  d.result = Bytes(std::move(d.captured));
  d.captured = {};

  std::lock_guard lock(d.mutex);
  bool exitedNormally = false;
  int status = -1;
  if (detail::reapProcess(d.handle, d.pid, exitedNormally, status) == 0) {
    d.termination.reason =
        exitedNormally ? Termination::Reason::exit : Termination::Reason::uncaughtSignal;
    d.termination.status = status;
  }
  if (d.handle >= 0) {
    ::close(d.handle);
    d.handle = -1;
  }
  d.phase = Impl::Phase::reaped;
  return d.termination;
}

Bytes Process::output() const {
  return impl_->result;
}

std::uint64_t Process::droppedOutputBytes() const {
  return impl_->dropped;
}

void Process::setTimeLimit(std::chrono::milliseconds limit) {
  std::lock_guard lock(impl_->mutex);
  impl_->timeLimit = limit;
}

void Process::terminate() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->phase == Impl::Phase::idle) {
    impl_->terminateRequested = true;
    return;
  }
  impl_->terminateLocked();
}

void Process::setTerminationGrace(std::chrono::milliseconds grace) {
  std::lock_guard lock(impl_->mutex);
  impl_->terminationGrace = std::max(grace, std::chrono::milliseconds(0));
}

std::optional<int> Process::processIdentifier() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->pid < 0) {
    return std::nullopt;
  }
  return impl_->pid;
}

}  // namespace tessaline::platform
