#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessaline::testing {

// A bare HTTP/1.1 server over plain TCP on 127.0.0.1, for the faults an HTTP library will not
// produce on request: a connection cut inside a request body, an answer that stops halfway, a body
// held while the test changes the file being sent. One request per connection; every answer says
// "Connection: close". Small socket buffers, so that a client cannot push megabytes ahead. Every
// wait of a connection ends within 30 s.
class FaultServer {
 public:
  // One request as far as it arrived.
  struct Received {
    std::string method;
    std::string path;
    std::string query;
    std::size_t contentLength = 0;
    std::string body;             // the body bytes that arrived
    bool answered = false;        // a whole answer went out
    bool closedByClient = false;  // the client ended the connection while the server waited
  };

  class Exchange {
   public:
    Exchange(FaultServer& server, int socket, Received& request)
        : server_(server), socket_(socket), request_(request) {}
    const Received& request() const { return request_; }

    // Reads until `count` body bytes have arrived in all; false when the connection ended first.
    bool readBodyUpTo(std::size_t count) {
      count = std::min(count, request_.contentLength);
      char buffer[16 * 1024];
      while (request_.body.size() < count) {
        const auto got =
            server_.receive(socket_, buffer, std::min(sizeof buffer, count - request_.body.size()));
        if (got <= 0) {
          return false;
        }
        request_.body.append(buffer, static_cast<std::size_t>(got));
      }
      return true;
    }
    bool readWholeBody() { return readBodyUpTo(request_.contentLength); }

    void send(std::string_view bytes) {
      for (ssize_t sent = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent))) {
        if ((sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) {
          return;
        }
      }
    }
    void answerJson(const std::string& body) {
      send(head(body.size()) + body);
      request_.answered = true;
    }
    // Sends the head and the first `sent` bytes of `body`, then nothing more until the client
    // gives up (or the server stops).
    void stallAnswer(const std::string& body, std::size_t sent) {
      send(head(body.size()) + body.substr(0, sent));
      char buffer[4096];
      ssize_t got = 0;
      while ((got = server_.receive(socket_, buffer, sizeof buffer)) > 0) {
      }
      request_.closedByClient = got == 0 || (errno != ETIMEDOUT && errno != ECANCELED);
    }

   private:
    static std::string head(std::size_t contentLength) {
      return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(contentLength) + "\r\nConnection: close\r\n\r\n";
    }

    FaultServer& server_;
    int socket_;
    Received& request_;
  };

  using Handler = std::function<void(Exchange&)>;

  FaultServer() {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const int small = 64 * 1024;  // inherited by the accepted connections
    ::setsockopt(listening_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(listening_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listening_ < 0 ||
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening_, SOMAXCONN) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the fault server cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptConnections(); });
  }

  ~FaultServer() {
    stopping_ = true;
    acceptor_.join();
    for (auto& connection : connections_) {  // the acceptor, which adds to them, has ended
      connection.join();
    }
    ::close(listening_);
  }
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

  // Requests to `path` (without the query) go to the handler; others get a 404.
  void setHandler(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[path] = std::move(handler);
  }

  // Waits until no connection is being served; false when 30 s passed first.
  bool waitUntilIdle() const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLongestWait, [&] { return active_ == 0; });
  }
  // The requests whose connections have ended, in that order.
  std::vector<Received> requests() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  std::vector<Received> requestsTo(const std::string& path) const {
    auto all = requests();
    std::erase_if(all, [&](const Received& request) { return request.path != path; });
    return all;
  }

 private:
  static constexpr auto kLongestWait = std::chrono::seconds(30);

  // Like recv(), but gives up when the server stops (ECANCELED) or after kLongestWait (ETIMEDOUT).
  ssize_t receive(int socket, char* buffer, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    for (;;) {
      if (stopping_ || std::chrono::steady_clock::now() >= deadline) {
        errno = stopping_ ? ECANCELED : ETIMEDOUT;
        return -1;
      }
      pollfd ready{socket, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        return ::recv(socket, buffer, size, 0);
      }
    }
  }

  void acceptConnections() {
    while (!stopping_) {
      pollfd ready{listening_, POLLIN, 0};
      const int socket =
          ::poll(&ready, 1, 20) > 0 ? ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (socket >= 0) {
        std::lock_guard lock(mutex_);
        ++active_;
        connections_.emplace_back([this, socket] { serve(socket); });
      }
    }
  }

  void serve(int socket) {
    Received request;
    if (readHead(socket, request)) {
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        if (const auto found = handlers_.find(request.path); found != handlers_.end()) {
          handler = found->second;
        }
      }
      Exchange exchange(*this, socket, request);
      if (handler) {
        handler(exchange);
      } else {
        exchange.readWholeBody();
        exchange.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      }
    }
    ::close(socket);
    {
      std::lock_guard lock(mutex_);
      if (!request.method.empty()) {
        finished_.push_back(std::move(request));
      }
      --active_;
    }
    changed_.notify_all();
  }

  // Reads the request line and the header fields, and keeps the body bytes read with them.
  bool readHead(int socket, Received& request) {
    std::string data;
    char buffer[4096];
    std::size_t end = std::string::npos;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
      const auto got = receive(socket, buffer, sizeof buffer);
      if (got <= 0) {
        return false;
      }
      data.append(buffer, static_cast<std::size_t>(got));
    }
    std::string head = data.substr(0, end);
    const auto firstSpace = head.find(' ');
    const auto secondSpace = head.find(' ', firstSpace + 1);
    request.method = head.substr(0, firstSpace);
    const std::string target = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const auto question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? "" : target.substr(question + 1);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (const auto field = head.find("\r\ncontent-length:"); field != std::string::npos) {
      request.contentLength = std::stoull(head.substr(field + 17));
    }
    request.body = data.substr(end + 4);
    return true;
  }

  int listening_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Handler> handlers_;
  std::vector<std::thread> connections_;
  std::vector<Received> finished_;
  int active_ = 0;
};

}  // namespace tessaline::testing
