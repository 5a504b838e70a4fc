#include "support/ServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tessaline::testing {

namespace {

using Clock = std::chrono::steady_clock;

int exitCodeOf(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

// Waits for the child until the deadline; -1 when it is still running then.
int waitUntil(pid_t pid, Clock::time_point deadline) {
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return exitCodeOf(status);
    }
    if (done < 0 && errno != EINTR) {
      return -1;
    }
    if (Clock::now() >= deadline) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Starts the binary with stdin from /dev/null and the given descriptors as stdout and stderr. The
// child is killed when the thread that started it ends, so a crashed test leaves no service
// behind.
pid_t spawn(const std::vector<std::string>& arguments, int outFd, int errFd) {
  std::vector<std::string> argv{ServiceProcess::binary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
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
    if (::dup2(devNull, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) {
      ::_exit(127);
    }
    ::execve(pointers[0], pointers.data(), environ);
    ::_exit(127);
  }
  if (devNull >= 0) {
    ::close(devNull);
  }
  return pid;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::filesystem::path makeErrorFile() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tessaline-service-stderr-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  if (fd >= 0) {
    ::close(fd);
  }
  return pattern;
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
  std::unique_ptr<ServiceProcess> process(new ServiceProcess());
  process->errorFile_ = makeErrorFile();
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return nullptr;
  }
  const int errFd = ::open(process->errorFile_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  process->pid_ = spawn(arguments, pipeFds[1], errFd);
  ::close(pipeFds[1]);
  if (errFd >= 0) {
    ::close(errFd);
  }
  process->stdoutFd_ = pipeFds[0];
  if (process->pid_ < 0) {
    if (failure) {
      *failure = "cannot start " + binary();
    }
    return nullptr;
  }

  const auto deadline = Clock::now() + timeout;
  std::string printed;
  while (printed.find('\n') == std::string::npos) {
    pollfd readable{process->stdoutFd_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    char buffer[256];
    const ssize_t count = ready > 0 ? ::read(process->stdoutFd_, buffer, sizeof buffer) : 0;
    if (count <= 0) {
      break;  // timed out, or the child closed its output (it exited)
    }
    printed.append(buffer, static_cast<std::size_t>(count));
  }
  const std::string prefix = "listening on ";
  if (printed.rfind(prefix, 0) == 0 && printed.find('\n') != std::string::npos) {
    process->port_ = std::atoi(printed.c_str() + prefix.size());
  }
  if (process->port_ <= 0) {
    process->kill();
    if (failure) {
      *failure = "the service did not start listening; it printed \"" + printed +
                 "\" and wrote to standard error:\n" + process->errorOutput();
    }
    return nullptr;
  }
  return process;
}

ServiceProcess::~ServiceProcess() {
  kill();
  if (stdoutFd_ >= 0) {
    ::close(stdoutFd_);
  }
  std::error_code ignored;
  std::filesystem::remove(errorFile_, ignored);
}

int ServiceProcess::terminate(std::chrono::milliseconds timeout) {
  if (pid_ < 0) {
    return -1;
  }
  ::kill(pid_, SIGTERM);
  const int code = waitUntil(pid_, Clock::now() + timeout);
  if (code == -1) {
    kill();
    return -1;
  }
  pid_ = -1;
  return code;
}

void ServiceProcess::kill() {
  if (pid_ < 0) {
    return;
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string ServiceProcess::errorOutput() const {
  return readFile(errorFile_);
}

ServiceCommandResult runServiceCommand(const std::vector<std::string>& arguments,
                                       std::chrono::milliseconds timeout) {
  ServiceCommandResult result;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    return result;
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  const pid_t pid = spawn(arguments, outPipe[1], errPipe[1]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  const auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = pid < 0 ? 0 : 2;
  while (open > 0 && Clock::now() < deadline) {
    const int ready = ::poll(fds, 2, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      break;
    }
    for (int index = 0; index < 2; ++index) {
      if (fds[index].fd >= 0 && (fds[index].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[4096];
        const ssize_t count = ::read(fds[index].fd, buffer, sizeof buffer);
        if (count > 0) {
          sinks[index]->append(buffer, static_cast<std::size_t>(count));
        } else {
          fds[index].fd = -1;
          --open;
        }
      }
    }
  }
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  if (pid >= 0) {
    result.exitCode = waitUntil(pid, deadline);
    if (result.exitCode == -1) {
      ::kill(pid, SIGKILL);
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  return result;
}

}  // namespace tessaline::testing
