#include "support/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// An unnamed file of this process: a child's output never blocks it, however much it writes.
int privateFile() {
  std::string name = (std::filesystem::temp_directory_path() / "tessaline-child-XXXXXX").string();
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  ::unlink(name.c_str());
  return fd;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[8192];
  ssize_t count = 0;
  while ((count = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  return text;
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
  child->outFd_ = privateFile();
  child->errFd_ = privateFile();
  int input = options.terminalInput ? openTerminal(child->terminalFd_)
                                    : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (arguments.empty() || child->outFd_ < 0 || child->errFd_ < 0 || input < 0) {
    if (failure != nullptr) {
      *failure = std::string("cannot set up the child: ") + std::strerror(errno);
    }
    closeIfOpen(input);
    return nullptr;
  }

  // Made before the fork, after which the child may only make async-signal-safe calls. A program
  // that cannot start says so on its standard error and exits with 127.
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
  const std::string cannotStart = "cannot start " + arguments.front() + "\n";
  const pid_t parent = ::getpid();
  child->pid_ = ::fork();
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
    if (::dup2(input, 0) >= 0 && ::dup2(child->outFd_, 1) >= 0 && ::dup2(child->errFd_, 2) >= 0) {
      ::execvpe(pointers[0], pointers.data(), pointers.data() + arguments.size() + 1);
    }
    (void)!::write(2, cannotStart.data(), cannotStart.size());
    ::_exit(127);
  }
  if (child->pid_ < 0 && failure != nullptr) {
    *failure = std::string("cannot fork: ") + std::strerror(errno);
  }
  closeIfOpen(input);
  return child->pid_ > 0 ? std::move(child) : nullptr;
}

ChildProcess::~ChildProcess() {
  kill();
  closeIfOpen(outFd_);
  closeIfOpen(errFd_);
  closeIfOpen(terminalFd_);
}

const std::string& ChildProcess::out() const {
  out_ = readAll(outFd_);
  return out_;
}

std::string ChildProcess::err() const {
  return readAll(errFd_);
}

bool ChildProcess::running() {
  int status = 0;
  if (pid_ >= 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return pid_ >= 0;
}

bool ChildProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out().find(text) == std::string::npos && running() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return out().find(text) != std::string::npos;
}

void ChildProcess::type(std::string_view text) {
  // A few bytes at a time, far below what a terminal buffers.
  EXPECT_EQ(::write(terminalFd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitCode_;
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
    exitCode_ = -1;
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
