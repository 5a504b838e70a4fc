// The service client against a service that acts on a POST but never answers it, and the thread
// on which what a caller captured is released. Each test reads the environment once, in a process
// of its own.
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/RequestIntegrity.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using testing::Reply;

// Whether a deferred request succeeds (bounded wait).
template <class T>
bool succeeds(const Deferred<T>& request) {
  auto done = std::make_shared<std::promise<bool>>();
  auto future = done->get_future();
  const Cancellable handle =
      request.subscribe(nullptr, [done](std::optional<Error> error) { done->set_value(!error); });
  return future.wait_for(60s) == std::future_status::ready && future.get();
}

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

// A POST goes on a connection of its own, so the client has nothing it could resend when the
// service acts on it but never answers: a report, an upload from memory and one from a file. What
// a caller's handlers captured is released on the main queue, whichever thread finished.
TEST(ClientOnLoopbackTest, UnansweredPostsAreSentOnceAndCapturesAreReleasedOnTheMainQueue) {
  testing::TestServer server(testing::TestServer::Options{.tls = false});
  ::setenv("TESSALINE_SERVICE_URL", server.baseURL().c_str(), 1);
  FeedbackAPIClient client("stable", Environment::current());
  testing::TemporaryDirectory directory;
  const Feedback feedback;
  const std::string uploadKey = uploadIdempotencyKey(feedback.localId, "a b", sha256("hello"));
  const std::string digest = "sha-256=:LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=:";
  const std::vector<std::pair<std::optional<AttachmentData>, std::string>> posts = {
      {Bytes(std::string("hello")), uploadKey},
      {std::make_shared<platform::OpenFile>(
           platform::OpenFile::open(directory.write("a.txt", "hello").string()).value()),
       uploadKey},
      {std::nullopt, reportIdempotencyKey(feedback.localId)},  // the report
  };
  for (const auto& [data, key] : posts) {
    server.reset();
    const auto unanswered = Reply::json("", 200, Reply::Action::closeUnanswered);
    server.setReply("POST", "/v1/attachments", unanswered);
    server.setReply("POST", "/v1/reports", unanswered);
    ASSERT_FALSE(succeeds(client.fetchConfig()));  // leaves a kept-alive connection to send on
    EXPECT_FALSE(data ? succeeds(client.postAttachment(feedback, "a b", "txt", *data))
                      : succeeds(client.postReport(feedback, {})));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << "the POST was sent exactly once";
    EXPECT_NE(requests[1].remotePort, requests[0].remotePort);
    EXPECT_EQ(requests[1].header("Idempotency-Key"), "\"" + key + "\"");
    EXPECT_EQ(requests[1].header("Repr-Digest"), data ? std::optional(digest) : std::nullopt);
  }

  server.reset();
  const std::pair<int, std::function<Cancellable(const Captured&)>> operations[] = {
      {1000,
       [&](const Captured& probe) {
         client.checkForUpdates([probe](Result<UpdateCheckResponse>) {});
         return Cancellable();
       }},
      {100, [&](const Captured& probe) { return holding(client.fetchConfig(), probe); }},
      {100,
       [&](const Captured& probe) {
         return holding(client.postAttachment(Feedback(), "f", "txt", Bytes(std::string("x"))),
                        probe);
       }},
      {100,
       [&](const Captured& probe) { return holding(client.postReport(Feedback(), {}), probe); }},
  };
  std::vector<Cancellable> handles;
  int calls = 0;
  for (const auto& [count, call] : operations) {
    for (int i = 0; i < count; ++i, ++calls) {
      handles.push_back(call(std::make_shared<Probe>()));
      // A few calls in flight at once, as a host would make them.
      ASSERT_TRUE(waitFor([&] { return released + 8 > calls; }));
    }
  }
  ASSERT_TRUE(waitFor([&] { return released == calls; }));
  EXPECT_EQ(releasedElsewhere, 0);
}

}  // namespace
}  // namespace tessaline
