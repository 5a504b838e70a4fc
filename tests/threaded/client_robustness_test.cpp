// The service client: the address it takes, a service that acts on a POST but never answers it,
// and the thread on which what a caller captured is released. Each test reads the environment
// once, in a process of its own.
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/RequestIntegrity.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
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

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

TEST(ServiceEnvironmentTest, AnOverrideThatIsNotAcceptableIsIgnoredWithAnErrorLine) {
  ::setenv("TESSALINE_SERVICE_URL", "http://feedback.example/v1", 1);
  platform::LogCapture capture;
  const Environment& current = Environment::current();
  EXPECT_EQ(current.baseURL().scheme(), "https");
  EXPECT_EQ(&Environment::current(), &current);
  const auto lines =
      capture.withFormat("Ignoring TESSALINE_SERVICE_URL %{public}@: %{public}@", "Environment");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, platform::LogLevel::error);
  EXPECT_EQ(
      lines[0].message,
      "Ignoring TESSALINE_SERVICE_URL http://feedback.example/v1: plain http is accepted only "
      "for this machine");
}

// A plain-http service on loopback, a thread per connection: it answers a GET with "{}" and keeps
// the connection; any other request it reads whole and then closes the connection without a
// byte of answer. It records each request head with its body and connection number.
class SilentAfterBodyServer {
 public:
  struct Request {
    std::string head, body;
    int connection;
  };

  SilentAfterBodyServer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the test server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (int count = 1; readable(listener_); ++count) {
        connections_.emplace_back(&SilentAfterBodyServer::serve, this,
                                  ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC), count);
      }
    });
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
    pollfd entry{fd, POLLIN, 0};
    for (int waited = 0; !stopping_ && waited < 10000; waited += 20) {
      if (::poll(&entry, 1, 20) > 0) {
        return true;
      }
    }
    return false;
  }

  void serve(int fd, int connection) {
    std::string in;
    char buffer[4096];
    for (;;) {
      const auto end = in.find("\r\n\r\n");
      const auto length = in.find("Content-Length: ");
      const std::size_t size =
          end != std::string::npos && length < end ? std::stoul(in.substr(length + 16)) : 0;
      if (end != std::string::npos && in.size() >= end + 4 + size) {
        {
          std::lock_guard lock(mutex_);
          requests_.push_back({in.substr(0, end + 2), in.substr(end + 4, size), connection});
        }
        const bool get = in.starts_with("GET ");
        in.erase(0, end + 4 + size);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
        if (!get || ::write(fd, answer.data(), answer.size()) < 0) {
          break;  // acted on, never answered
        }
        continue;
      }
      const auto count = readable(fd) ? ::read(fd, buffer, sizeof buffer) : 0;
      if (count <= 0) {
        break;
      }
      in.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
  }

  int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // the acceptor's until it has ended
};

// Whether a deferred request succeeds (bounded wait).
template <class T>
bool succeeds(const Deferred<T>& request) {
  auto done = std::make_shared<std::promise<bool>>();
  auto future = done->get_future();
  const Cancellable handle =
      request.subscribe(nullptr, [done](std::optional<Error> error) { done->set_value(!error); });
  return future.wait_for(60s) == std::future_status::ready && future.get();
}

struct PostCase {
  const char* name;
  bool file;  // an upload streamed from a file; nothing: the report
  bool upload;
};

void PrintTo(const PostCase& c, std::ostream* out) {
  *out << c.name;
}

class UnansweredPostTest : public ::testing::TestWithParam<PostCase> {};

// A POST goes on a connection of its own, so the client has nothing it could resend.
TEST_P(UnansweredPostTest, IsSentOnceWithItsKeyAndFails) {
  SilentAfterBodyServer server;
  ::setenv("TESSALINE_SERVICE_URL", server.baseURL().c_str(), 1);
  FeedbackAPIClient client("stable", Environment::current());
  testing::TemporaryDirectory directory;
  const Feedback feedback;
  ASSERT_FALSE(succeeds(client.fetchConfig()));  // leaves a kept-alive connection to send on
  std::string key = reportIdempotencyKey(feedback.localId);
  std::string digest;
  if (!GetParam().upload) {
    EXPECT_FALSE(succeeds(client.postReport(feedback, {})));
  } else {
    AttachmentData data = Bytes(std::string("hello"));
    if (GetParam().file) {
      data = std::make_shared<platform::OpenFile>(
          platform::OpenFile::open(directory.write("a.txt", "hello").string()).value());
    }
    EXPECT_FALSE(succeeds(client.postAttachment(feedback, "a b", "txt", data)));
    key = uploadIdempotencyKey(feedback.localId, "a b", sha256("hello"));
    digest = "\r\nRepr-Digest: sha-256=:LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=:\r\n";
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u) << "the POST was sent exactly once";
  EXPECT_NE(requests[1].connection, requests[0].connection);
  EXPECT_NE(requests[1].head.find("\r\nIdempotency-Key: \"" + key + "\"\r\n"), std::string::npos)
      << requests[1].head;
  EXPECT_NE(requests[1].head.find(digest), std::string::npos) << requests[1].head;
}

INSTANTIATE_TEST_SUITE_P(EveryPost, UnansweredPostTest,
                         ::testing::Values(PostCase{"report", false, false},
                                           PostCase{"uploadFromMemory", false, true},
                                           PostCase{"uploadFromFile", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Counts its releases, and those made off the main queue.
std::atomic<int> released{0};
std::atomic<int> releasedElsewhere{0};
struct Probe {
  ~Probe() {
    releasedElsewhere += platform::MainQueue::isCurrent() ? 0 : 1;
    ++released;
  }
};
using Captured = std::shared_ptr<Probe>;

// Runs main-queue tasks until the predicate holds, also when it turns true on another thread.
bool waitFor(const std::function<bool()>& predicate) {
  for (int round = 0; round < 3000; ++round) {
    if (platform::MainQueue::drainUntil(predicate, 20ms)) {
      return true;
    }
  }
  return false;
}

template <class T>
Cancellable holding(const Deferred<T>& request, const Captured& probe) {
  return request.subscribe([probe](auto) {}, [probe](std::optional<Error>) {});
}

struct ReleaseCase {
  const char* name;
  int calls;
  std::function<Cancellable(FeedbackAPIClient&, const Captured&)> call;
};

void PrintTo(const ReleaseCase& c, std::ostream* out) {
  *out << c.name;
}

class CapturedObjectTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(CapturedObjectTest, IsReleasedOnTheMainQueue) {
  testing::TestServer server(testing::TestServer::Options{.tls = false});
  ::setenv("TESSALINE_SERVICE_URL", server.baseURL().c_str(), 1);
  FeedbackAPIClient client("stable", Environment::current());
  std::vector<Cancellable> handles;
  for (int call = 0; call < GetParam().calls; ++call) {
    handles.push_back(GetParam().call(client, std::make_shared<Probe>()));
    // A few calls in flight at once, as a host would make them.
    ASSERT_TRUE(waitFor([&] { return released + 8 > call; }));
  }
  ASSERT_TRUE(waitFor([&] { return released == GetParam().calls; }));
  EXPECT_EQ(releasedElsewhere, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, CapturedObjectTest,
    ::testing::Values(ReleaseCase{"checkForUpdates", 1000,
                                  [](auto& client, auto& probe) {
                                    client.checkForUpdates([probe](Result<UpdateCheckResponse>) {});
                                    return Cancellable();
                                  }},
                      ReleaseCase{"fetchConfig", 100,
                                  [](auto& client, auto& probe) {
                                    return holding(client.fetchConfig(), probe);
                                  }},
                      ReleaseCase{"postAttachment", 100,
                                  [](auto& client, auto& probe) {
                                    return holding(client.postAttachment(Feedback(), "f", "txt",
                                                                         Bytes(std::string("x"))),
                                                   probe);
                                  }},
                      ReleaseCase{"postReport", 100,
                                  [](auto& client, auto& probe) {
                                    return holding(client.postReport(Feedback(), {}), probe);
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaline
