#include <platform/HttpSession.h>
#include <platform/OpenFile.h>
#include <platform/detail/HttpTesting.h>

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using tessaline::Bytes;
using tessaline::Error;
using tessaline::Result;
using tessaline::Url;
using tessaline::platform::HttpRequest;
using tessaline::platform::HttpResponse;
using tessaline::platform::HttpSession;
using tessaline::platform::OpenFile;
using tessaline::testing::Reply;
using tessaline::testing::TestServer;
using namespace std::chrono_literals;

Url url(const std::string& text) {
  return *Url::parse(text);
}

// Runs one request and waits (bounded) for its outcome, noting the thread it arrived on.
struct Outcome {
  std::optional<Result<HttpResponse>> result;
  std::thread::id thread;
};

Outcome perform(HttpSession& session, HttpRequest request) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  session.start(std::move(request), [promise](Result<HttpResponse> result) {
    promise->set_value(Outcome{std::move(result), std::this_thread::get_id()});
  });
  if (future.wait_for(60s) != std::future_status::ready) {
    return {};
  }
  return future.get();
}

std::string patternOf(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  }
  return data;
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessaline::testing::trustTestCertificateAuthority();  // read when a session is created
    session = std::make_unique<HttpSession>(tessaline::platform::HttpHeaders{
        {"User-Agent", "agent/1"}, {"X-Session", "s\r\nInjected: 2"}});
  }
  void TearDown() override { tessaline::platform::detail::setRequestTimeoutOverride(std::nullopt); }

  TestServer server;
  std::unique_ptr<HttpSession> session;
};

TEST_F(HttpSessionTest, AnswersCarryStatusHeadersAndBodyAndReuseOneConnection) {
  Reply reply = Reply::json(R"({"ok":true})", 201);
  reply.headers = {{"X-Test", "yes"}};
  server.setReply("GET", "/v1/thing", reply);

  for (int i = 0; i < 2; ++i) {
    const auto outcome = perform(*session, HttpRequest(url(server.origin() + "/v1/thing")));
    ASSERT_TRUE(outcome.result);
    ASSERT_TRUE(*outcome.result) << outcome.result->error().description();
    const HttpResponse& response = outcome.result->value();
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body.str(), R"({"ok":true})");
    EXPECT_TRUE(response.hasBody);
    bool found = false;
    for (const auto& [name, value] : response.headers) {
      found = found || (name == "X-Test" && value == "yes");
    }
    EXPECT_TRUE(found);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine(), "GET /v1/thing");
  EXPECT_EQ(requests[0].header("User-Agent"), "agent/1");
  EXPECT_EQ(requests[0].header("X-Session"), "sInjected: 2");
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_EQ(requests[0].remotePort, requests[1].remotePort) << "the connection was not kept";

  // An answer without a body is told from an empty one.
  server.setReply("GET", "/v1/none", Reply::json("", 204));
  server.setReply("GET", "/v1/empty", Reply::json("", 200));
  const auto none = perform(*session, HttpRequest(url(server.origin() + "/v1/none")));
  const auto empty = perform(*session, HttpRequest(url(server.origin() + "/v1/empty")));
  ASSERT_TRUE(none.result && *none.result);
  ASSERT_TRUE(empty.result && *empty.result);
  EXPECT_FALSE(none.result->value().hasBody);
  EXPECT_TRUE(empty.result->value().hasBody);
  EXPECT_TRUE(empty.result->value().body.empty());
}

TEST_F(HttpSessionTest, BodiesGoOutExactlyWithoutExpectOrAnInventedContentType) {
  server.setReply("POST", "/v1/upload", Reply::json("{}"));
  const std::string payload = patternOf(3 * 1024 * 1024);  // large enough for libcurl's Expect
  HttpRequest request(url(server.origin() + "/v1/upload"), "POST");
  request.body = Bytes(payload);
  const auto outcome = perform(*session, request);
  ASSERT_TRUE(outcome.result && *outcome.result);

  HttpRequest typed(url(server.origin() + "/v1/upload"), "POST");
  typed.headers = {{"Content-Type", "application/json"},
                   {"User-Agent", "override"},
                   {"X-Agent", "a\r\nInjected: 1"}};
  typed.body = Bytes(std::string("{}"));
  ASSERT_TRUE(perform(*session, typed).result);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].body == payload);
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(payload.size()));
  EXPECT_FALSE(requests[0].header("Expect"));
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].header("User-Agent"), "override");
  // Control characters never reach header text.
  EXPECT_EQ(requests[1].header("X-Agent"), "aInjected: 1");
  EXPECT_FALSE(requests[1].header("Injected"));
}

TEST_F(HttpSessionTest, FileBodiesAreStreamedAndMaySharedByConcurrentUploads) {
  tessaline::testing::TemporaryDirectory directory;
  const std::string content = patternOf(8 * 1024 * 1024 + 17);
  const auto path = directory.write("payload.bin", content);
  auto opened = OpenFile::open(path.string());
  ASSERT_TRUE(opened);
  auto file = std::make_shared<OpenFile>(std::move(opened).value());
  server.setReply("POST", "/v1/file", Reply::json("{}"));

  std::atomic<int> succeeded{0};
  std::promise<void> bothDone;
  std::atomic<int> remaining{2};
  for (int i = 0; i < 2; ++i) {
    HttpRequest request(url(server.origin() + "/v1/file"), "POST");
    request.body = file;
    session->start(request, [&](Result<HttpResponse> result) {
      if (result) {
        ++succeeded;
      }
      if (--remaining == 0) {
        bothDone.set_value();
      }
    });
  }
  ASSERT_EQ(bothDone.get_future().wait_for(60s), std::future_status::ready);
  EXPECT_EQ(succeeded, 2);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.body.size(), content.size());
    EXPECT_TRUE(request.body == content);
  }
}

// Every way a request cannot succeed ends it with an error of its kind, and what must not be
// reached is not: other schemes and hosts, a plain-http downgrade, an untrusted certificate.
TEST_F(HttpSessionTest, RequestsThatCannotSucceedFailWithTheirKind) {
  tessaline::platform::detail::setRequestTimeoutOverride(1s);
  tessaline::testing::TemporaryDirectory directory;
  const auto path = directory.write("shrinks.bin", patternOf(1024 * 1024));
  auto shrunk = std::make_shared<OpenFile>(OpenFile::open(path.string()).value());
  std::filesystem::resize_file(path, 1000);
  std::string closedOrigin;
  {
    TestServer gone;
    closedOrigin = gone.origin();
  }
  TestServer untrusted(TestServer::Options{.tls = true, .trustedCertificate = false});
  TestServer plain(TestServer::Options{.tls = false});
  Reply huge;
  huge.generatedBodySize = HttpSession::kMaxResponseBodySize + 1;
  server.setReply("GET", "/v1/huge", huge);
  server.setReply("GET", "/v1/silent", Reply::never());
  server.setReply("GET", "/v1/dropped", Reply::drop());
  server.setReply("POST", "/v1/file", Reply::json("{}"));
  Reply toPlain = Reply::json("", 302);
  toPlain.headers = {{"Location", plain.origin() + "/v1/target"}};
  server.setReply("GET", "/v1/downgrade", toPlain);
  Reply loop = Reply::json("", 302);
  loop.headers = {{"Location", server.origin() + "/v1/loop"}};
  server.setReply("GET", "/v1/loop", loop);

  struct Case {
    std::string url;
    Error::Kind kind;
    std::string text;
    std::string method;
  };
  const auto transport = [](std::string where) {
    return Case{std::move(where), Error::Kind::transport, "", "GET"};
  };
  const Case cases[] = {
      {server.origin() + "/v1/huge", Error::Kind::transport, "64 MiB", "GET"},
      transport(server.origin() + "/v1/silent"),
      transport(server.origin() + "/v1/dropped"),
      {server.origin() + "/v1/file", Error::Kind::fileSystem, "became shorter", "POST"},
      transport(server.origin() + "/v1/downgrade"),
      transport(server.origin() + "/v1/loop"),
      transport(closedOrigin + "/v1/config"),
      transport(untrusted.origin() + "/v1/config"),
      // Refused before any traffic: no name lookup, no connection.
      transport("http://192.0.2.1/v1/config"),
      transport("http://feedback.example/v1"),
      transport("ftp://127.0.0.1/file"),
      transport("file:///etc/passwd"),
  };
  for (const auto& c : cases) {
    HttpRequest request(url(c.url), c.method);
    if (c.method == "POST") {
      request.body = shrunk;
    }
    const auto outcome = perform(*session, request);
    ASSERT_TRUE(outcome.result) << c.url;
    ASSERT_FALSE(*outcome.result) << c.url;
    EXPECT_EQ(outcome.result->error().kind(), c.kind) << c.url;
    EXPECT_NE(outcome.result->error().description().find(c.text), std::string::npos) << c.url;
  }
  EXPECT_TRUE(plain.requests().empty());
  EXPECT_TRUE(untrusted.requests().empty());
  std::size_t loops = 0;
  for (const auto& request : server.requests()) {
    loops += request.path == "/v1/loop" ? 1 : 0;
  }
  EXPECT_EQ(loops, 6u);  // the request and five redirects
  server.reset();
}

// Plain http is spoken to loopback, by address or by name; a redirect on the same scheme is
// followed.
TEST_F(HttpSessionTest, LoopbackHttpAndSameSchemeRedirectsSucceed) {
  TestServer plain(TestServer::Options{.tls = false});
  plain.setReply("GET", "/v1/config", Reply::json("{}"));
  Reply moved = Reply::json("", 301);
  moved.headers = {{"Location", server.origin() + "/v1/new"}};
  server.setReply("GET", "/v1/old", moved);
  server.setReply("GET", "/v1/new", Reply::json(R"({"moved":true})"));
  for (const auto& text : {plain.origin() + "/v1/config",
                           "http://localhost:" + std::to_string(plain.port()) + "/v1/config"}) {
    const auto outcome = perform(*session, HttpRequest(url(text)));
    ASSERT_TRUE(outcome.result) << text;
    EXPECT_TRUE(*outcome.result) << outcome.result->error().description();
  }
  const auto followed = perform(*session, HttpRequest(url(server.origin() + "/v1/old")));
  ASSERT_TRUE(followed.result && *followed.result);
  EXPECT_EQ(followed.result->value().body.str(), R"({"moved":true})");
}

TEST_F(HttpSessionTest, CompletionsRunLaterOnTheWorkerAndTheirExceptionsStayThere) {
  std::atomic<bool> called{false};
  std::promise<std::thread::id> where;
  session->start(HttpRequest(url("ftp://127.0.0.1/")), [&](Result<HttpResponse>) {
    where.set_value(std::this_thread::get_id());
    called = true;
    throw std::runtime_error("thrown by a completion");
  });
  auto future = where.get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  EXPECT_NE(future.get(), std::this_thread::get_id());

  server.setReply("GET", "/v1/after", Reply::json("{}"));
  const auto after = perform(*session, HttpRequest(url(server.origin() + "/v1/after")));
  ASSERT_TRUE(after.result);
  EXPECT_TRUE(*after.result);
}

TEST_F(HttpSessionTest, NoCompletionAfterCancelReturns) {
  server.setReply("GET", "/v1/held", Reply::never());
  std::atomic<int> calls{0};
  const auto task = session->start(HttpRequest(url(server.origin() + "/v1/held")),
                                   [&](Result<HttpResponse>) { ++calls; });
  ASSERT_TRUE(server.waitForRequests(1));
  task.cancel();
  task.cancel();   // twice is harmless
  server.reset();  // the held request is answered by a closed connection

  // A later request on the same worker has its outcome; the cancelled one has none.
  server.setReply("GET", "/v1/next", Reply::json("{}"));
  ASSERT_TRUE(perform(*session, HttpRequest(url(server.origin() + "/v1/next"))).result);
  EXPECT_EQ(calls, 0);

  // A completion may cancel its own task.
  std::promise<void> done;
  std::promise<tessaline::platform::HttpTask> handed;
  std::shared_future<tessaline::platform::HttpTask> own = handed.get_future().share();
  handed.set_value(session->start(HttpRequest(url(server.origin() + "/v1/next")),
                                  [&done, own](Result<HttpResponse>) {
                                    own.get().cancel();
                                    done.set_value();
                                  }));
  EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
}

TEST_F(HttpSessionTest, DestroyingASessionDropsItsTransfersWithoutCompletions) {
  server.setReply("GET", "/v1/held", Reply::never());
  std::atomic<int> calls{0};
  session->start(HttpRequest(url(server.origin() + "/v1/held")),
                 [&](Result<HttpResponse>) { ++calls; });
  ASSERT_TRUE(server.waitForRequests(1));
  session.reset();  // joins the worker
  server.reset();
  EXPECT_EQ(calls, 0);
}

}  // namespace
