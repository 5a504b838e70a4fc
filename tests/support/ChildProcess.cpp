#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace tessaline::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

// The test's environment with the given variables set on top.
std::vector<std::string> childEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : overrides) {
      replaced = replaced || text.rfind(name + "=", 0) == 0;
    }
    if (!replaced) {
      entries.push_back(text);
    }
  }
  for (const auto& [name, value] : overrides) {
    entries.push_back(name + "=" + value);
  }
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// A pseudo-terminal without echo: the master for the test, the slave for the child's input.
bool openTerminal(int& master, int& slave) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    return false;
  }
  const char* name = ::ptsname(master);
  slave = name == nullptr ? -1 : ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    return false;
  }
  termios settings{};
  if (::tcgetattr(slave, &settings) == 0) {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    ::tcsetattr(slave, TCSANOW, &settings);
  }
  return true;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& arguments,
                                                  const Options& options, std::string* failure) {
  const auto fail = [failure](const std::string& why) {
    if (failure != nullptr) {
      *failure = why;
    }
    return nullptr;
  };
  if (arguments.empty()) {
    return fail("no program given");
  }
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    return fail(std::strerror(errno));
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return fail(std::strerror(errno));
  }
  child->outFd_ = outPipe[0];
  child->errFd_ = errPipe[0];
  int slave = -1;
  if (options.terminalInput && !openTerminal(child->terminalFd_, slave)) {
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    closeIfOpen(slave);
    return fail("cannot open a pseudo-terminal");
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (slave >= 0) {
    posix_spawn_file_actions_adddup2(&actions, slave, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Default signal handling and an empty mask in the child, whatever the test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv = arguments;
  std::vector<std::string> envp = childEnvironment(options.environment);
  auto argvPointers = pointersTo(argv);
  auto envpPointers = pointersTo(envp);
  const int spawned = ::posix_spawnp(&child->pid_, argvPointers[0], &actions, &attributes,
                                     argvPointers.data(), envpPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  closeIfOpen(slave);
  if (spawned != 0) {
    child->pid_ = -1;
    return fail("cannot start " + arguments.front() + ": " + std::strerror(spawned));
  }
  return child;
}

ChildProcess::~ChildProcess() {
  kill();
  closeIfOpen(outFd_);
  closeIfOpen(errFd_);
  closeIfOpen(terminalFd_);
}

bool ChildProcess::pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) {
    return false;
  }
  const int ready = ::poll(fds, 2, timeoutMs);
  if (ready <= 0) {
    return true;
  }
  int* descriptors[2] = {&outFd_, &errFd_};
  std::string* sinks[2] = {&out_, &err_};
  for (int index = 0; index < 2; ++index) {
    if (*descriptors[index] >= 0 && (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[8192];
      const ssize_t count = ::read(*descriptors[index], buffer, sizeof buffer);
      if (count > 0) {
        sinks[index]->append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        closeIfOpen(*descriptors[index]);
      }
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || outFd_ < 0) {
      return false;
    }
    pump(std::min(remainingMs(deadline), 100));
  }
  return true;
}

void ChildProcess::type(std::string_view text) {
  while (terminalFd_ >= 0 && !text.empty()) {
    const ssize_t count = ::write(terminalFd_, text.data(), text.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(count));
  }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pid_ >= 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      // What the child wrote last; its outputs close unless a grandchild still holds them.
      const auto drainDeadline = std::min(deadline, Clock::now() + std::chrono::seconds(5));
      while (pump(std::min(remainingMs(drainDeadline), 100)) && Clock::now() < drainDeadline) {
      }
      return exitCodeOf(status);
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (Clock::now() >= deadline) {
      kill();
      return -1;
    }
    if (!pump(std::min(remainingMs(deadline), 50))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return -1;
}

void ChildProcess::kill() {
  if (pid_ < 0) {
    return;
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

CommandResult runCommand(const std::vector<std::string>& arguments,
                         const ChildProcess::Options& options, std::chrono::milliseconds timeout) {
  CommandResult result;
  std::string failure;
  auto child = ChildProcess::start(arguments, options, &failure);
  if (!child) {
    result.err = failure;
    return result;
  }
  result.exitCode = child->wait(timeout);
  result.out = child->out();
  result.err = child->err();
  return result;
}

}  // namespace tessaline::testing
