#include "LineReader.h"

#include <platform/MainQueue.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tessaline::demo {

LineReader::LineReader(Callback callback) : callback_(std::move(callback)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create a pipe");
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  thread_ = std::thread([this] { loop(); });
}

LineReader::~LineReader() {
  const char byte = 0;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void LineReader::loop() {
  const auto deliver = [this](std::optional<std::string> line) {
    platform::MainQueue::async([callback = callback_, line = std::move(line)] { callback(line); });
  };
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[1].revents != 0) {
      return;  // the reader is being destroyed
    }
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    pending.append(buffer, static_cast<std::size_t>(count));
    std::size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      pending.erase(0, end + 1);
      deliver(std::move(line));
    }
  }
  // The end of the input: a last line without a break still counts.
  if (!pending.empty()) {
    deliver(std::move(pending));
  }
  deliver(std::nullopt);
  // Stay until the owner wakes us, so that destruction always finds a thread to join.
  for (;;) {
    pollfd wake{wakeRead_, POLLIN, 0};
    if (::poll(&wake, 1, -1) > 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace tessaline::demo
