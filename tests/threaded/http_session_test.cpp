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
    session =
        std::make_unique<HttpSession>(tessaline::platform::HttpHeaders{{"User-Agent", "agent/1"}});
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
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_EQ(requests[0].remotePort, requests[1].remotePort) << "the connection was not kept";
}

TEST_F(HttpSessionTest, BodiesGoOutExactlyWithoutExpectOrAnInventedContentType) {
  server.setReply("POST", "/v1/upload", Reply::json("{}"));
  const std::string payload = patternOf(3 * 1024 * 1024);  // large enough for libcurl's Expect
  HttpRequest request(url(server.origin() + "/v1/upload"), "POST");
  request.body = Bytes(payload);
  const auto outcome = perform(*session, request);
  ASSERT_TRUE(outcome.result && *outcome.result);

  HttpRequest typed(url(server.origin() + "/v1/upload"), "POST");
  typed.headers = {{"Content-Type", "application/json"}, {"User-Agent", "override"}};
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
}

TEST_F(HttpSessionTest, ControlCharactersNeverReachHeaderText) {
  server.setReply("GET", "/v1/h", Reply::json("{}"));
  HttpSession dirty(tessaline::platform::HttpHeaders{{"X-Agent", "a\r\nInjected: 1"}});
  ASSERT_TRUE(perform(dirty, HttpRequest(url(server.origin() + "/v1/h"))).result);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("X-Agent"), "aInjected: 1");
  EXPECT_FALSE(requests[0].header("Injected"));
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

TEST_F(HttpSessionTest, AFileThatShrankAfterOpeningFailsItsUpload) {
  tessaline::testing::TemporaryDirectory directory;
  const auto path = directory.write("shrinks.bin", patternOf(1024 * 1024));
  auto opened = OpenFile::open(path.string());
  ASSERT_TRUE(opened);
  auto file = std::make_shared<OpenFile>(std::move(opened).value());
  std::filesystem::resize_file(path, 1000);

  server.setReply("POST", "/v1/file", Reply::json("{}"));
  HttpRequest request(url(server.origin() + "/v1/file"), "POST");
  request.body = file;
  const auto outcome = perform(*session, request);
  ASSERT_TRUE(outcome.result);
  ASSERT_FALSE(*outcome.result);
  EXPECT_EQ(outcome.result->error().kind(), Error::Kind::fileSystem);
  EXPECT_NE(outcome.result->error().description().find("became shorter"), std::string::npos);
}

TEST_F(HttpSessionTest, AResponseOverTheCapFails) {
  Reply huge;
  huge.generatedBodySize = HttpSession::kMaxResponseBodySize + 1;
  server.setReply("GET", "/v1/huge", huge);
  const auto outcome = perform(*session, HttpRequest(url(server.origin() + "/v1/huge")));
  ASSERT_TRUE(outcome.result);
  ASSERT_FALSE(*outcome.result);
  EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport);
  EXPECT_NE(outcome.result->error().description().find("64 MiB"), std::string::npos);
}

TEST_F(HttpSessionTest, ARefusedPortIsATransportError) {
  std::string closedOrigin;
  {
    TestServer gone;
    closedOrigin = gone.origin();
  }
  const auto outcome = perform(*session, HttpRequest(url(closedOrigin + "/v1/config")));
  ASSERT_TRUE(outcome.result);
  ASSERT_FALSE(*outcome.result);
  EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport);
}

TEST_F(HttpSessionTest, AnUntrustedCertificateIsATransportError) {
  TestServer untrusted(TestServer::Options{.tls = true, .trustedCertificate = false});
  untrusted.setReply("GET", "/v1/config", Reply::json("{}"));
  const auto outcome = perform(*session, HttpRequest(url(untrusted.origin() + "/v1/config")));
  ASSERT_TRUE(outcome.result);
  ASSERT_FALSE(*outcome.result);
  EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport);
  EXPECT_TRUE(untrusted.requests().empty());
}

TEST_F(HttpSessionTest, AServerThatStopsAnsweringOrDropsTheConnectionGivesATransportError) {
  tessaline::platform::detail::setRequestTimeoutOverride(1s);
  server.setReply("GET", "/v1/silent", Reply::never());
  server.setReply("GET", "/v1/dropped", Reply::drop());
  for (const char* path : {"/v1/silent", "/v1/dropped"}) {
    const auto outcome = perform(*session, HttpRequest(url(server.origin() + path)));
    ASSERT_TRUE(outcome.result) << path;
    ASSERT_FALSE(*outcome.result) << path;
    EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport) << path;
  }
  server.reset();
}

TEST_F(HttpSessionTest, OnlyHttpsAndLoopbackHttpAreSpoken) {
  // Refused before any traffic: no name lookup, no connection.
  for (const char* text : {"http://192.0.2.1/v1/config", "http://feedback.example/v1",
                           "ftp://127.0.0.1/file", "file:///etc/passwd"}) {
    const auto outcome = perform(*session, HttpRequest(url(text)));
    ASSERT_TRUE(outcome.result) << text;
    ASSERT_FALSE(*outcome.result) << text;
    EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport) << text;
  }

  TestServer plain(TestServer::Options{.tls = false});
  plain.setReply("GET", "/v1/config", Reply::json("{}"));
  const auto local = perform(*session, HttpRequest(url(plain.origin() + "/v1/config")));
  ASSERT_TRUE(local.result);
  EXPECT_TRUE(*local.result);
  const auto named =
      perform(*session,
              HttpRequest(url("http://localhost:" + std::to_string(plain.port()) + "/v1/config")));
  ASSERT_TRUE(named.result);
  EXPECT_TRUE(*named.result) << named.result->error().description();
}

TEST_F(HttpSessionTest, RedirectsStayOnTheirSchemeAndAreLimited) {
  TestServer plain(TestServer::Options{.tls = false});
  plain.setReply("GET", "/v1/target", Reply::json("{}"));

  Reply toPlain = Reply::json("", 302);
  toPlain.headers = {{"Location", plain.origin() + "/v1/target"}};
  server.setReply("GET", "/v1/downgrade", toPlain);
  Reply moved = Reply::json("", 301);
  moved.headers = {{"Location", server.origin() + "/v1/new"}};
  server.setReply("GET", "/v1/old", moved);
  server.setReply("GET", "/v1/new", Reply::json(R"({"moved":true})"));
  Reply loop = Reply::json("", 302);
  loop.headers = {{"Location", server.origin() + "/v1/loop"}};
  server.setReply("GET", "/v1/loop", loop);

  const auto downgrade = perform(*session, HttpRequest(url(server.origin() + "/v1/downgrade")));
  ASSERT_TRUE(downgrade.result);
  EXPECT_FALSE(*downgrade.result);
  EXPECT_TRUE(plain.requests().empty());

  const auto followed = perform(*session, HttpRequest(url(server.origin() + "/v1/old")));
  ASSERT_TRUE(followed.result && *followed.result);
  EXPECT_EQ(followed.result->value().body.str(), R"({"moved":true})");

  server.reset();
  server.setReply("GET", "/v1/loop", loop);
  const auto looping = perform(*session, HttpRequest(url(server.origin() + "/v1/loop")));
  ASSERT_TRUE(looping.result);
  EXPECT_FALSE(*looping.result);
  EXPECT_EQ(server.requests().size(), 6u);  // the request and five redirects
}

TEST_F(HttpSessionTest, AnswersWithoutABodyAreToldFromEmptyOnes) {
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
