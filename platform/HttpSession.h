#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/Url.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace tessaline::platform {

class OpenFile;

namespace detail {
struct HttpTransfer;
struct HttpWorker;
}  // namespace detail

// Header fields in order; names compare without regard to case.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One HTTP request.
struct TESSALINE_EXPORT HttpRequest {
  // No body, bytes in memory, or a regular file streamed from its descriptor (exactly the size it
  // had when it was opened; a file that shrinks meanwhile fails the request).
  using Body = std::variant<std::monostate, Bytes, std::shared_ptr<OpenFile>>;

  static constexpr std::chrono::seconds kDefaultTimeout{60};

  explicit HttpRequest(Url url, std::string method = "GET")
      : method(std::move(method)), url(std::move(url)) {}

  std::string method;
  Url url;
  // Fields beyond the session's own; a field named here replaces the session's field of that name.
  HttpHeaders headers;
  Body body;
  // Both the connect time-out and the idle time-out: a transfer that moves no byte for this long
  // fails. There is no limit on the total time of a transfer that keeps moving.
  std::chrono::seconds timeout = kDefaultTimeout;
  // Optional: called on the session's worker thread whenever more of the body has gone out, with
  // the bytes sent and the body's size. A request sent once more starts again from zero. Called
  // often: keep it cheap.
  std::function<void(std::uint64_t sent, std::uint64_t total)> uploadProgress;
};

// The answer to a request. The status is reported, never judged: any status is a response.
struct TESSALINE_EXPORT HttpResponse {
  long status = 0;
  HttpHeaders headers;  // of the final answer after redirects
  Bytes body;
  // False when the answer carried no body at all (a 204, for example), as opposed to an empty one.
  bool hasBody = false;
};

// A handle on one transfer.
class TESSALINE_EXPORT HttpTask {
 public:
  HttpTask() = default;

  // Ends the transfer. Once cancel() returns the completion is not called: a completion running on
  // another thread at that moment is waited for, and a completion may cancel its own task. Does
  // nothing once the completion has run.
  void cancel() const;

 private:
  friend class HttpSession;
  explicit HttpTask(std::shared_ptr<detail::HttpTransfer> transfer)
      : transfer_(std::move(transfer)) {}

  std::shared_ptr<detail::HttpTransfer> transfer_;
};

// An HTTP client session: one worker thread (where every completion runs) and one connection
// cache shared by all its transfers (keep-alive, HTTP/2 where the server offers it).
//
// Rules that hold for every request: TLS peers are always verified (the trust store can be given
// with SSL_CERT_FILE / SSL_CERT_DIR, read when the session is created); proxy variables of the
// environment are honoured; the schemes are https, and http only to a loopback host; at most 5
// redirects, never to another scheme; response bodies over kMaxResponseBodySize fail the request;
// no "Expect: 100-continue" round trip; no field is added to a body that has no "Content-Type".
// A GET or HEAD that failed on a reused connection before a byte of its answer arrived (the
// server closed the idle connection as the request went out) is sent once more, on a new
// connection. Any other request goes on a new connection of its own and is never sent twice.
class TESSALINE_EXPORT HttpSession {
 public:
  using Completion = std::function<void(Result<HttpResponse>)>;

  static constexpr std::size_t kMaxResponseBodySize = 64 * 1024 * 1024;
  // A cached connection left idle this long is not used again: servers close idle kept-alive
  // connections, commonly after 5 s, and one that is closing can take a request down with it.
  static constexpr std::chrono::seconds kMaxConnectionIdleTime{3};

  // The session adds these fields to every request (control characters are removed).
  explicit HttpSession(HttpHeaders additionalHeaders = {});
  // Ends the worker; transfers still running are dropped without calling their completions.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  const HttpHeaders& additionalHeaders() const { return additionalHeaders_; }

  // Starts a transfer. The completion runs once, later, on the session's worker thread, with the
  // response or an Error of kind transport (or fileSystem when a file body cannot be read); never
  // inside start(). Exceptions thrown by the completion are swallowed.
  HttpTask start(HttpRequest request, Completion completion);

 private:
  HttpHeaders additionalHeaders_;
  std::shared_ptr<detail::HttpWorker> worker_;
  std::thread thread_;
};

// True for host names of this machine's loopback: "localhost", "::1" and dotted 127.0.0.0/8.
TESSALINE_EXPORT bool isLoopbackHost(std::string_view host);

}  // namespace tessaline::platform
