#include "support/RawHttpConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace tessaline::testing {

using Clock = std::chrono::steady_clock;

RawHttpConnection::RawHttpConnection(int port, const char* from)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &address.sin_addr);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  timeval timeout{5, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

RawHttpConnection::~RawHttpConnection() {
  ::close(fd_);
}

bool RawHttpConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// Reads what arrives before the deadline; false when the connection ended or the wait ran out.
bool RawHttpConnection::fill(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd readable{fd_, POLLIN, 0};
  if (::poll(&readable, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
    return false;
  }
  char bytes[16384];
  const ssize_t count = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
  if (count > 0) {
    buffer_.append(bytes, static_cast<std::size_t>(count));
  }
  return count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR));
}

std::string RawHttpConnection::answer(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  while (true) {
    const std::size_t headEnd = buffer_.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const std::size_t field = buffer_.find("Content-Length: ");
      const std::size_t length =
          field < headEnd ? std::strtoul(buffer_.c_str() + field + 16, nullptr, 10) : 0;
      if (buffer_.size() >= headEnd + 4 + length) {
        std::string whole = buffer_.substr(0, headEnd + 4 + length);
        buffer_.erase(0, whole.size());
        return whole;
      }
    }
    if (!fill(deadline)) {
      return {};
    }
  }
}

bool RawHttpConnection::closedByServer(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  while (Clock::now() < deadline) {
    if (!fill(deadline)) {
      return Clock::now() < deadline;  // ended, not timed out
    }
  }
  return false;
}

int statusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string bodyOf(const std::string& answer) {
  const std::size_t start = answer.find("\r\n\r\n");
  return start == std::string::npos ? std::string() : answer.substr(start + 4);
}

}  // namespace tessaline::testing
