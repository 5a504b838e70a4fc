#include "HttpServer.h"

#include <Tessaline/Url.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace tessaline::server {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

// Splits the target into its decoded path and query items.
void splitTarget(HttpRequest& request) {
  const std::string_view target = request.target;
  const std::size_t mark = target.find('?');
  request.path = percentDecode(target.substr(0, mark));
  if (mark == std::string_view::npos) {
    return;
  }
  std::string_view query = target.substr(mark + 1);
  auto decode = [](std::string_view text) {
    std::string plain(text);
    std::replace(plain.begin(), plain.end(), '+', ' ');
    return percentDecode(plain);
  };
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) {
      continue;
    }
    const std::size_t equals = item.find('=');
    request.query.emplace_back(
        decode(item.substr(0, equals)),
        equals == std::string_view::npos ? std::string() : decode(item.substr(equals + 1)));
  }
}

// Keeps the head's fields, at most maxFields of them, and hands the body's bytes to onBody. On
// top of the checks of Beast's parser it refuses what RFC 9112 says a server must not guess at:
// a length next to a transfer coding, lengths that differ, a coding other than chunked.
class RequestParser final : public http::basic_parser<true> {
 public:
  explicit RequestParser(std::size_t maxFields) : maxFields_(maxFields) {
    header_limit(std::numeric_limits<std::uint32_t>::max());  // the head is bounded before
    body_limit(std::numeric_limits<std::uint64_t>::max());    // the exchange bounds the body
  }

  HttpRequest request;
  std::string refusal;  // why the head was refused, when it was
  std::function<void(std::string_view)> onBody;

 private:
  void on_request_impl(http::verb, beast::string_view method, beast::string_view target, int,
                       beast::error_code&) override {
    request.method = std::string(method);
    request.target = std::string(target);
  }
  void on_response_impl(int, beast::string_view, int, beast::error_code& error) override {
    error = http::error::bad_method;
  }
  void on_field_impl(http::field field, beast::string_view name, beast::string_view value,
                     beast::error_code& error) override {
    if (request.headers.size() >= maxFields_) {
      refusal = "more than " + std::to_string(maxFields_) + " header fields";
      error = http::error::header_limit;
      return;
    }
    if (field == http::field::content_length) {
      if (contentLength_ && *contentLength_ != std::string(value)) {
        refusal = "Content-Length is given twice with different values";
        error = http::error::bad_content_length;
        return;
      }
      contentLength_ = std::string(value);
    }
    transferCoding_ = transferCoding_ || field == http::field::transfer_encoding;
    request.headers.emplace_back(std::string(name), std::string(value));
  }
  void on_header_impl(beast::error_code& error) override {
    if (transferCoding_ && contentLength_) {
      refusal = "Content-Length and Transfer-Encoding are both given";
      error = http::error::bad_transfer_encoding;
    } else if (transferCoding_ && !chunked()) {
      refusal = "the only transfer coding taken is chunked";
      error = http::error::bad_transfer_encoding;
    }
  }
  void on_body_init_impl(const boost::optional<std::uint64_t>&, beast::error_code&) override {}
  std::size_t on_body_impl(beast::string_view body, beast::error_code&) override {
    onBody(std::string_view(body.data(), body.size()));
    return body.size();
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view body,
                                 beast::error_code&) override {
    onBody(std::string_view(body.data(), body.size()));
    return body.size();
  }
  void on_finish_impl(beast::error_code&) override {}

  std::size_t maxFields_;
  std::optional<std::string> contentLength_;
  bool transferCoding_ = false;
};

class Session;

}  // namespace

struct HttpServer::State {
  State(HttpHandler handler, HttpOptions options)
      : handler(std::move(handler)),
        options(std::move(options)),
        control(net::make_strand(io)),
        acceptor(control),
        retryTimer(control),
        shutdownTimer(control) {}

  void accept();
  void admit(tcp::socket socket);
  void beginStop();
  void forget(const std::string& address, std::list<std::weak_ptr<Session>>::iterator entry);

  HttpHandler handler;
  HttpOptions options;

  std::mutex mutex;  // guards what follows, up to the I/O objects
  std::size_t open = 0;
  std::map<std::string, std::size_t, std::less<>> perAddress;
  std::list<std::weak_ptr<Session>> sessions;
  bool stopping = false;
  bool serving = false;

  // Connections still open when the I/O context goes are dropped with it, so it is declared
  // after what they use and before what uses it.
  std::optional<net::ssl::context> tls;
  net::io_context io;
  net::strand<net::io_context::executor_type> control;  // the acceptor and the timers
  tcp::acceptor acceptor;
  net::steady_timer retryTimer;
  net::steady_timer shutdownTimer;
  int port = 0;
};

namespace {

using State = HttpServer::State;

// One connection: reads requests one after another, each under its deadlines, and answers them.
class Session : public std::enable_shared_from_this<Session> {
 public:
  virtual ~Session() { state_.forget(address_, entry_); }

  void registered(std::list<std::weak_ptr<Session>>::iterator entry) { entry_ = entry; }
  // From stop(): a connection that is not inside a request is closed now.
  virtual void closeIfWaiting() = 0;
  virtual void start() = 0;

 protected:
  Session(State& state, std::string address) : state_(state), address_(std::move(address)) {}

  State& state_;
  std::string address_;
  std::list<std::weak_ptr<Session>>::iterator entry_;
};

template <class Stream>
class StreamSession final : public Session {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;
  enum class Phase { waiting, head, body, answering };

 public:
  template <class... Args>
  StreamSession(State& state, std::string address, Args&&... args)
      : Session(state, std::move(address)), stream_(std::forward<Args>(args)...) {}

  void start() override {
    net::dispatch(stream_.get_executor(), [self = shared()] {
      self->headDeadline_ = Clock::now() + self->state_.options.readTimeout;
      if constexpr (kTls) {
        self->lowest().expires_at(self->headDeadline_);
        self->stream_.async_handshake(net::ssl::stream_base::server,
                                      [self](beast::error_code error) {
                                        if (error) {
                                          return self->close();
                                        }
                                        self->readHead();
                                      });
      } else {
        self->readHead();
      }
    });
  }

  void closeIfWaiting() override {
    net::dispatch(stream_.get_executor(), [self = shared()] {
      if (self->phase_ == Phase::waiting || self->phase_ == Phase::head) {
        self->lowest().close();
      }
    });
  }

 private:
  std::shared_ptr<StreamSession> shared() {
    return std::static_pointer_cast<StreamSession>(shared_from_this());
  }
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }
  const HttpOptions& options() const { return state_.options; }

  // Between requests: waits (idle time-out) for the first bytes of the next head.
  void waitForRequest() {
    phase_ = Phase::waiting;
    if (buffer_.size() > 0) {
      headDeadline_ = Clock::now() + options().readTimeout;
      return readHead();
    }
    lowest().expires_after(options().idleTimeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared()](beast::error_code error, std::size_t count) {
                              if (error) {
                                return self->close();
                              }
                              self->buffer_.commit(count);
                              self->headDeadline_ = Clock::now() + self->options().readTimeout;
                              self->readHead();
                            });
  }

  // Reads until the head is whole; the whole head within its deadline.
  void readHead() {
    if (stopping()) {
      return close();
    }
    phase_ = Phase::head;
    const std::string_view bytes(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end != std::string_view::npos && end + 4 <= options().maxHeadBytes) {
      return headArrived(end + 4);
    }
    if (bytes.size() >= options().maxHeadBytes) {
      return refuse(431, "the request head is larger than " +
                             std::to_string(options().maxHeadBytes) + " bytes");
    }
    lowest().expires_at(headDeadline_);
    const std::size_t room = options().maxHeadBytes + 4 - bytes.size();
    stream_.async_read_some(buffer_.prepare(std::min<std::size_t>(room, 4096)),
                            [self = shared()](beast::error_code error, std::size_t count) {
                              if (error) {
                                return self->close();
                              }
                              self->buffer_.commit(count);
                              self->readHead();
                            });
  }

  void headArrived(std::size_t headBytes) {
    const std::string_view head(static_cast<const char*>(buffer_.data().data()), headBytes);
    // obs-fold: a field line that continues on the next line (RFC 9112, 5.2).
    const std::size_t firstLineEnd = head.find("\r\n");
    for (std::size_t at = head.find("\r\n", firstLineEnd + 2); at + 4 < head.size();
         at = head.find("\r\n", at + 2)) {
      if (head[at + 2] == ' ' || head[at + 2] == '\t') {
        return refuse(400, "a header field is folded over several lines");
      }
    }
    parser_.emplace(options().maxHeaderCount);
    beast::error_code error;
    parser_->put(net::buffer(head.data(), head.size()), error);
    if (error || !parser_->is_header_done()) {
      const bool tooMany = error == http::error::header_limit;
      std::string why = parser_->refusal.empty()
                            ? "the request head is malformed (" + error.message() + ")"
                            : parser_->refusal;
      return refuse(tooMany ? 431 : 400, why);
    }
    buffer_.consume(headBytes);
    // A HEAD answer carries the body a GET would: the client would not read it.
    keepAlive_ = parser_->keep_alive() && parser_->request.method != "HEAD";
    if (parser_->request.target.size() > options().maxTargetBytes) {
      return refuse(414, "the request target is longer than " +
                             std::to_string(options().maxTargetBytes) + " bytes");
    }
    HttpRequest& request = parser_->request;
    splitTarget(request);
    request.peer = address_;
    request.hasBody = !parser_->is_done();
    const auto expect = request.header("Expect");
    const bool expectsContinue = expect && equalsIgnoringCase(*expect, "100-continue");

    auto handled = state_.handler(request);
    drained_ = 0;
    if (auto* answer = std::get_if<HttpResponse>(&handled)) {
      refusal_ = std::move(*answer);
      exchange_.reset();
      if (!request.hasBody) {
        return respond(std::move(*refusal_));
      }
      // A body the client has not sent yet, or one too long to drain, is not read at all.
      const auto length = parser_->content_length();
      if (expectsContinue || (length && *length > options().drainLimit)) {
        keepAlive_ = false;
        return respond(std::move(*refusal_));
      }
    } else {
      refusal_.reset();
      exchange_ = std::move(std::get<std::unique_ptr<HttpExchange>>(handled));
    }
    if (!request.hasBody) {
      return finish();
    }
    parser_->onBody = [this](std::string_view bytes) { bodyBytes(bytes); };
    phase_ = Phase::body;
    bodyStarted_ = Clock::now();
    bodyReceived_ = 0;
    if (expectsContinue) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      lowest().expires_after(options().writeTimeout);
      return net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                              [self = shared()](beast::error_code error, std::size_t) {
                                if (error) {
                                  return self->close();
                                }
                                self->readBody();
                              });
    }
    readBody();
  }

  void bodyBytes(std::string_view bytes) {
    if (exchange_ && !refusal_) {
      if (exchange_->take(bytes)) {
        return;
      }
      refusal_ = exchange_->finish();
      exchange_.reset();
      return;
    }
    drained_ += bytes.size();
  }

  // Parses what the buffer holds, then reads more, the body paced: each wait is bounded by the
  // read time-out, and after that grace the average must keep up the minimum rate.
  void readBody() {
    beast::error_code error;
    while (buffer_.size() > 0 && !parser_->is_done()) {
      const std::size_t used = parser_->put(buffer_.data(), error);
      buffer_.consume(used);
      if (error == http::error::need_more) {
        error = {};
        break;
      }
      if (error) {
        return refuse(400, "the request body is malformed (" + error.message() + ")");
      }
      if (used == 0) {
        break;
      }
    }
    if (parser_->is_done()) {
      return finish();
    }
    if (drained_ > options().drainLimit) {
      keepAlive_ = false;
      return finish();
    }
    if (buffer_.size() > options().maxHeadBytes) {
      return refuse(400, "a chunk header is too long");
    }
    const auto paced = bodyStarted_ + options().readTimeout +
                       milliseconds(bodyReceived_ * 1000 /
                                    std::max<std::uint64_t>(options().minimumBytesPerSecond, 1));
    lowest().expires_at(std::min(Clock::now() + options().readTimeout, paced));
    stream_.async_read_some(buffer_.prepare(16 * 1024),
                            [self = shared()](beast::error_code error, std::size_t count) {
                              if (error) {
                                return self->close();  // cut short or too slow: nothing to answer
                              }
                              self->buffer_.commit(count);
                              self->bodyReceived_ += count;
                              self->readBody();
                            });
  }

  void finish() {
    if (refusal_) {
      HttpResponse answer = std::move(*refusal_);
      refusal_.reset();
      return respond(std::move(answer));
    }
    HttpResponse answer = exchange_->finish();
    exchange_.reset();
    respond(std::move(answer));
  }

  // The server's own answer to a request it cannot take; the connection closes after it.
  void refuse(int status, const std::string& message) {
    keepAlive_ = false;
    exchange_.reset();
    respond(options().errorResponse ? options().errorResponse(status, message)
                                    : HttpResponse{status, message, "text/plain", {}});
  }

  void respond(HttpResponse answer) {
    phase_ = Phase::answering;
    response_.emplace(static_cast<http::status>(answer.status), 11);
    response_->set(http::field::content_type, answer.contentType);
    for (const auto& [name, value] : answer.headers) {
      response_->insert(name, value);
    }
    response_->body() = std::move(answer.body);
    response_->keep_alive(keepAlive_ && !stopping());
    response_->prepare_payload();
    lowest().expires_after(options().writeTimeout);
    http::async_write(stream_, *response_, [self = shared()](beast::error_code error, std::size_t) {
      const bool keep = self->response_->keep_alive();
      self->response_.reset();
      self->parser_.reset();
      if (error) {
        return self->close();
      }
      if (!keep) {
        return self->closeAfterAnswer();
      }
      self->waitForRequest();
    });
  }

  // Ends the connection so the client still reads the answer: no reset for bytes it sent that
  // were not read.
  void closeAfterAnswer() {
    drained_ = 0;
    lowest().expires_after(
        std::min<std::chrono::seconds>(options().writeTimeout, std::chrono::seconds(2)));
    if constexpr (kTls) {
      stream_.async_shutdown([self = shared()](beast::error_code) { self->close(); });
    } else {
      beast::error_code ignored;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      lingerRead();
    }
  }

  void lingerRead() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(16 * 1024),
                            [self = shared()](beast::error_code error, std::size_t count) {
                              self->drained_ += count;
                              if (error || self->drained_ > self->options().drainLimit) {
                                return self->close();
                              }
                              self->lingerRead();
                            });
  }

  void close() {
    beast::error_code ignored;
    lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    lowest().close();
  }

  bool stopping() {
    std::lock_guard lock(state_.mutex);
    return state_.stopping;
  }

  Stream stream_;
  beast::flat_buffer buffer_;
  Phase phase_ = Phase::waiting;
  Clock::time_point headDeadline_;
  Clock::time_point bodyStarted_;
  std::uint64_t bodyReceived_ = 0;
  std::uint64_t drained_ = 0;
  std::optional<RequestParser> parser_;
  std::unique_ptr<HttpExchange> exchange_;
  std::optional<HttpResponse> refusal_;
  std::optional<http::response<http::string_body>> response_;
  bool keepAlive_ = true;
};

}  // namespace

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) {
      return std::string_view(value);
    }
  }
  return std::nullopt;
}

void HttpServer::State::accept() {
  acceptor.async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) {
      return;
    }
    if (error) {
      // Out of descriptors, most likely: try again shortly instead of spinning.
      retryTimer.expires_after(milliseconds(50));
      retryTimer.async_wait([this](beast::error_code waited) {
        if (!waited) {
          accept();
        }
      });
      return;
    }
    admit(std::move(socket));
    accept();
  });
}

void HttpServer::State::admit(tcp::socket socket) {
  beast::error_code error;
  const std::string address = socket.remote_endpoint(error).address().to_string();
  if (error) {
    return;
  }
  std::list<std::weak_ptr<Session>>::iterator entry;
  {
    std::lock_guard lock(mutex);
    auto& fromAddress = perAddress[address];
    if (stopping || open >= options.maxConnections ||
        fromAddress >= options.maxConnectionsPerAddress) {
      if (fromAddress == 0) {
        perAddress.erase(address);
      }
      entry = sessions.end();
    } else {
      ++open;
      ++fromAddress;
      entry = sessions.emplace(sessions.end());
    }
  }
  if (entry == sessions.end()) {
    // Over the limits: a plain connection is told so (best effort, without waiting), a TLS one
    // is closed, since its answer would first cost a handshake.
    if (!tls) {
      const HttpResponse busy = options.errorResponse
                                    ? options.errorResponse(503, "too many connections")
                                    : HttpResponse{503, "too many connections", "text/plain", {}};
      const std::string answer =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Type: " + busy.contentType +
          "\r\nContent-Length: " + std::to_string(busy.body.size()) +
          "\r\nConnection: close\r\n\r\n" + busy.body;
      socket.non_blocking(true, error);
      socket.send(net::buffer(answer), 0, error);
      socket.shutdown(tcp::socket::shutdown_send, error);
    }
    socket.close(error);
    return;
  }
  // Answers go out in one write each; no reason to hold their last segment back.
  socket.set_option(tcp::no_delay(true), error);
  std::shared_ptr<Session> session;
  if (tls) {
    session = std::make_shared<StreamSession<beast::ssl_stream<beast::tcp_stream>>>(
        *this, address, std::move(socket), *tls);
  } else {
    session = std::make_shared<StreamSession<beast::tcp_stream>>(*this, address, std::move(socket));
  }
  {
    std::lock_guard lock(mutex);
    *entry = session;
  }
  session->registered(entry);
  session->start();
}

void HttpServer::State::forget(const std::string& address,
                               std::list<std::weak_ptr<Session>>::iterator entry) {
  std::lock_guard lock(mutex);
  sessions.erase(entry);
  --open;
  if (--perAddress[address] == 0) {
    perAddress.erase(address);
  }
  if (stopping && serving && open == 0) {
    net::post(control, [this] { shutdownTimer.cancel(); });
  }
}

void HttpServer::State::beginStop() {
  std::vector<std::shared_ptr<Session>> waiting;
  {
    std::lock_guard lock(mutex);
    if (stopping) {
      return;
    }
    stopping = true;
    for (const auto& weak : sessions) {
      if (auto session = weak.lock()) {
        waiting.push_back(std::move(session));
      }
    }
    if (open > 0) {
      shutdownTimer.expires_after(options.shutdownTimeout);
      shutdownTimer.async_wait([this](beast::error_code error) {
        if (!error) {
          io.stop();  // what is still in flight is cut off
        }
      });
    }
  }
  beast::error_code ignored;
  acceptor.close(ignored);
  retryTimer.cancel();
  for (const auto& session : waiting) {
    session->closeIfWaiting();
  }
}

HttpServer::HttpServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

HttpServer::~HttpServer() = default;

Result<std::unique_ptr<HttpServer>> HttpServer::create(HttpHandler handler, HttpOptions options) {
  auto state = std::make_unique<State>(std::move(handler), std::move(options));
  const HttpOptions& settings = state->options;
  if (settings.certificate) {
    state->tls.emplace(net::ssl::context::tls_server);
    beast::error_code error;
    state->tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                                net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                                net::ssl::context::no_tlsv1_1,
                            error);
    state->tls->use_certificate_chain_file(settings.certificate->string(), error);
    if (!error) {
      state->tls->use_private_key_file(settings.privateKey->string(), net::ssl::context::pem,
                                       error);
    }
    if (error) {
      return Error(Error::Kind::fileSystem,
                   "cannot load the certificate " + settings.certificate->string() +
                       " or the key " + settings.privateKey->string() + ": " + error.message());
    }
  }
  beast::error_code error;
  const auto address =
      net::ip::make_address(settings.bind == "localhost" ? "127.0.0.1" : settings.bind, error);
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(settings.port));
  if (!error) {
    state->acceptor.open(endpoint.protocol(), error);
  }
  if (!error) {
    state->acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  }
  if (!error) {
    state->acceptor.bind(endpoint, error);
  }
  if (!error) {
    state->acceptor.listen(net::socket_base::max_listen_connections, error);
  }
  if (error) {
    return Error(Error::Kind::transport, "cannot listen on " + settings.bind + " port " +
                                             std::to_string(settings.port) + ": " +
                                             error.message());
  }
  state->port = state->acceptor.local_endpoint().port();
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(state)));
}

int HttpServer::port() const {
  return state_->port;
}

bool HttpServer::run() {
  {
    std::lock_guard lock(state_->mutex);
    state_->serving = true;
  }
  net::post(state_->control, [this] { state_->accept(); });
  std::vector<std::thread> workers;
  for (std::size_t index = 1; index < std::max<std::size_t>(state_->options.threads, 1); ++index) {
    workers.emplace_back([this] { state_->io.run(); });
  }
  state_->io.run();
  for (std::thread& worker : workers) {
    worker.join();
  }
  std::lock_guard lock(state_->mutex);
  state_->serving = false;
  return true;
}

void HttpServer::stop() {
  net::post(state_->control, [this] { state_->beginStop(); });
}

}  // namespace tessaline::server
