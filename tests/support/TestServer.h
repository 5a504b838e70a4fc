#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaline::testing {

// One request exactly as the server received it.
struct RecordedRequest {
  std::string method;
  std::string target;  // the raw request target: path and query, still percent-encoded
  std::string path;    // the raw path, before "?"
  std::string query;   // the raw query bytes after "?"; empty when there is none
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  int remotePort = 0;           // the client's port: two requests with one port shared a connection
  bool closedByClient = false;  // the client ended a stalled answer's connection

  // The first value of a header field (names compare without case); nothing when absent.
  std::optional<std::string> header(std::string_view name) const;
  std::string requestLine() const { return method + " " + target; }
};

// How the server answers the requests of one method and path.
struct Reply {
  enum class Action {
    answer,           // send status, headers and body
    dropConnection,   // send the status line and headers, then close before the body
    neverAnswer,      // hold the request until reset() or the server stops, then close
    closeUnanswered,  // read `bodyBytes` of the body (0: all), then close without a byte of answer
    stallHalfway,     // send the headers and half the body, then nothing until the client closes
  };

  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // extra fields, e.g. "Location"
  // When non-zero, the body is this many filler bytes, produced while they are sent.
  std::size_t generatedBodySize = 0;
  // Waited before answering (cut short when the server stops or is reset).
  std::chrono::milliseconds delay{0};
  Action action = Action::answer;
  // Unless closing unanswered: runs once `bodyBytes` of the request body arrived, then the body is
  // read on.
  std::size_t bodyBytes = 0;
  std::function<void()> whenBodyReached;

  static Reply json(std::string body, int status = 200, Action action = Action::answer);
  static Reply drop() { return json("", 200, Action::dropConnection); }
  static Reply never() { return json("", 200, Action::neverAnswer); }
};

// An HTTP server on 127.0.0.1 with a random port, HTTPS with a certificate of the build's test CA
// by default. It records every request (a stalled one once the stall ended) and answers from a
// script; requests without a scripted reply get 404 with an empty body. Safe to use from any
// thread.
class TestServer {
 public:
  struct Options {
    bool tls = true;
    // "server" for 127.0.0.1; "untrusted": self-signed, which the test CA does not vouch for;
    // "other": of the test CA, naming only the host "other.example".
    std::string certificate = "server";
  };

  TestServer();
  explicit TestServer(Options options);
  // Stops listening; held requests are released and their connections closed.
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const;
  std::string origin() const;
  std::string baseURL() const { return origin() + "/v1"; }

  // Chooses the answer from the request, before its body is read; called on the server's thread,
  // under its lock.
  using Handler = std::function<Reply(const RecordedRequest&)>;

  // Scripts the answer to `method` requests whose raw path is `path` ("/v1/config").
  void setReply(const std::string& method, const std::string& path, Reply reply);
  void setHandler(const std::string& method, const std::string& path, Handler handler);
  // Every request received so far, in order of arrival.
  std::vector<RecordedRequest> requests() const;
  // Waits until at least `count` requests arrived; false when the time-out passed first.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // Forgets requests and script, and releases requests held by delays or neverAnswer.
  void reset();

  // Waits until the server closed the connection whose client port is `clientPort`
  // (RecordedRequest::remotePort): it closes one left idle for 2 s while the client may still hold
  // it for reuse. False when the time-out passed first.
  bool waitUntilConnectionClosed(
      int clientPort, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

  // The test CA's certificate file, to be trusted through SSL_CERT_FILE.
  static std::string certificateAuthorityFile();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// `size` bytes of a pattern that shows where a copy was cut or shifted.
std::string patternOf(std::size_t size);

// Makes the library trust the test CA (SSL_CERT_FILE); must run before the first HTTP session
// of the process is created.
void trustTestCertificateAuthority();

// The process-wide HTTPS server that Environment::current() points at once this, which trusts the
// test CA and sets TESSALINE_SERVICE_URL, ran first. Never destroyed; reset() it between uses.
TestServer& serviceServer();

}  // namespace tessaline::testing
