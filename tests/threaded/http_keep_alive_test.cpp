// Requests on kept-alive connections: a server closes a connection that stays idle past its
// keep-alive time-out, and the session must neither lose a request to such a connection nor repeat
// one that the server may have acted on.

#include <platform/HttpSession.h>
#include <platform/OpenFile.h>

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tessaline::Bytes;
using tessaline::Error;
using tessaline::Result;
using tessaline::Url;
using tessaline::platform::HttpRequest;
using tessaline::platform::HttpResponse;
using tessaline::platform::HttpSession;
using tessaline::platform::OpenFile;
using tessaline::testing::RecordedRequest;
using tessaline::testing::Reply;
using tessaline::testing::TestServer;
using namespace std::chrono_literals;

Url url(const std::string& text) {
  return *Url::parse(text);
}

// Runs one request and waits (bounded) for its outcome.
std::optional<Result<HttpResponse>> perform(HttpSession& session, HttpRequest request) {
  auto promise = std::make_shared<std::promise<Result<HttpResponse>>>();
  auto future = promise->get_future();
  session.start(std::move(request),
                [promise](Result<HttpResponse> result) { promise->set_value(std::move(result)); });
  if (future.wait_for(60s) != std::future_status::ready) {
    return std::nullopt;
  }
  return future.get();
}

std::vector<RecordedRequest> requestsTo(const TestServer& server, const std::string& path) {
  std::vector<RecordedRequest> found;
  for (auto& request : server.requests()) {
    if (request.path == path) {
      found.push_back(std::move(request));
    }
  }
  return found;
}

// A plain-http server on loopback that reads each request and closes the connection without a
// byte of answer, counting the connections it accepted.
class ClosingServer {
 public:
  ClosingServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error(std::string("the closing server cannot listen: ") +
                               std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ClosingServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  ClosingServer(const ClosingServer&) = delete;
  ClosingServer& operator=(const ClosingServer&) = delete;

  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }

 private:
  void serve() {
    while (!stopping_) {
      pollfd listening{listener_, POLLIN, 0};
      if (::poll(&listening, 1, 20) <= 0) {
        continue;
      }
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        continue;
      }
      ++connections_;
      std::string received;
      char buffer[4096];
      while (received.find("\r\n\r\n") == std::string::npos) {
        pollfd readable{connection, POLLIN, 0};
        if (::poll(&readable, 1, 5000) <= 0) {
          break;
        }
        const auto count = ::read(connection, buffer, sizeof buffer);
        if (count <= 0) {
          break;
        }
        received.append(buffer, static_cast<std::size_t>(count));
      }
      ::close(connection);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// A server that closes connections left idle for a second, as many servers do after a few.
class KeptAliveConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessaline::testing::trustTestCertificateAuthority();  // read when a session is created
    session = std::make_unique<HttpSession>();
  }

  // Leaves `count` connections in the session's cache that the server has closed since: each is
  // held by its own request until all have arrived, then all are answered, and the test waits
  // until the server has closed every one of them as idle.
  void leaveConnectionsTheServerClosed(std::size_t count) {
    server.reset();
    Reply held = Reply::json("{}");
    held.delay = 60s;  // cut short by reset()
    server.setReply("GET", "/v1/warm", held);
    struct Pending {
      std::atomic<std::size_t> remaining;
      std::promise<void> done;
    };
    auto pending = std::make_shared<Pending>();
    pending->remaining = count;
    for (std::size_t i = 0; i < count; ++i) {
      session->start(HttpRequest(url(server.origin() + "/v1/warm")),
                     [pending](Result<HttpResponse>) {
                       if (--pending->remaining == 0) {
                         pending->done.set_value();
                       }
                     });
    }
    ASSERT_TRUE(server.waitForRequests(count));
    std::set<int> ports;
    for (const auto& request : requestsTo(server, "/v1/warm")) {
      ports.insert(request.remotePort);
    }
    ASSERT_EQ(ports.size(), count) << "each request held a connection of its own";
    server.reset();  // answers the held requests
    ASSERT_EQ(pending->done.get_future().wait_for(60s), std::future_status::ready);
    for (const int port : ports) {
      ASSERT_TRUE(server.waitUntilConnectionClosed(port)) << "client port " << port;
    }
  }

  // Posts `body` and expects it to arrive exactly once, whole, and to be answered.
  void expectDelivered(HttpRequest::Body body, const std::string& expected) {
    server.setReply("POST", "/v1/upload", Reply::json(R"({"stored":true})"));
    HttpRequest request(url(server.origin() + "/v1/upload"), "POST");
    request.body = std::move(body);
    const auto outcome = perform(*session, std::move(request));
    ASSERT_TRUE(outcome);
    ASSERT_TRUE(*outcome) << outcome->error().description();
    EXPECT_EQ(outcome->value().status, 200);
    EXPECT_EQ(outcome->value().body.str(), R"({"stored":true})");
    const auto uploads = requestsTo(server, "/v1/upload");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].body == expected);
  }

  std::shared_ptr<OpenFile> openFile(const std::string& contents) {
    auto opened = OpenFile::open(directory.write("body.bin", contents).string());
    EXPECT_TRUE(opened);
    return opened ? std::make_shared<OpenFile>(std::move(opened).value()) : nullptr;
  }

  tessaline::testing::TemporaryDirectory directory;
  TestServer server{TestServer::Options{.keepAliveTimeout = 1s}};
  std::unique_ptr<HttpSession> session;  // destroyed first: it closes its connections
};

TEST_F(KeptAliveConnectionTest, EveryKindOfBodyOutlivesCachedConnectionsTheServerClosed) {
  // More closed connections than libcurl tries before it gives up on a request.
  const std::string bytes(3000, 'b');
  leaveConnectionsTheServerClosed(8);
  expectDelivered(Bytes(bytes), bytes);

  const std::string contents(200 * 1024 + 3, 'f');  // larger than one write
  leaveConnectionsTheServerClosed(8);
  expectDelivered(openFile(contents), contents);

  leaveConnectionsTheServerClosed(8);
  expectDelivered(std::monostate{}, "");
}

TEST_F(KeptAliveConnectionTest, AFileBodyIsSentAgainWholeAfterItsConnectionProvedClosed) {
  const std::string contents(200 * 1024 + 5, 'g');
  leaveConnectionsTheServerClosed(1);
  expectDelivered(openFile(contents), contents);
}

TEST_F(KeptAliveConnectionTest, AFailureAfterTheAnswerBeganIsNotRepeated) {
  server.setReply("GET", "/v1/first", Reply::json("{}"));
  server.setReply("POST", "/v1/dropped", Reply::drop());
  ASSERT_TRUE(perform(*session, HttpRequest(url(server.origin() + "/v1/first"))));
  HttpRequest request(url(server.origin() + "/v1/dropped"), "POST");
  request.body = Bytes(std::string("once"));
  const auto outcome = perform(*session, std::move(request));
  ASSERT_TRUE(outcome);
  ASSERT_FALSE(*outcome);
  EXPECT_EQ(outcome->error().kind(), Error::Kind::transport);
  const auto first = requestsTo(server, "/v1/first");
  const auto dropped = requestsTo(server, "/v1/dropped");
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].remotePort, first[0].remotePort) << "sent on the kept-alive connection";
}

TEST(FreshConnectionTest, ARequestLostOnAConnectionOfItsOwnIsNotRepeated) {
  ClosingServer closing;
  HttpSession session;
  HttpRequest request(url(closing.origin() + "/v1/reports"), "POST");
  request.body = Bytes(std::string("{}"));
  const auto outcome = perform(session, std::move(request));
  ASSERT_TRUE(outcome);
  ASSERT_FALSE(*outcome);
  EXPECT_EQ(outcome->error().kind(), Error::Kind::transport);
  EXPECT_EQ(closing.connections(), 1);
}

TEST(IdleConnectionTest, AConnectionIdleForSecondsIsNotReused) {
  tessaline::testing::trustTestCertificateAuthority();
  TestServer server(TestServer::Options{.keepAliveTimeout = 30s});
  auto session = std::make_unique<HttpSession>();
  server.setReply("GET", "/v1/config", Reply::json("{}"));
  ASSERT_TRUE(perform(*session, HttpRequest(url(server.origin() + "/v1/config"))));
  // Past the session's limit for idle connections, well within this server's keep-alive.
  std::this_thread::sleep_for(HttpSession::kMaxConnectionIdleTime + 1s);
  ASSERT_TRUE(perform(*session, HttpRequest(url(server.origin() + "/v1/config"))));
  session.reset();  // closes its connection, so the server stops at once
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].remotePort, requests[1].remotePort);
}

}  // namespace
