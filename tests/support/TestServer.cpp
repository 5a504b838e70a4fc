#include "support/TestServer.h"

#include "support/ProcessFixtures.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

// cpp-httplib comes from Debian without ThreadSanitizer instrumentation: the sanitizer cannot see
// the guards of its function-local statics and reports their first use on two connections as a
// race. Only reports that pass through that library are silenced; the server's own state and the
// library under test stay checked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libcpp-httplib.so\n";
}

namespace tessaline::testing {

namespace {

using namespace std::chrono_literals;

std::string certificateFile(const std::string& name) {
  return std::string(TESSALINE_TEST_CERT_DIR) + "/" + name;
}

// The server's socket of the connection from `clientPort`, which the HTTP library does not hand
// out; -1 when there is none.
int connectionSocket(int serverPort, int clientPort) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 &&
        local.sin_family == AF_INET && ntohs(local.sin_port) == serverPort &&
        ntohs(peer.sin_port) == clientPort) {
      return fd;
    }
  }
  return -1;
}

// Held requests wait at most this long, so that a forgotten one cannot keep the server running.
constexpr auto kLongestHold = std::chrono::seconds(120);

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

std::string patternOf(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  }
  return data;
}

Reply Reply::json(std::string body, int status, Action action) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.action = action;
  return reply;
}

struct TestServer::Impl {
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  bool tls = true;
  int port = 0;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<RecordedRequest> requests;
  std::map<std::pair<std::string, std::string>, TestServer::Handler> script;
  std::uint64_t generation = 0;  // bumped by reset(): releases held requests
  bool stopping = false;

  void record(const RecordedRequest& request) {
    {
      std::lock_guard lock(mutex);
      requests.push_back(request);
    }
    changed.notify_all();
  }

  // Waits until the client ends the connection (true), or the server stops or is reset.
  bool clientCloses(int clientPort, std::uint64_t arrivedIn) {
    pollfd ready{connectionSocket(port, clientPort), POLLIN, 0};
    for (auto waited = 0ms; waited < kLongestHold; waited += 20ms) {
      if (::poll(&ready, 1, 20) > 0) {
        return true;
      }
      std::lock_guard lock(mutex);
      if (stopping || generation != arrivedIn) {
        return false;
      }
    }
    return false;
  }

  void handle(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader* reader) {
    auto recorded = std::make_shared<RecordedRequest>();
    recorded->method = request.method;
    recorded->target = request.target;
    const auto question = request.target.find('?');
    recorded->path = request.target.substr(0, question);
    recorded->query = question == std::string::npos ? "" : request.target.substr(question + 1);
    for (const auto& [name, value] : request.headers) {
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) {  // added by cpp-httplib
        recorded->headers.emplace_back(name, value);
      }
    }
    recorded->remotePort = request.remote_port;

    Reply reply = Reply::json("", 404);
    reply.contentType = "text/plain";
    std::uint64_t arrivedIn = 0;
    {
      std::lock_guard lock(mutex);
      if (const auto found = script.find({recorded->method, recorded->path});
          found != script.end()) {
        reply = found->second(*recorded);
      }
      arrivedIn = generation;
    }
    const bool closing = reply.action == Reply::Action::closeUnanswered;
    if (reader != nullptr) {
      (*reader)([&](const char* data, std::size_t size) {
        recorded->body.append(data, size);
        if (reply.bodyBytes == 0 || recorded->body.size() < reply.bodyBytes) {
          return true;
        }
        if (auto reached = std::exchange(reply.whenBodyReached, nullptr); reached && !closing) {
          reached();
        }
        return !closing;
      });
    }
    if (reply.action == Reply::Action::stallHalfway) {
      response.set_content_provider(
          reply.body.size(), reply.contentType,
          [this, recorded, arrivedIn, body = reply.body](size_t, size_t, httplib::DataSink& sink) {
            sink.write(body.data(), body.size() / 2);
            recorded->closedByClient = clientCloses(recorded->remotePort, arrivedIn);
            record(*recorded);
            return false;
          });
      return;
    }
    record(*recorded);
    if (closing) {
      ::shutdown(connectionSocket(port, recorded->remotePort), SHUT_RDWR);
    }

    const auto released = [&] { return stopping || generation != arrivedIn; };
    if (reply.delay.count() > 0 || reply.action == Reply::Action::neverAnswer) {
      std::unique_lock lock(mutex);
      changed.wait_for(
          lock, reply.action == Reply::Action::neverAnswer ? kLongestHold : reply.delay, released);
    }
    if (reply.action != Reply::Action::answer) {
      // A body provider that fails (on a connection that is not closed already): the headers go
      // out, then the connection is closed.
      response.set_content_provider(1, "text/plain",
                                    [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }

    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) {
      response.set_header(name, value);
    }
    if (reply.generatedBodySize > 0) {
      response.set_content_provider(reply.generatedBodySize, "application/octet-stream",
                                    [](size_t, size_t length, httplib::DataSink& sink) {
                                      static const std::string filler(64 * 1024, 'x');
                                      return sink.write(filler.data(),
                                                        std::min(length, filler.size()));
                                    });
    } else {
      response.set_content(reply.body, reply.contentType);
    }
  }
};

TestServer::TestServer() : TestServer(Options{}) {}

TestServer::TestServer(Options options) : impl_(std::make_unique<Impl>()) {
  // A client that gives up mid-answer must not end the test process.
  std::signal(SIGPIPE, SIG_IGN);
  impl_->tls = options.tls;
  if (options.tls) {
    impl_->server = std::make_unique<httplib::SSLServer>(
        certificateFile(options.certificate + ".pem").c_str(),
        certificateFile(options.certificate + "-key.pem").c_str());
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  if (!impl_->server->is_valid()) {
    throw std::runtime_error("the test server cannot load its certificate");
  }
  auto& server = *impl_->server;
  // A worker serves one connection for as long as the client keeps it alive, so the pool must
  // exceed the connections the tests open at once (64 concurrent uploads, held requests, idle
  // kept-alive connections); a smaller pool queues new connections behind idle ones.
  server.new_task_queue = [] { return new httplib::ThreadPool(128); };
  server.set_keep_alive_max_count(1000);
  server.set_keep_alive_timeout(2);  // stopping waits this long for connections kept open
  server.set_read_timeout(30);
  server.set_write_timeout(30);
  server.set_payload_max_length(std::size_t{1} << 30);
  socket_t listening = INVALID_SOCKET;
  server.set_socket_options([&listening](socket_t socket) {
    httplib::default_socket_options(socket);
    listening = socket;
  });
  server.Get(".*",
             [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
               impl->handle(request, response, nullptr);
             });
  server.Post(".*",
              [impl = impl_.get()](const httplib::Request& request, httplib::Response& response,
                                   const httplib::ContentReader& reader) {
                impl->handle(request, response, &reader);
              });

  impl_->port = server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) {
    throw std::runtime_error("the test server cannot bind to 127.0.0.1");
  }
  // The library listens with a backlog of 5: the kernel drops the connections that arrive at once
  // beyond it, and their clients try again only a second later. Listening again sets a real
  // server's backlog.
  if (listening == INVALID_SOCKET || ::listen(listening, SOMAXCONN) != 0) {
    throw std::runtime_error("the test server cannot enlarge its listen backlog");
  }
  impl_->listener = std::thread([&server] { server.listen_after_bind(); });
  // stop() does nothing until the accept loop runs, so the destructor could wait forever.
  waitFor([&server] { return server.is_running(); }, std::chrono::seconds(10));
}

TestServer::~TestServer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  impl_->server->stop();
  impl_->listener.join();
}

int TestServer::port() const {
  return impl_->port;
}

std::string TestServer::origin() const {
  return std::string(impl_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

void TestServer::setReply(const std::string& method, const std::string& path, Reply reply) {
  setHandler(method, path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void TestServer::setHandler(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->script[{method, path}] = std::move(handler);
}

std::vector<RecordedRequest> TestServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

bool TestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

void TestServer::reset() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->requests.clear();
    impl_->script.clear();
    ++impl_->generation;
  }
  impl_->changed.notify_all();
}

bool TestServer::waitUntilConnectionClosed(int clientPort,
                                           std::chrono::milliseconds timeout) const {
  return waitFor([&] { return connectionSocket(port(), clientPort) == -1; }, timeout);
}

std::string TestServer::certificateAuthorityFile() {
  return certificateFile("ca.pem");
}

void trustTestCertificateAuthority() {
  setenv("SSL_CERT_FILE", TestServer::certificateAuthorityFile().c_str(), 1);
}

TestServer& serviceServer() {
  static TestServer* server = [] {
    auto* started = new TestServer();  // never destroyed: the HTTP session may outlive main()
    trustTestCertificateAuthority();
    setenv("TESSALINE_SERVICE_URL", started->baseURL().c_str(), 1);
    return started;
  }();
  return *server;
}

}  // namespace tessaline::testing
