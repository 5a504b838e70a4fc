#include "HttpServer.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <type_traits>

namespace tessaline::server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One connection's bytes, plain or TLS, on a non-blocking socket. Every read waits at most the
// read time-out, and after a grace of one read time-out the connection must have delivered
// minimumBytesPerSecond on average: httplib's own stream only bounds the wait for each read, so
// a byte every few seconds would hold a worker for as long as the client likes.
class PacedStream final : public httplib::Stream {
 public:
  PacedStream(int socket, SSL* tls, const HttpOptions& options)
      : socket_(socket),
        tls_(tls),
        readTimeout_(options.readTimeout),
        writeTimeout_(options.writeTimeout),
        minimumBytesPerSecond_(std::max<std::uint64_t>(options.minimumBytesPerSecond, 1)),
        started_(Clock::now()) {}

  bool is_readable() const override {
    return buffered_ < filled_ || (tls_ && SSL_pending(tls_) > 0) || waitFor(POLLIN, readWait());
  }
  bool is_writable() const override { return waitFor(POLLOUT, writeTimeout_); }

  ssize_t read(char* data, size_t size) override {
    if (buffered_ == filled_) {
      const ssize_t count = fill();
      if (count <= 0) {
        return count < 0 ? -1 : 0;
      }
    }
    const std::size_t taken = std::min(size, filled_ - buffered_);
    std::memcpy(data, buffer_ + buffered_, taken);
    buffered_ += taken;
    // httplib reads lines (the request line, headers, chunk sizes, trailers) a byte at a time and
    // keeps them whole in memory without a limit of its own.
    if (size == 1 && !withinLineLimits(*data)) {
      return -1;
    }
    return static_cast<ssize_t>(taken);
  }

  ssize_t write(const char* data, size_t size) override {
    const auto deadline = Clock::now() + writeTimeout_;
    while (true) {
      short wanted = POLLOUT;
      ssize_t written = 0;
      if (tls_) {
        const int result = SSL_write(tls_, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        if (result > 0) {
          return result;
        }
        if (!wouldBlock(result, wanted)) {
          return -1;
        }
      } else {
        written = ::send(socket_, data, size, MSG_NOSIGNAL);
        if (written >= 0) {
          return written;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          return -1;
        }
      }
      if (!waitFor(wanted, remaining(deadline))) {
        return -1;
      }
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      describe(address, ip, port);
    }
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      describe(address, ip, port);
    }
  }
  int socket() const override { return socket_; }

  // The TLS handshake, under the same rules as a read.
  bool acceptTls() {
    while (true) {
      const int result = SSL_accept(tls_);
      if (result == 1) {
        return true;
      }
      short wanted = POLLIN;
      if (!wouldBlock(result, wanted) ||
          !waitFor(wanted, wanted == POLLIN ? readWait() : writeTimeout_)) {
        return false;
      }
    }
  }

 private:
  // How long the next read may wait: the read time-out, cut to what the pace rule leaves.
  milliseconds readWait() const {
    const auto allowed = readTimeout_ + milliseconds(received_ * 1000 / minimumBytesPerSecond_);
    return std::min<milliseconds>(readTimeout_, remaining(started_ + allowed));
  }

  static milliseconds remaining(Clock::time_point deadline) {
    return std::max(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()),
                    milliseconds(0));
  }

  bool waitFor(short events, milliseconds wait) const {
    const auto deadline = Clock::now() + wait;
    while (true) {
      pollfd ready{socket_, events, 0};
      const int count = ::poll(&ready, 1, static_cast<int>(remaining(deadline).count()));
      if (count > 0) {
        return true;
      }
      if (count == 0 || errno != EINTR) {
        return false;
      }
    }
  }

  // For a failed TLS call: true when it only waits for the socket, with the event it waits for.
  bool wouldBlock(int result, short& wanted) const {
    switch (SSL_get_error(tls_, result)) {
      case SSL_ERROR_WANT_READ:
        wanted = POLLIN;
        return true;
      case SSL_ERROR_WANT_WRITE:
        wanted = POLLOUT;
        return true;
      default:
        ERR_clear_error();
        return false;
    }
  }

  // Reads what the socket has into the buffer: the count, 0 when the peer closed, -1 on an
  // error or when the wait ran out.
  ssize_t fill() {
    buffered_ = filled_ = 0;
    while (true) {
      short wanted = POLLIN;
      if (tls_) {
        const int result = SSL_read(tls_, buffer_, sizeof buffer_);
        if (result > 0) {
          return received(result);
        }
        if (SSL_get_error(tls_, result) == SSL_ERROR_ZERO_RETURN) {
          return 0;
        }
        if (!wouldBlock(result, wanted)) {
          return -1;
        }
      } else {
        const ssize_t result = ::recv(socket_, buffer_, sizeof buffer_, 0);
        if (result >= 0) {
          return result == 0 ? 0 : received(result);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          return -1;
        }
      }
      if (!waitFor(wanted, wanted == POLLIN ? readWait() : writeTimeout_)) {
        return -1;
      }
    }
  }

  // Counts one byte read as part of a line: no line may pass kMaxLineBytes, and the request's
  // head (up to its blank line) may not pass kMaxHeadBytes.
  bool withinLineLimits(char byte) {
    constexpr std::size_t kMaxLineBytes = 16 * 1024;
    constexpr std::size_t kMaxHeadBytes = 64 * 1024;
    lineBytes_ = byte == '\n' ? 0 : lineBytes_ + 1;
    if (!headRead_) {
      ++headBytes_;
      headTail_ = (headTail_ << 8) | static_cast<unsigned char>(byte);
      headRead_ = (headTail_ & 0xFFFFFFFFu) == 0x0D0A0D0Au;
    }
    return lineBytes_ <= kMaxLineBytes && headBytes_ <= kMaxHeadBytes;
  }

  ssize_t received(ssize_t count) {
    filled_ = static_cast<std::size_t>(count);
    received_ += static_cast<std::uint64_t>(count);
    return count;
  }

  static void describe(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
      ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
      port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
      const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
      port = ntohs(v6.sin6_port);
    }
    ip = text;
  }

  int socket_;
  SSL* tls_;
  milliseconds readTimeout_;
  milliseconds writeTimeout_;
  std::uint64_t minimumBytesPerSecond_;
  Clock::time_point started_;
  std::uint64_t received_ = 0;
  char buffer_[16 * 1024];
  std::size_t buffered_ = 0;  // bytes of the buffer already handed out
  std::size_t filled_ = 0;
  std::size_t lineBytes_ = 0;
  std::size_t headBytes_ = 0;
  std::uint32_t headTail_ = 0;
  bool headRead_ = false;
};

// Serves one request on the connection through a PacedStream, then closes it.
bool serveConnection(int socket, SSL* tls, const HttpOptions& options,
                     const std::function<bool(httplib::Stream&)>& process) {
  const int flags = ::fcntl(socket, F_GETFL);
  bool served = false;
  if (flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0) {
    PacedStream stream(socket, tls, options);
    if (!tls || (SSL_set_fd(tls, socket) == 1 && stream.acceptTls())) {
      served = process(stream);
      if (tls) {
        SSL_shutdown(tls);
      }
    }
  }
  if (tls) {
    SSL_free(tls);
  }
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  return served;
}

template <class Base>
class PacedServer final : public Base {
 public:
  template <class... Args>
  explicit PacedServer(const HttpOptions& options, Args&&... args)
      : Base(std::forward<Args>(args)...), options_(options) {}

 private:
  bool process_and_close_socket(int socket) override {
    SSL* tls = nullptr;
    if constexpr (std::is_same_v<Base, httplib::SSLServer>) {
      tls = SSL_new(this->ssl_context());
      if (!tls) {
        ::close(socket);
        return false;
      }
    }
    return serveConnection(socket, tls, options_, [this](httplib::Stream& stream) {
      bool closed = false;
      return this->process_request(stream, true, closed, nullptr);
    });
  }

  HttpOptions options_;
};

ServiceRequest toServiceRequest(const httplib::Request& request) {
  ServiceRequest converted;
  converted.method = request.method;
  converted.path = request.path;
  for (const auto& [name, value] : request.params) {
    converted.query.emplace_back(name, value);
  }
  for (const auto& [name, value] : request.headers) {
    converted.headers.emplace_back(name, value);
  }
  return converted;
}

const char* statusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 408:
      return "request timed out";
    case 413:
      return "request body too large";
    case 414:
      return "request URI too long";
    case 415:
      return "unsupported media type";
    case 431:
      return "request headers too large";
    default:
      return status >= 500 ? "internal error" : "request refused";
  }
}

// The most of a refused body that is read and dropped before the connection is closed.
constexpr std::uint64_t kDrainLimit = 1024 * 1024;

void answer(httplib::Response& response, const ServiceResponse& serviceResponse) {
  response.status = serviceResponse.status;
  response.set_content(serviceResponse.body, "application/json; charset=utf-8");
}

}  // namespace

Result<std::unique_ptr<HttpServer>> HttpServer::create(ServiceCore& core,
                                                       const HttpOptions& options) {
  std::unique_ptr<HttpServer> server(new HttpServer());
  if (options.certificate) {
    auto tls = std::make_unique<PacedServer<httplib::SSLServer>>(
        options, options.certificate->c_str(), options.privateKey->c_str());
    if (!tls->is_valid()) {
      return Error(Error::Kind::fileSystem, "cannot load the certificate " +
                                                options.certificate->string() + " or the key " +
                                                options.privateKey->string());
    }
    server->server_ = std::move(tls);
  } else {
    server->server_ = std::make_unique<PacedServer<httplib::Server>>(options);
  }
  httplib::Server& http = *server->server_;

  const std::size_t threads = options.threads;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http.set_read_timeout(options.readTimeout);
  http.set_write_timeout(options.writeTimeout);
  http.set_payload_max_length(options.payloadMaxLength);

  // Requests that carry no body of ours are judged before httplib reads anything.
  http.set_pre_routing_handler(
      [&core](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "POST") {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        if (core.refuseEarly(toServiceRequest(request))) {
          answer(response, core.handle(toServiceRequest(request)));
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  http.Get(".*", [&core](const httplib::Request& request, httplib::Response& response) {
    answer(response, core.handle(toServiceRequest(request)));
  });
  // Bodies are streamed to the core, never buffered here.
  http.Post(".*", [&core](const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) {
    ServiceRequest converted = toServiceRequest(request);
    // Without a length or chunked coding a request has no body (httplib would wait for the
    // connection to close instead).
    const bool hasBody =
        request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
    bool bodyRead = false;
    if (hasBody) {
      converted.body = [&reader, &bodyRead](const BodySink& sink) {
        bodyRead = true;
        // Once the core stops taking the body, the rest is read (bounded) and dropped, so the
        // client can finish sending and read the answer instead of a reset connection.
        bool refused = false;
        std::uint64_t drained = 0;
        const bool complete = reader([&](const char* data, std::size_t length) {
          if (!refused && sink(std::string_view(data, length))) {
            return true;
          }
          refused = true;
          drained += length;
          return drained <= kDrainLimit;
        });
        return complete && !refused;
      };
    }
    const ServiceResponse result = core.handle(converted);
    if (hasBody && !bodyRead) {
      // Refused before the body was read: it is drained like one refused midway. A larger body
      // is cut off; the connection then closes (httplib ends it after a failed read).
      converted.body([](std::string_view) { return false; });
    }
    // After the drain, which sets a status of its own when it stops.
    answer(response, result);
  });
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) {
      answer(response, ServiceCore::errorResponse(response.status, statusText(response.status)));
    }
  });
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, ServiceCore::errorResponse(500, "internal error"));
      });

  if (options.port == 0) {
    server->port_ = http.bind_to_any_port(options.bind);
  } else {
    server->port_ = http.bind_to_port(options.bind, options.port) ? options.port : -1;
  }
  if (server->port_ <= 0) {
    return Error(Error::Kind::transport,
                 "cannot listen on " + options.bind + " port " + std::to_string(options.port));
  }
  return server;
}

HttpServer::~HttpServer() = default;

bool HttpServer::run() {
  return server_->listen_after_bind();
}

void HttpServer::stop() {
  server_->stop();
}

}  // namespace tessaline::server
