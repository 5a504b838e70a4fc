#pragma once

#include <Tessaline/Error.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tessaline::server {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

// One request's head, as the handler sees it.
struct HttpRequest {
  std::string method;
  std::string target;  // as sent
  std::string path;    // percent-decoded, without the query
  HttpFields query;    // decoded names and values ("+" is a blank), in order
  HttpFields headers;  // as sent, in order
  std::string peer;    // the client's address
  bool hasBody = false;

  // The first value of the header, names compared without regard to letter case.
  std::optional<std::string_view> header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/json; charset=utf-8";
  HttpFields headers;  // more header fields
};

// A request whose body is wanted: the bytes arrive in order, then finish() gives the answer.
// Dropped without finish() when the body does not arrive whole.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  // False when the rest of the body is not wanted; it is then drained (bounded) and dropped.
  virtual bool take(std::string_view bytes) = 0;
  virtual HttpResponse finish() = 0;
};

// Called on a worker thread once a request's head has arrived: the answer at once (a body, if
// any, is drained or the connection closed), or the exchange that takes the body.
using HttpHandler =
    std::function<std::variant<HttpResponse, std::unique_ptr<HttpExchange>>(const HttpRequest&)>;

struct HttpOptions {
  std::string bind = "127.0.0.1";
  int port = 0;                                      // 0 picks a free port
  std::optional<std::filesystem::path> certificate;  // TLS when given, with the key
  std::optional<std::filesystem::path> privateKey;
  std::size_t threads = 8;  // workers; a connection that waits for bytes holds none
  // The whole head (and a new connection's TLS handshake) must arrive within this time; a body
  // may pause this long at most, and after that grace must keep up minimumBytesPerSecond.
  std::chrono::seconds readTimeout{30};
  std::uint64_t minimumBytesPerSecond = 1024;
  std::chrono::seconds idleTimeout{30};  // between the requests of a kept-alive connection
  std::chrono::seconds writeTimeout{30};
  std::size_t maxHeadBytes = 16 * 1024;
  std::size_t maxHeaderCount = 100;
  std::size_t maxTargetBytes = 8 * 1024;
  std::size_t maxConnections = 16384;           // past it, and past the count per address, a new
  std::size_t maxConnectionsPerAddress = 1024;  // connection gets a 503 and is closed
  std::uint64_t drainLimit = 1024 * 1024;       // a body that is not wanted: read and dropped up to
                                                // this, otherwise the connection is closed
  std::chrono::seconds shutdownTimeout{10};     // for requests in flight once stop() is called
  // The body of the answers the server gives by itself (malformed request, limits).
  std::function<HttpResponse(int status, const std::string& message)> errorResponse;
};

// An HTTP/1.1 server with kept-alive connections, plain or TLS, on a few worker threads: every
// connection is event-driven, so one that stalls costs memory but no thread.
class HttpServer {
 public:
  // Binds at once, so the port is known before serving starts.
  static Result<std::unique_ptr<HttpServer>> create(HttpHandler handler, HttpOptions options);
  ~HttpServer();

  int port() const;
  // Serves until stop() has been called and the requests in flight are answered (or the
  // shutdown time-out has passed); false when the server could not serve.
  bool run();
  // Safe from any thread, also before run(): stops accepting, closes connections that wait for
  // a request, and lets run() return once the others are done.
  void stop();

  struct State;  // internal

 private:
  explicit HttpServer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tessaline::server
