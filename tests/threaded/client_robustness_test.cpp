// The service client with a service that acts on a POST but never answers it, and the thread on
// which what a caller captured is released.

#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/RequestIntegrity.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
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

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

// A plain-http service on loopback that answers every GET with "{}" on a kept-alive connection
// and, for any other request, reads the whole body and closes the connection without a byte of
// answer. It records each request with the connection it came on.
class SilentAfterBodyServer {
 public:
  struct Request {
    std::string head;  // request line and header fields
    std::string body;
    int connection = 0;
    std::string header(const std::string& name) const {
      const auto at = head.find("\r\n" + name + ": ");
      return at == std::string::npos
                 ? std::string()
                 : head.substr(at + name.size() + 4,
                               head.find("\r\n", at + 2) - (at + name.size() + 4));
    }
  };

  SilentAfterBodyServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the test server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept(); });
  }
  ~SilentAfterBodyServer() {
    stopping_ = true;
    acceptor_.join();
    for (auto& thread : connections_) {
      thread.join();
    }
    ::close(listener_);
  }

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  bool readable(int fd) const {
    for (int waited = 0; !stopping_ && waited < 10000; waited += 20) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 20) > 0) {
        return true;
      }
    }
    return false;
  }

  void accept() {
    int count = 0;
    while (readable(listener_)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        connections_.emplace_back([this, fd, index = ++count] { serve(fd, index); });
      }
    }
  }

  void serve(int fd, int index) {
    std::string received;
    char buffer[4096];
    for (;;) {
      const auto end = received.find("\r\n\r\n");
      Request request;
      if (end != std::string::npos) {
        request.head = received.substr(0, end + 2);
        const auto length = request.header("Content-Length");
        const std::size_t size = length.empty() ? 0 : std::stoul(length);
        if (received.size() >= end + 4 + size) {
          request.body = received.substr(end + 4, size);
          request.connection = index;
          received.erase(0, end + 4 + size);
          const bool get = request.head.starts_with("GET ");
          {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(request));
          }
          if (!get) {
            break;  // acted on, never answered
          }
          const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
          (void)!::write(fd, answer.data(), answer.size());
          continue;
        }
      }
      if (!readable(fd)) {
        break;
      }
      const auto count = ::read(fd, buffer, sizeof buffer);
      if (count <= 0) {
        break;
      }
      received.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // the acceptor's, until it has ended
};

template <class T>
Result<T> outcomeOf(const Deferred<T>& request) {
  auto promise = std::make_shared<std::promise<Result<T>>>();
  auto future = promise->get_future();
  auto value = std::make_shared<std::optional<T>>();
  const Cancellable handle = request.subscribe(
      [value](T answer) { *value = std::move(answer); },
      [promise, value](std::optional<Error> error) {
        promise->set_value(error ? Result<T>(*error) : Result<T>(std::move(**value)));
      });
  if (future.wait_for(60s) != std::future_status::ready) {
    return Error(Error::Kind::generic, "no outcome");
  }
  return future.get();
}

enum class Post { report, uploadFromMemory, uploadFromFile };

void PrintTo(Post post, std::ostream* out) {
  *out << static_cast<int>(post);
}

class UnansweredPostTest : public ::testing::TestWithParam<Post> {};

TEST_P(UnansweredPostTest, IsSentOnceWithItsKeyAndFails) {
  SilentAfterBodyServer server;
  ::setenv("TESSALINE_SERVICE_URL", server.baseURL().c_str(), 1);  // read once, by this test
  FeedbackAPIClient client("stable", Environment::current());
  testing::TemporaryDirectory directory;
  Feedback feedback;

  // A kept-alive connection that a POST could be sent on, and sent again from.
  ASSERT_FALSE(outcomeOf(client.fetchConfig()));
  std::string expectedKey = reportIdempotencyKey(feedback.localId);
  bool failed = false;
  if (GetParam() == Post::report) {
    failed = !outcomeOf(client.postReport(feedback, {}));
  } else {
    AttachmentData data = Bytes(std::string("hello"));
    if (GetParam() == Post::uploadFromFile) {
      data = std::make_shared<platform::OpenFile>(
          platform::OpenFile::open(directory.write("a.txt", "hello").string()).value());
    }
    failed = !outcomeOf(client.postAttachment(feedback, "a b", "txt", data));
    expectedKey = uploadIdempotencyKey(feedback.localId, "a b", sha256("hello"));
  }
  EXPECT_TRUE(failed) << "an unanswered POST is a failure, not a success";

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u) << "the POST was sent exactly once";
  EXPECT_NE(requests[1].connection, requests[0].connection) << "on a connection of its own";
  EXPECT_EQ(requests[1].header(std::string(kIdempotencyKeyField)), "\"" + expectedKey + "\"");
  EXPECT_EQ(expectedKey.size(), GetParam() == Post::report ? 36u : 64u);
  EXPECT_EQ(
      requests[1].header(std::string(kReprDigestField)),
      GetParam() == Post::report ? "" : "sha-256=:LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=:");
}

INSTANTIATE_TEST_SUITE_P(EveryPost, UnansweredPostTest,
                         ::testing::Values(Post::report, Post::uploadFromMemory,
                                           Post::uploadFromFile),
                         [](const auto& info) {
                           return std::string(info.param == Post::report ? "report"
                                              : info.param == Post::uploadFromMemory
                                                  ? "uploadFromMemory"
                                                  : "uploadFromFile");
                         });

TEST(UploadKeyTest, DiffersForOtherBytesOtherFilesAndOtherReports) {
  const Feedback feedback;
  const std::set<std::string> keys{uploadIdempotencyKey(feedback.localId, "a", sha256("x")),
                                   uploadIdempotencyKey(feedback.localId, "a", sha256("y")),
                                   uploadIdempotencyKey(feedback.localId, "b", sha256("x")),
                                   uploadIdempotencyKey(Feedback().localId, "a", sha256("x"))};
  EXPECT_EQ(keys.size(), 4u);
}

// Records the thread that destroys it.
struct Probe {
  struct Record {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
  };
  explicit Probe(std::shared_ptr<Record> record) : record(std::move(record)) {}
  ~Probe() {
    std::lock_guard lock(record->mutex);
    record->threads.push_back(std::this_thread::get_id());
  }
  std::shared_ptr<Record> record;
};

// Runs main-queue tasks until the predicate holds, also when it turns true on another thread.
bool waitFor(const std::function<bool()>& predicate) {
  for (int round = 0; round < 3000; ++round) {
    if (platform::MainQueue::drainUntil(predicate, 20ms)) {
      return true;
    }
  }
  return false;
}

enum class Operation { checkForUpdates, fetchConfig, postAttachment, postReport };

struct ReleaseCase {
  Operation operation;
  int calls;
};

void PrintTo(const ReleaseCase& c, std::ostream* out) {
  *out << c.calls << " calls";
}

class CapturedObjectTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(CapturedObjectTest, IsReleasedOnTheMainQueue) {
  testing::TestServer server(testing::TestServer::Options{.tls = false});
  ::setenv("TESSALINE_SERVICE_URL", server.baseURL().c_str(), 1);  // read once, by this test
  auto client = std::make_shared<FeedbackAPIClient>("stable", Environment::current());
  auto record = std::make_shared<Probe::Record>();
  auto released = [&] {
    std::lock_guard lock(record->mutex);
    return static_cast<int>(record->threads.size());
  };
  std::vector<Cancellable> handles;
  const Feedback feedback;
  for (int call = 0; call < GetParam().calls; ++call) {
    {
      auto probe = std::make_shared<Probe>(record);
      auto onValue = [probe](auto) {};
      auto onCompletion = [probe](std::optional<Error>) {};
      switch (GetParam().operation) {
        case Operation::checkForUpdates:
          client->checkForUpdates([probe](Result<UpdateCheckResponse>) {});
          break;
        case Operation::fetchConfig:
          handles.push_back(client->fetchConfig().subscribe(onValue, onCompletion));
          break;
        case Operation::postAttachment:
          handles.push_back(client->postAttachment(feedback, "f", "txt", Bytes(std::string("x")))
                                .subscribe(onValue, onCompletion));
          break;
        case Operation::postReport:
          handles.push_back(client->postReport(feedback, {}).subscribe(onValue, onCompletion));
          break;
      }
    }
    // A few calls in flight at once, as a host would make them.
    ASSERT_TRUE(waitFor([&] { return released() + 8 > call; }));
  }
  ASSERT_TRUE(waitFor([&] { return released() == GetParam().calls; }));
  std::lock_guard lock(record->mutex);
  for (const auto thread : record->threads) {
    ASSERT_EQ(thread, std::this_thread::get_id());
  }
}

std::string operationName(const ::testing::TestParamInfo<ReleaseCase>& info) {
  static const char* const kNames[] = {"checkForUpdates", "fetchConfig", "postAttachment",
                                       "postReport"};
  return kNames[static_cast<int>(info.param.operation)];
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, CapturedObjectTest,
                         ::testing::Values(ReleaseCase{Operation::checkForUpdates, 1000},
                                           ReleaseCase{Operation::fetchConfig, 100},
                                           ReleaseCase{Operation::postAttachment, 100},
                                           ReleaseCase{Operation::postReport, 100}),
                         operationName);

}  // namespace
}  // namespace tessaline
