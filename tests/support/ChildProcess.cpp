#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace tessaline::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, at most `most`.
int remainingMs(Clock::time_point deadline, int most) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, most));
}

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A pseudo-terminal without echo: the master for the test, the slave (returned) for the child.
int openTerminal(int& master) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                         ? ::ptsname(master)
                         : nullptr;
  const int slave = name == nullptr ? -1 : ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (slave >= 0 && ::tcgetattr(slave, &settings) == 0) {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    ::tcsetattr(slave, TCSANOW, &settings);
  }
  return slave;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& arguments,
                                                  const Options& options, std::string* failure) {
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  int outPipe[2] = {-1, -1};
  int execPipe[2] = {-1, -1};  // carries errno when exec fails; closed by a successful exec
  std::string errorFile =
      (std::filesystem::temp_directory_path() / "tessaline-child-stderr-XXXXXX").string();
  child->errFd_ = ::mkostemp(errorFile.data(), O_CLOEXEC);
  ::unlink(errorFile.c_str());
  const int input = options.terminalInput ? openTerminal(child->terminalFd_)
                                          : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const bool ready = !arguments.empty() && child->errFd_ >= 0 && input >= 0 &&
                     ::pipe2(outPipe, O_CLOEXEC) == 0 && ::pipe2(execPipe, O_CLOEXEC) == 0;
  int error = ready ? 0 : (arguments.empty() ? EINVAL : errno);
  child->outFd_ = outPipe[0];

  // The arguments, a null, the environment, a null: made before the fork, after which the child
  // may only make async-signal-safe calls.
  std::vector<std::string> texts = arguments;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (std::none_of(options.environment.begin(), options.environment.end(),
                     [&](const auto& o) { return text.starts_with(o.first + "="); })) {
      texts.emplace_back(text);
    }
  }
  for (const auto& [name, value] : options.environment) {
    texts.push_back(name + "=" + value);
  }
  std::vector<char*> pointers;
  for (std::string& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.insert(pointers.begin() + static_cast<std::ptrdiff_t>(arguments.size()), nullptr);
  pointers.push_back(nullptr);
  const pid_t parent = ::getpid();
  child->pid_ = ready ? ::fork() : -1;
  if (child->pid_ == 0) {
    // Death with the starting thread, default signal handling.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      ::_exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int number = 1; number < NSIG; ++number) {
      ::signal(number, SIG_DFL);
    }
    if (::dup2(input, 0) >= 0 && ::dup2(outPipe[1], 1) >= 0 && ::dup2(child->errFd_, 2) >= 0) {
      ::execvpe(pointers[0], pointers.data(), pointers.data() + arguments.size() + 1);
    }
    error = errno;
    (void)!::write(execPipe[1], &error, sizeof error);
    ::_exit(127);
  }
  error = ready && child->pid_ < 0 ? errno : error;
  for (int fd : {outPipe[1], execPipe[1], input}) {
    closeIfOpen(fd);
  }
  if (child->pid_ > 0 && ::read(execPipe[0], &error, sizeof error) <= 0) {
    error = 0;
  }
  closeIfOpen(execPipe[0]);
  if (error != 0 && failure != nullptr) {
    *failure = (child->pid_ > 0 ? "cannot start " + arguments.front()
                                : std::string("cannot set up the child")) +
               ": " + std::strerror(error);
  }
  return error == 0 ? std::move(child) : nullptr;  // the destructor reaps a child that failed
}

ChildProcess::~ChildProcess() {
  kill();
  closeIfOpen(outFd_);
  closeIfOpen(errFd_);
  closeIfOpen(terminalFd_);
}

bool ChildProcess::pump(int timeoutMs) {
  pollfd readable{outFd_, POLLIN, 0};
  if (outFd_ >= 0 && ::poll(&readable, 1, timeoutMs) > 0) {
    char buffer[8192];
    const ssize_t count = ::read(outFd_, buffer, sizeof buffer);
    if (count > 0) {
      out_.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      closeIfOpen(outFd_);
    }
  }
  return outFd_ >= 0;
}

std::string ChildProcess::err() const {
  std::string text;
  char buffer[8192];
  ssize_t count = 0;
  while ((count = ::pread(errFd_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  return text;
}

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.find(text) == std::string::npos && Clock::now() < deadline &&
         pump(remainingMs(deadline, 100))) {
  }
  return out_.find(text) != std::string::npos;
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
      // What the child wrote last; its output closes unless a grandchild still holds it.
      const auto drained = std::min(deadline, Clock::now() + std::chrono::seconds(5));
      while (pump(remainingMs(drained, 100)) && Clock::now() < drained) {
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (Clock::now() >= deadline) {
      kill();
      return -1;
    }
    if (!pump(remainingMs(deadline, 50))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return -1;
}

int ChildProcess::terminate(std::chrono::milliseconds timeout) {
  if (pid_ >= 0) {
    ::kill(pid_, SIGTERM);
  }
  return wait(timeout);
}

void ChildProcess::kill() {
  if (pid_ >= 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

CommandResult runCommand(const std::vector<std::string>& arguments,
                         const ChildProcess::Options& options, std::chrono::milliseconds timeout) {
  CommandResult result;
  if (auto child = ChildProcess::start(arguments, options, &result.err)) {
    result.exitCode = child->wait(timeout);
    result.out = child->out();
    result.err = child->err();
  }
  return result;
}

}  // namespace tessaline::testing
