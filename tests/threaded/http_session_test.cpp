// The HTTP session against real servers on loopback: what goes out and comes back, requests that
// cannot succeed, completions and cancels, and kept-alive connections the server closed meanwhile
// (a request is neither lost to such a connection nor repeated once the server may have acted).

#include <platform/HttpSession.h>
#include <platform/OpenFile.h>
#include <platform/detail/HttpTesting.h>

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace tessaline {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpSession;
using platform::OpenFile;
using testing::patternOf;
using testing::Reply;
using testing::TestServer;
using namespace std::chrono_literals;

HttpRequest request(const std::string& url, const std::string& method = "GET") {
  return HttpRequest(*Url::parse(url), method);
}

// One request's outcome; nothing when it never came.
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

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::trustTestCertificateAuthority();  // read when a session is created
    session = std::make_unique<HttpSession>(
        platform::HttpHeaders{{"User-Agent", "agent/1"}, {"X-Session", "s\r\nInjected: 2"}});
  }
  void TearDown() override { platform::detail::setRequestTimeoutOverride(std::nullopt); }

  std::string at(const std::string& path) const { return server.origin() + path; }
  std::shared_ptr<OpenFile> openFile(const std::string& name, const std::string& contents) {
    return std::make_shared<OpenFile>(
        OpenFile::open(directory.write(name, contents).string()).value());
  }

  // Leaves `count` connections in the session's cache that the server has closed since: each is
  // held by its own request until all have arrived, then all are answered, and the test waits
  // until the server has closed every one of them as idle.
  void leaveConnectionsTheServerClosed(std::size_t count) {
    server.reset();
    Reply held = Reply::json("{}");
    held.delay = 60s;  // cut short by reset()
    server.setReply("GET", "/v1/warm", held);
    std::vector<std::future<std::optional<Result<HttpResponse>>>> answers;
    for (std::size_t i = 0; i < count; ++i) {
      answers.push_back(std::async(std::launch::async,
                                   [this] { return perform(*session, request(at("/v1/warm"))); }));
    }
    ASSERT_TRUE(server.waitForRequests(count));
    std::set<int> ports;
    for (const auto& each : server.requests()) {
      ports.insert(each.remotePort);
    }
    ASSERT_EQ(ports.size(), count) << "each request held a connection of its own";
    server.reset();
    for (auto& each : answers) {
      ASSERT_TRUE(each.get());
    }
    for (const int port : ports) {
      ASSERT_TRUE(server.waitUntilConnectionClosed(port)) << "client port " << port;
    }
  }

  // Posts `body` and expects it to arrive exactly once, whole, and to be answered.
  void expectDelivered(HttpRequest::Body body, const std::string& expected) {
    server.setReply("POST", "/v1/upload", Reply::json(R"({"stored":true})"));
    HttpRequest post = request(at("/v1/upload"), "POST");
    post.body = std::move(body);
    const auto outcome = perform(*session, std::move(post));
    ASSERT_TRUE(outcome && *outcome) << outcome->error().description();
    EXPECT_EQ(outcome->value().body.str(), R"({"stored":true})");
    const auto uploads = server.requests();  // since the held requests were answered
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].body == expected);
  }

  testing::TemporaryDirectory directory;
  TestServer server;
  std::unique_ptr<HttpSession> session;  // destroyed first: it closes its connections
};

// Answers carry status, headers and body, and kept connections are reused. Bytes and files go out
// exactly, without Expect or an invented Content-Type; one open file may be the body of concurrent
// uploads. Control characters never reach header text.
TEST_F(HttpSessionTest, RequestsAndAnswersGoThroughExactly) {
  Reply reply = Reply::json(R"({"ok":true})", 201);
  reply.headers = {{"X-Test", "yes"}};
  server.setReply("GET", "/v1/thing", reply);
  server.setReply("GET", "/v1/none", Reply::json("", 204));
  server.setReply("GET", "/v1/empty", Reply::json("", 200));
  server.setReply("POST", "/v1/upload", Reply::json("{}"));
  const auto answer = [&](const std::string& path) {
    const auto outcome = perform(*session, request(at(path)));
    EXPECT_TRUE(outcome && *outcome) << path;
    return outcome && *outcome ? outcome->value() : HttpResponse{};
  };
  const HttpResponse thing = answer("/v1/thing");
  EXPECT_EQ(thing.status, 201);
  EXPECT_EQ(thing.body.str(), R"({"ok":true})");
  EXPECT_TRUE(thing.hasBody);
  EXPECT_EQ(std::ranges::count(thing.headers, std::pair<std::string, std::string>("X-Test", "yes")),
            1);
  EXPECT_FALSE(answer("/v1/none").hasBody) << "an answer without a body is told from an empty one";
  EXPECT_TRUE(answer("/v1/empty").hasBody);

  const std::string payload = patternOf(3 * 1024 * 1024);  // large enough for libcurl's Expect
  HttpRequest bytes = request(at("/v1/upload"), "POST");
  bytes.body = Bytes(payload);
  ASSERT_TRUE(perform(*session, bytes));
  HttpRequest typed = request(at("/v1/upload"), "POST");
  typed.headers = {{"Content-Type", "application/json"},
                   {"User-Agent", "override"},
                   {"X-Agent", "a\r\nInjected: 1"}};
  typed.body = Bytes(std::string("{}"));
  ASSERT_TRUE(perform(*session, typed));
  const std::string content = patternOf(8 * 1024 * 1024 + 17);
  HttpRequest file = request(at("/v1/upload"), "POST");
  file.body = openFile("payload.bin", content);
  auto first = std::async(std::launch::async, [&] { return perform(*session, file); });
  const auto second = perform(*session, file);
  const auto firstDone = first.get();
  EXPECT_TRUE(firstDone && *firstDone && second && *second);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 7u);
  EXPECT_EQ(requests[0].requestLine(), "GET /v1/thing");
  EXPECT_EQ(requests[0].header("User-Agent"), "agent/1");
  EXPECT_EQ(requests[0].header("X-Session"), "sInjected: 2");
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_EQ(requests[0].remotePort, requests[2].remotePort) << "the connection was not kept";
  EXPECT_TRUE(requests[3].body == payload);
  EXPECT_EQ(requests[3].header("Content-Length"), std::to_string(payload.size()));
  EXPECT_FALSE(requests[3].header("Expect"));
  EXPECT_FALSE(requests[3].header("Content-Type"));
  EXPECT_EQ(requests[4].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[4].header("User-Agent"), "override");
  EXPECT_EQ(requests[4].header("X-Agent"), "aInjected: 1");
  EXPECT_FALSE(requests[4].header("Injected"));
  EXPECT_TRUE(requests[5].body == content);
  EXPECT_TRUE(requests[6].body == content);
}

// Every request ends with its outcome, and what must not be reached is not: other schemes and
// hosts, a plain-http downgrade, an untrusted certificate. Plain http is spoken to loopback, and a
// redirect on the same scheme is followed.
TEST_F(HttpSessionTest, RequestsEndWithTheOutcomeOfTheirKind) {
  platform::detail::setRequestTimeoutOverride(1s);
  auto shrunk = openFile("shrinks.bin", patternOf(1024 * 1024));
  std::filesystem::resize_file(directory.path() / "shrinks.bin", 1000);
  const std::string closedOrigin = TestServer().origin();  // stopped again
  TestServer untrusted(TestServer::Options{.certificate = "untrusted"});
  TestServer plain(TestServer::Options{.tls = false});
  plain.setReply("GET", "/v1/config", Reply::json("{}"));
  server.setReply("GET", "/v1/silent", Reply::never());
  server.setReply("GET", "/v1/dropped", Reply::drop());
  server.setReply("POST", "/v1/file", Reply::json("{}"));
  server.setReply("GET", "/v1/new", Reply::json(R"({"moved":true})"));
  const auto redirect = [](int status, const std::string& location) {
    Reply moved = Reply::json("", status);
    moved.headers = {{"Location", location}};
    return moved;
  };
  server.setReply("GET", "/v1/downgrade", redirect(302, plain.origin() + "/v1/config"));
  server.setReply("GET", "/v1/loop", redirect(302, at("/v1/loop")));
  server.setReply("GET", "/v1/old", redirect(301, at("/v1/new")));

  struct Case {
    std::string url;
    std::optional<Error::Kind> kind;  // nothing: it succeeds
    std::string text;
    std::string method = "GET";
  };
  const auto transport = Error::Kind::transport;
  const Case cases[] = {
      {plain.origin() + "/v1/config", {}, ""},
      {"http://localhost:" + std::to_string(plain.port()) + "/v1/config", {}, ""},
      {at("/v1/old"), {}, R"({"moved":true})"},
      {at("/v1/silent"), transport, "nothing was sent or received for 1 s"},
      {at("/v1/dropped"), transport, ""},
      {at("/v1/file"), Error::Kind::fileSystem, "became shorter", "POST"},
      {at("/v1/downgrade"), transport, ""},
      {at("/v1/loop"), transport, ""},
      {closedOrigin + "/v1/config", transport, ""},
      {untrusted.origin() + "/v1/config", transport, ""},
      // Refused before any traffic: no name lookup, no connection.
      {"http://192.0.2.1/v1/config", transport, ""},
      {"http://feedback.example/v1", transport, ""},
      {"file:///etc/passwd", transport, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.url);
    HttpRequest each = request(c.url, c.method);
    if (c.url.ends_with("/file")) {
      each.body = shrunk;
    }
    const auto outcome = perform(*session, each);
    ASSERT_TRUE(outcome);
    if (!c.kind) {
      ASSERT_TRUE(*outcome) << outcome->error().description();
      EXPECT_EQ(outcome->value().body.str(), c.text.empty() ? "{}" : c.text);
      continue;
    }
    ASSERT_FALSE(*outcome);
    EXPECT_EQ(outcome->error().kind(), *c.kind);
    EXPECT_NE(outcome->error().description().find(c.text), std::string::npos);
  }
  EXPECT_EQ(plain.requests().size(), 2u);  // none of them redirected
  EXPECT_TRUE(untrusted.requests().empty());
  EXPECT_EQ(std::ranges::count(server.requests(), "/v1/loop", &testing::RecordedRequest::path),
            6);  // the request and five redirects
  server.reset();
}

TEST_F(HttpSessionTest, CompletionsRunOnTheWorkerAndNeverAfterACancelOrTheSessionsEnd) {
  // A completion's exception stays on the worker, which goes on.
  std::promise<std::thread::id> where;
  session->start(request("ftp://127.0.0.1/"), [&](Result<HttpResponse>) {
    where.set_value(std::this_thread::get_id());
    throw std::runtime_error("thrown by a completion");
  });
  auto thread = where.get_future();
  ASSERT_EQ(thread.wait_for(30s), std::future_status::ready);
  EXPECT_NE(thread.get(), std::this_thread::get_id());

  server.setReply("GET", "/v1/held", Reply::never());
  server.setReply("GET", "/v1/next", Reply::json("{}"));
  std::atomic<int> calls{0};
  const auto task = session->start(request(at("/v1/held")), [&](Result<HttpResponse>) { ++calls; });
  ASSERT_TRUE(server.waitForRequests(1));
  task.cancel();
  task.cancel();   // twice is harmless
  server.reset();  // the held request is answered by a closed connection
  server.setReply("GET", "/v1/held", Reply::never());
  server.setReply("GET", "/v1/next", Reply::json("{}"));
  ASSERT_TRUE(perform(*session, request(at("/v1/next"))));

  // A completion may cancel its own task.
  std::promise<void> done;
  std::promise<platform::HttpTask> handed;
  std::shared_future<platform::HttpTask> own = handed.get_future().share();
  handed.set_value(session->start(request(at("/v1/next")), [&done, own](Result<HttpResponse>) {
    own.get().cancel();
    done.set_value();
  }));
  EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);

  // Destroying the session drops its transfers without completions.
  session->start(request(at("/v1/held")), [&](Result<HttpResponse>) { ++calls; });
  ASSERT_TRUE(server.waitForRequests(3));
  session.reset();  // joins the worker
  server.reset();
  EXPECT_EQ(calls, 0);
}

TEST_F(HttpSessionTest, EveryKindOfBodyOutlivesCachedConnectionsTheServerClosed) {
  // More closed connections than libcurl tries before it gives up on a request.
  const std::string bytes(3000, 'b');
  leaveConnectionsTheServerClosed(8);
  expectDelivered(Bytes(bytes), bytes);
  const std::string contents(200 * 1024 + 3, 'f');  // larger than one write
  leaveConnectionsTheServerClosed(8);
  expectDelivered(openFile("body.bin", contents), contents);
  leaveConnectionsTheServerClosed(8);
  expectDelivered(std::monostate{}, "");
  // A file body is sent again whole after its connection proved closed.
  leaveConnectionsTheServerClosed(1);
  expectDelivered(openFile("again.bin", contents), contents);
}

}  // namespace
}  // namespace tessaline
