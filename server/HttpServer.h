#pragma once

#include "ServiceCore.h"

#include <Tessaline/Error.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

namespace tessaline::server {

struct HttpOptions {
  std::string bind = "127.0.0.1";
  int port = 0;                                      // 0 picks a free port
  std::optional<std::filesystem::path> certificate;  // TLS when given, with the key
  std::optional<std::filesystem::path> privateKey;
  std::size_t threads = 8;
  std::uint64_t payloadMaxLength = 64 * 1024 * 1024;
  // The longest wait for the next bytes of a request. It is also the grace a connection gets
  // before it must keep up minimumBytesPerSecond on average, so a client that trickles its
  // request (a header byte at a time, a crawling body) holds a worker for a bounded time only.
  std::chrono::seconds readTimeout{30};
  std::uint64_t minimumBytesPerSecond = 1024;
  std::chrono::seconds writeTimeout{30};
};

// Wires a ServiceCore to cpp-httplib: requests are refused before their body is read where
// possible, bodies are streamed to the core, and every answer httplib makes by itself (a bad
// request line, an oversized header) gets a JSON error body too. One request per connection:
// httplib leaves a body it did not read (a GET's, or one refused before reading) in the stream,
// where it would be parsed as the next request.
class HttpServer {
 public:
  // Binds at once, so the port is known before serving starts.
  static Result<std::unique_ptr<HttpServer>> create(ServiceCore& core, const HttpOptions& options);
  ~HttpServer();

  int port() const { return port_; }
  // Serves until stop() is called; false when the listening socket failed.
  bool run();
  // Safe from any thread; without effect before run() has started listening.
  void stop();

 private:
  HttpServer() = default;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
};

}  // namespace tessaline::server
