// A minimal HTTP/1.1 sink for the benchmarks: listens on 127.0.0.1 (port printed on standard
// output), reads each request body to its Content-Length and throws it away, answers a report
// ("POST /v1/reports") with a report id and anything else with an attachment upload record.
// Each connection is served on its own thread, keep-alive honoured. `--delay-ms N` waits N ms
// before each answer, a stand-in for network latency. Runs until it is terminated.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool sendAll(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string lowerCase(std::string text) {
  for (auto& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

int answerDelayMs = 0;

void serve(int fd) {
  std::vector<char> buffer(1 << 20);
  std::string pending;
  for (;;) {
    std::size_t headerEnd;
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        return;
      }
      pending.append(buffer.data(), static_cast<std::size_t>(n));
    }
    const std::string head = lowerCase(pending.substr(0, headerEnd));
    pending.erase(0, headerEnd + 4);
    unsigned long long remaining = 0;
    if (const auto at = head.find("\r\ncontent-length:"); at != std::string::npos) {
      remaining = std::strtoull(head.c_str() + at + 17, nullptr, 10);
    }
    if (head.find("\r\nexpect: 100-continue") != std::string::npos &&
        !sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) {
      return;
    }
    const auto buffered = std::min<unsigned long long>(remaining, pending.size());
    pending.erase(0, buffered);
    remaining -= buffered;
    while (remaining > 0) {
      const ssize_t n =
          recv(fd, buffer.data(), std::min<unsigned long long>(buffer.size(), remaining), 0);
      if (n <= 0) {
        return;
      }
      remaining -= static_cast<unsigned long long>(n);
    }
    if (answerDelayMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
    }
    const std::string body =
        head.starts_with("post /v1/reports")
            ? R"({"id":"bench-report"})"
            : R"({"localId":"bench","attachmentId":"bench-1","name":"bench.bin"})";
    if (!sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body)) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--delay-ms") == 0) {
    answerDelayMs = std::atoi(argv[2]);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: upload_sink [--delay-ms N]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("upload_sink");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      continue;
    }
    std::thread([connection] {
      serve(connection);
      close(connection);
    }).detach();
  }
}
