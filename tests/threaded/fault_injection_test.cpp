// Faults of the network and of the files met by the whole submission pipeline, against real
// servers on loopback: each must end the pipeline the documented way (an upload left out, a report
// failed and retried), never in a crash, a hang or a leak.
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/HttpSession.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/detail/HttpTesting.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using State = FeedbackFormViewModel::State;
using json = nlohmann::json;
using testing::Reply;
using testing::TestServer;

// Every wait of a connection ends by this time at the latest.
constexpr auto kLongestWait = 30s;

std::string patternOf(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  }
  return data;
}

// The answer of the attachments endpoint for an upload whose fileId is `fileId`.
std::string uploadAnswer(const std::string& fileId) {
  return json{{"localId", "L"}, {"attachmentId", "A-" + fileId}, {"name", fileId}}.dump();
}

// The fileId of an upload's raw query ("fileId=keep&localId=...").
std::string fileIdOf(const std::string& query) {
  if (!query.starts_with("fileId=")) {
    return "";
  }
  return query.substr(7, query.find('&') - 7);
}

// A bare HTTP/1.1 server over plain TCP on 127.0.0.1, for the faults an HTTP library will not
// produce on request: a connection cut inside a request body, an answer that stops halfway, a body
// held while the test changes the file being sent. One request per connection; every answer says
// "Connection: close". Small socket buffers, so that a client cannot push megabytes ahead.
class FaultServer {
 public:
  // One request as far as it arrived.
  struct Received {
    std::string method;
    std::string target;
    std::string path;
    std::string query;
    std::size_t contentLength = 0;
    std::string body;             // the body bytes that arrived
    bool answered = false;        // a whole answer went out
    bool closedByClient = false;  // the client ended the connection while the server waited
  };

  class Exchange {
   public:
    Exchange(FaultServer& server, int socket, Received& request, std::string early)
        : server_(server), socket_(socket), request_(request) {
      request_.body = std::move(early);
    }
    const Received& request() const { return request_; }
    std::size_t missingBodyBytes() const {
      return request_.contentLength > request_.body.size()
                 ? request_.contentLength - request_.body.size()
                 : 0;
    }

    // Reads until `count` body bytes have arrived in all; false when the connection ended first.
    bool readBodyUpTo(std::size_t count) {
      count = std::min(count, request_.contentLength);
      char buffer[16 * 1024];
      while (request_.body.size() < count) {
        const auto got =
            server_.receive(socket_, buffer, std::min(sizeof buffer, count - request_.body.size()));
        if (got <= 0) {
          return false;
        }
        request_.body.append(buffer, static_cast<std::size_t>(got));
      }
      return true;
    }
    bool readWholeBody() { return readBodyUpTo(request_.contentLength); }

    void send(std::string_view bytes) {
      while (!bytes.empty()) {
        const auto sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
          return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
      }
    }
    static std::string head(std::size_t contentLength) {
      return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(contentLength) + "\r\nConnection: close\r\n\r\n";
    }
    void answerJson(const std::string& body) {
      send(head(body.size()) + body);
      request_.answered = true;
    }
    // Sends the head and the first `sent` bytes of `body`, then nothing more until the client
    // gives up (or the server stops).
    void stallAnswer(const std::string& body, std::size_t sent) {
      send(head(body.size()) + body.substr(0, sent));
      char buffer[4096];
      for (;;) {
        const auto got = server_.receive(socket_, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != ETIMEDOUT && errno != ECANCELED)) {
          request_.closedByClient = true;
          return;
        }
        if (got < 0) {
          return;
        }
      }
    }

   private:
    FaultServer& server_;
    int socket_;
    Received& request_;
  };

  using Handler = std::function<void(Exchange&)>;

  FaultServer() {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const int small = 64 * 1024;  // inherited by the accepted connections
    ::setsockopt(listening_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(listening_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listening_ < 0 ||
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening_, SOMAXCONN) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the fault server cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptConnections(); });
  }

  ~FaultServer() {
    stopping_ = true;
    acceptor_.join();
    std::vector<std::thread> connections;
    {
      std::lock_guard lock(mutex_);
      connections.swap(connections_);
    }
    for (auto& connection : connections) {
      connection.join();
    }
    ::close(listening_);
  }
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

  // Requests to `path` (without the query) go to the handler; others get a 404.
  void setHandler(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[path] = std::move(handler);
  }

  // Waits until no connection is being served; false when the time-out passed first.
  bool waitUntilIdle(std::chrono::milliseconds timeout = kLongestWait) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return active_ == 0; });
  }
  // The requests whose connections have ended, in that order.
  std::vector<Received> requests() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  std::vector<Received> requestsTo(const std::string& path) const {
    auto all = requests();
    std::erase_if(all, [&](const Received& request) { return request.path != path; });
    return all;
  }

 private:
  // Waits for readable data at most until the server stops or kLongestWait passes; like recv(),
  // with -1 and errno ETIMEDOUT / ECANCELED for those two.
  ssize_t receive(int socket, char* buffer, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    for (;;) {
      if (stopping_) {
        errno = ECANCELED;
        return -1;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        errno = ETIMEDOUT;
        return -1;
      }
      pollfd ready{socket, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        return ::recv(socket, buffer, size, 0);
      }
    }
  }

  void acceptConnections() {
    while (!stopping_) {
      pollfd ready{listening_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) {
        continue;
      }
      const int socket = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) {
        continue;
      }
      std::lock_guard lock(mutex_);
      ++active_;
      connections_.emplace_back([this, socket] { serve(socket); });
    }
  }

  void serve(int socket) {
    Received request;
    std::string early = readHead(socket, request);
    if (!request.method.empty()) {
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        if (const auto found = handlers_.find(request.path); found != handlers_.end()) {
          handler = found->second;
        }
      }
      Exchange exchange(*this, socket, request, std::move(early));
      if (handler) {
        handler(exchange);
      } else {
        exchange.readWholeBody();
        exchange.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      }
    }
    ::close(socket);
    {
      std::lock_guard lock(mutex_);
      if (!request.method.empty()) {
        finished_.push_back(std::move(request));
      }
      --active_;
    }
    changed_.notify_all();
  }

  // Reads the request line and the header fields; returns the body bytes read with them.
  std::string readHead(int socket, Received& request) {
    std::string data;
    char buffer[4096];
    std::size_t end = std::string::npos;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
      const auto got = receive(socket, buffer, sizeof buffer);
      if (got <= 0) {
        return "";
      }
      data.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string head = data.substr(0, end);
    const auto firstSpace = head.find(' ');
    const auto secondSpace = head.find(' ', firstSpace + 1);
    request.method = head.substr(0, firstSpace);
    request.target = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (const auto field = lower.find("\r\ncontent-length:"); field != std::string::npos) {
      request.contentLength = std::stoull(head.substr(field + 17));
    }
    return data.substr(end + 4);
  }

  int listening_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Handler> handlers_;
  std::vector<std::thread> connections_;
  std::vector<Received> finished_;
  int active_ = 0;
};

// The usual service: every upload and report is answered at once.
void answerNormally(FaultServer& server, const std::string& reportId = "R-1") {
  server.setHandler("/v1/attachments", [](FaultServer::Exchange& exchange) {
    if (exchange.readWholeBody()) {
      exchange.answerJson(uploadAnswer(fileIdOf(exchange.request().query)));
    }
  });
  server.setHandler("/v1/reports", [reportId](FaultServer::Exchange& exchange) {
    if (exchange.readWholeBody()) {
      exchange.answerJson(json{{"id", reportId}}.dump());
    }
  });
}

void answerNormally(TestServer& server, const std::string& reportId = "R-1") {
  server.setHandler("POST", "/v1/attachments", [](const testing::RecordedRequest& request) {
    return Reply::json(uploadAnswer(fileIdOf(request.query)));
  });
  server.setReply("POST", "/v1/reports", Reply::json(json{{"id", reportId}}.dump()));
}

std::string thanks(const std::string& id) {
  return "Thank you for sending your feedback!\nIt was assigned the ID " + id + ".";
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
  }
  void TearDown() override {
    platform::MainQueue::drain();
    platform::detail::setRequestTimeoutOverride(std::nullopt);
  }

  // Points the process's service address at `baseURL` and makes a loaded form with a subject and
  // a message. The address is read once per process, so every case runs in its own (as CTest
  // runs them).
  void makeModel(const std::string& baseURL, bool loaded = true) {
    testing::trustTestCertificateAuthority();
    setenv("TESSALINE_SERVICE_URL", baseURL.c_str(), 1);
    ASSERT_EQ(Environment::current().baseURL().absoluteString(), baseURL)
        << "the service address was read before; run each case in its own process (ctest)";
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    if (loaded) {
      auto config = testing::acceptingConfig();
      config.maxAttachmentSize = 64 * 1024 * 1024;
      FormModelTestAccess::applyConfig(*model_, config);
    }
    model_->subject.set("Subject");
    model_->message.set("Word");
  }

  // Adds a file attachment whose fileId on the wire is the file's name without its extension.
  std::filesystem::path attach(const std::string& name, const std::string& contents) {
    const auto path = dir_.write(name, contents);
    const auto url = Url::fileURL(path.string());
    EXPECT_TRUE(model_->addCustomAttachment(
        ReportAttachment(url.deletingPathExtensionOfLastComponent(), ReportAttachment::file(url),
                         url.pathExtension())));
    return path;
  }

  bool waitForEnd() {
    return platform::MainQueue::drainUntil([&] {
      const auto kind = model_->state.get().kind();
      return kind == State::Case::submitted || kind == State::Case::failed;
    });
  }
  void expectGenericFailure() {
    const State state = model_->state.get();
    ASSERT_EQ(state.kind(), State::Case::failed) << state.description();
    EXPECT_EQ(state.failure()->kind, FeedbackFormViewModel::Failure::Kind::generic);
    EXPECT_FALSE(state.failure()->message.empty());
    EXPECT_EQ(model_->stateDescription.get(), "");
  }
  void expectSubmitted(const std::string& id) {
    EXPECT_EQ(model_->state.get(), State::submitted()) << model_->state.get().description();
    EXPECT_EQ(model_->stateDescription.get(), thanks(id));
  }

  testing::TemporaryDirectory dir_;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

json attachmentsOf(const std::string& reportBody) {
  return json::parse(reportBody)["attachments"];
}
const json kOnlyKeep = json::parse(R"([{"id":"A-keep","name":"keep"}])");

// The attachment lists of the reports the server received, in order.
std::vector<json> reportedAttachments(const TestServer& server) {
  std::vector<json> lists;
  for (const auto& request : server.requests()) {
    if (request.path == "/v1/reports") {
      lists.push_back(attachmentsOf(request.body));
    }
  }
  return lists;
}

// A temporary redirect to the same target on another server.
Reply redirectTo(const TestServer& other, const std::string& target) {
  Reply moved = Reply::json("", 307);
  moved.headers = {{"Location", other.origin() + target}};
  return moved;
}

// Uploads broken on the wire each leave their file out of the report, which still goes out with
// the one that worked: a connection cut inside the body, an answer that stalls halfway (ended by
// the idle time-out, shortened to two seconds), and a file cut short while it uploads.
TEST_F(FaultInjectionTest, UploadsBrokenOnTheWireAreLeftOut) {
  platform::detail::setRequestTimeoutOverride(2s);
  FaultServer server;
  answerNormally(server);
  const std::string big = patternOf(16 * 1024 * 1024);
  std::filesystem::path bigPath;
  std::atomic<int> truncations{0};
  server.setHandler("/v1/attachments", [&](FaultServer::Exchange& exchange) {
    const auto fileId = fileIdOf(exchange.request().query);
    if (fileId == "cut") {
      exchange.readBodyUpTo(64 * 1024);  // then the connection closes mid-body
      return;
    }
    // The first bytes are here: the file shrinks under the sender, which cannot have read more
    // than its socket buffers hold.
    if (fileId == "big" && exchange.readBodyUpTo(64 * 1024)) {
      std::filesystem::resize_file(bigPath, 1000);
      ++truncations;
    }
    if (!exchange.readWholeBody()) {
      return;
    }
    const std::string answer = uploadAnswer(fileId);
    if (fileId == "stall") {
      exchange.stallAnswer(answer, answer.size() / 2);
    } else {
      exchange.answerJson(answer);
    }
  });
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("cut.bin", patternOf(4 * 1024 * 1024));
  attach("stall.txt", "stalls");
  bigPath = attach("big.bin", big);
  attach("keep.txt", "kept");

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  expectSubmitted("R-1");
  EXPECT_EQ(capture.count("Upload completed for %{public}@"), 4u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(truncations, 1);
  ASSERT_TRUE(server.waitUntilIdle());
  const auto reports = server.requestsTo("/v1/reports");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(attachmentsOf(reports[0].body), kOnlyKeep);
  std::map<std::string, int> seen;
  for (const auto& upload : server.requestsTo("/v1/attachments")) {
    const auto fileId = fileIdOf(upload.query);
    ++seen[fileId];
    if (fileId == "cut") {
      EXPECT_FALSE(upload.answered);
      EXPECT_LT(upload.body.size(), upload.contentLength);
    } else if (fileId == "stall") {
      EXPECT_TRUE(upload.closedByClient) << "the client gave up, not the server";
    } else if (fileId == "big") {
      EXPECT_EQ(upload.contentLength, big.size());
      EXPECT_FALSE(upload.answered);
      EXPECT_LT(upload.body.size(), big.size()) << "a whole body went out for a shorter file";
      EXPECT_TRUE(big.starts_with(upload.body)) << "bytes that the file never held were sent";
    }
  }
  EXPECT_GE(seen["cut"], 1);
  EXPECT_EQ(seen["stall"], 1);
  EXPECT_GE(seen["big"], 1);
}

// A stall of the idle time-out, shortened to two seconds: long enough for the exchanges that do
// answer on a loaded machine.
TEST_F(FaultInjectionTest, AReportAnswerThatStallsHalfwayFailsByTheIdleTimeOutAndRetrySucceeds) {
  platform::detail::setRequestTimeoutOverride(2s);
  FaultServer server;
  answerNormally(server);
  std::atomic<int> reports{0};
  server.setHandler("/v1/reports", [&](FaultServer::Exchange& exchange) {
    if (!exchange.readWholeBody()) {
      return;
    }
    if (reports++ == 0) {
      exchange.stallAnswer(R"({"id":"R-stalled"})", 3);
    } else {
      exchange.answerJson(R"({"id":"R-2"})");
    }
  });
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("keep.txt", "kept");

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_NE(model_->state.get().failure()->message.find("Timeout"), std::string::npos)
      << model_->state.get().failure()->message;
  EXPECT_EQ(capture.count("Report submission failed: %{public}@"), 1u);
  ASSERT_TRUE(server.waitUntilIdle());
  const auto stalled = server.requestsTo("/v1/reports");
  ASSERT_EQ(stalled.size(), 1u);
  EXPECT_TRUE(stalled[0].closedByClient) << "the client gave up, not the server";

  model_->retry();
  ASSERT_TRUE(waitForEnd());
  expectSubmitted("R-2");
  ASSERT_TRUE(server.waitUntilIdle());
  const auto all = server.requestsTo("/v1/reports");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(attachmentsOf(all[1].body), kOnlyKeep) << "each upload of the retry once";
  EXPECT_EQ(server.requestsTo("/v1/attachments").size(), 2u);
}

TEST_F(FaultInjectionTest, AServiceThatRestartsBeforeTheReportFailsItAndRetryReachesItAgain) {
  TestServer::Options options;
  options.keepAliveTimeout = 1s;  // stopping waits this long for connections the client keeps
  auto server = std::make_unique<TestServer>(options);
  const int port = server->port();
  answerNormally(*server);
  ASSERT_NO_FATAL_FAILURE(makeModel(server->baseURL()));
  attach("keep.txt", "kept");

  // The server goes away once the uploads are done, as the report phase begins.
  std::vector<testing::RecordedRequest> beforeRestart;
  bool stopped = false;
  std::vector<std::string> texts;
  auto watch = model_->stateDescription.subscribe([&](const std::string& text) {
    texts.push_back(text);
    if (text == "Submitting Report" && !stopped) {
      stopped = true;
      beforeRestart = server->requests();
      server.reset();
    }
  });
  texts.clear();
  model_->submit();
  ASSERT_TRUE(waitForEnd());
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_EQ(texts, (std::vector<std::string>{"Uploading Attachments", "Submitting Report", ""}));
  ASSERT_EQ(beforeRestart.size(), 1u);
  EXPECT_EQ(beforeRestart[0].path, "/v1/attachments");

  options.port = port;
  server = std::make_unique<TestServer>(options);
  ASSERT_EQ(server->port(), port);
  answerNormally(*server, "R-2");
  texts.clear();
  model_->retry();
  ASSERT_TRUE(waitForEnd());
  expectSubmitted("R-2");
  EXPECT_EQ(texts, (std::vector<std::string>{"Uploading Attachments", "Submitting Report",
                                             thanks("R-2")}));
  const auto requests = server->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/v1/attachments");
  EXPECT_EQ(requests[1].path, "/v1/reports");
  EXPECT_EQ(attachmentsOf(requests[1].body), kOnlyKeep);
}

constexpr std::size_t kHugeAnswer = 100 * 1024 * 1024;

TEST_F(FaultInjectionTest, AHugeConfigurationAnswerFailsTheLoadAtTheCap) {
  auto& server = testing::serviceServer();
  Reply huge;
  huge.generatedBodySize = kHugeAnswer;
  server.setReply("GET", "/v1/config", huge);
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL(), /*loaded=*/false));

  model_->loadForm();
  ASSERT_TRUE(platform::MainQueue::drainUntil(
      [&] { return model_->state.get().kind() == State::Case::failed; }));
  const State state = model_->state.get();
  EXPECT_EQ(state.failure()->kind, FeedbackFormViewModel::Failure::Kind::generic);
  EXPECT_NE(state.failure()->message.find("64 MiB"), std::string::npos) << state.failure()->message;
  EXPECT_TRUE(model_->reasons.get().empty());
}

// Uploads answered badly are left out: an answer of 100 MiB, a redirect to plain http, a
// redirect to a certificate for another host. A report redirected to plain http fails; the retry
// succeeds. Nothing reaches the servers redirected to.
TEST_F(FaultInjectionTest, UploadsAnsweredBadlyAreLeftOutAndARedirectedReportFails) {
  auto& server = testing::serviceServer();
  TestServer plain(TestServer::Options{.tls = false});
  TestServer other(TestServer::Options{.otherHostCertificate = true});
  answerNormally(plain);
  answerNormally(other);
  answerNormally(server);
  server.setHandler("POST", "/v1/attachments", [&](const testing::RecordedRequest& request) {
    const auto fileId = fileIdOf(request.query);
    Reply huge;
    huge.generatedBodySize = kHugeAnswer;
    return fileId == "huge"        ? huge
           : fileId == "moved"     ? redirectTo(plain, request.target)
           : fileId == "elsewhere" ? redirectTo(other, request.target)
                                   : Reply::json(uploadAnswer(fileId));
  });
  server.setReply("POST", "/v1/reports", redirectTo(plain, "/v1/reports"));
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  for (const char* name : {"huge.txt", "moved.txt", "elsewhere.txt", "keep.txt"}) {
    attach(name, name);
  }

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"R-2"})"));
  model_->retry();
  ASSERT_TRUE(waitForEnd());
  expectSubmitted("R-2");
  EXPECT_TRUE(plain.requests().empty());
  EXPECT_TRUE(other.requests().empty());
  EXPECT_EQ(reportedAttachments(server), (std::vector<json>{kOnlyKeep, kOnlyKeep}));
}

TEST_F(FaultInjectionTest, AServiceWithACertificateForAnotherHostFailsTheReport) {
  TestServer other(TestServer::Options{.otherHostCertificate = true});
  answerNormally(other);
  ASSERT_NO_FATAL_FAILURE(makeModel(other.baseURL()));
  platform::LogCapture capture;
  attach("keep.txt", "kept");

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_EQ(capture.count("Upload completed for %{public}@"), 1u);
  EXPECT_TRUE(other.requests().empty()) << "nothing passes a handshake with the wrong name";
}

}  // namespace
}  // namespace tessaline
