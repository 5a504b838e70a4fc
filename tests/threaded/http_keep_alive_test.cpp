// Requests on kept-alive connections: a server closes a connection that stays idle past its
// keep-alive time-out, and the session must neither lose a request to such a connection nor repeat
// one that the server may have acted on.

#include <platform/HttpSession.h>
#include <platform/OpenFile.h>

#include "support/FaultServer.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
  EXPECT_NE(dropped[0].remotePort, first[0].remotePort) << "a POST goes on a connection of its own";
}

TEST(FreshConnectionTest, ARequestLostOnAConnectionOfItsOwnIsNotRepeated) {
  // The server reads the request's head and closes the connection without a byte of answer.
  tessaline::testing::FaultServer closing;
  closing.setHandler("/v1/reports", [](tessaline::testing::FaultServer::Exchange&) {});
  HttpSession session;
  HttpRequest request(url(closing.baseURL() + "/reports"), "POST");
  request.body = Bytes(std::string("{}"));
  const auto outcome = perform(session, std::move(request));
  ASSERT_TRUE(outcome);
  ASSERT_FALSE(*outcome);
  EXPECT_EQ(outcome->error().kind(), Error::Kind::transport);
  ASSERT_TRUE(closing.waitUntilIdle());
  EXPECT_EQ(closing.requests().size(), 1u);
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
