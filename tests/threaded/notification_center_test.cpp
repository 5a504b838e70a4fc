#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaline::platform {
namespace {

using namespace std::chrono_literals;

NotificationCenter& center() {
  return NotificationCenter::defaultCenter();
}

// On the main queue a post calls the observers of its name before it returns; an observer that
// throws stops no one, and a destroyed handle hears nothing.
TEST(NotificationCenterTest, PostingOnTheMainQueueCallsTheObserversOfItsNameBeforeItReturns) {
  std::vector<int> received;
  int other = 0;
  int gone = 0;
  auto throwing = center().addObserver(
      "test.number", [&](const Notification&) { throw std::runtime_error("observer failed"); });
  auto handle = center().addObserver("test.number", [&](const Notification& notification) {
    EXPECT_EQ(notification.name, "test.number");
    received.push_back(std::any_cast<int>(notification.object));
  });
  auto c = center().addObserver("test.other", [&](const Notification&) { ++other; });
  {
    auto destroyed = center().addObserver("test.number", [&](const Notification&) { ++gone; });
  }
  bool deliveredInsidePost = false;
  bool done = false;
  MainQueue::async([&] {
    center().post("test.number", 7);
    deliveredInsidePost = received == std::vector<int>{7};
    done = true;
  });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return done; }, 10s));
  EXPECT_TRUE(deliveredInsidePost);
  EXPECT_EQ(other + gone, 0);
}

TEST(NotificationCenterTest, PostingFromAnotherThreadCallsObserversOnTheMainQueue) {
  std::atomic<int> calls{0};
  std::atomic<bool> onMainQueue{false};
  std::thread::id callingThread;
  auto handle = center().addObserver("test.remote", [&](const Notification& notification) {
    onMainQueue = MainQueue::isCurrent();
    callingThread = std::this_thread::get_id();
    EXPECT_EQ(std::any_cast<std::string>(notification.object), "payload");
    ++calls;
  });
  std::thread poster([] { center().post("test.remote", std::string("payload")); });
  poster.join();
  EXPECT_EQ(calls, 0);  // not on the posting thread

  ASSERT_TRUE(MainQueue::drainUntil([&] { return calls == 1; }, 10s));
  EXPECT_TRUE(onMainQueue);
  EXPECT_EQ(callingThread, std::this_thread::get_id());
}

TEST(NotificationCenterTest, AnObserverCanCancelItselfInsideItsCallback) {
  auto handle = std::make_shared<Cancellable>();
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  int calls = 0;
  *handle = center().addObserver("test.self", [&, handle, captured](const Notification&) {
    ++calls;
    handle->cancel();
  });
  handle.reset();
  captured.reset();
  bool done = false;
  MainQueue::async([&] {
    center().post("test.self", {});
    // The observer let go of what it captured as soon as its last call ended.
    EXPECT_TRUE(watch.expired());
    center().post("test.self", {});
    done = true;
  });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return done; }, 10s));
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, ObserversAddedOrCancelledDuringADeliveryTakeEffectAtOnce) {
  int lateCalls = 0;
  int cancelledCalls = 0;
  Cancellable late;
  Cancellable cancelled;
  bool added = false;
  auto first = center().addObserver("test.change", [&](const Notification&) {
    cancelled.cancel();
    if (!added) {
      added = true;
      late = center().addObserver("test.change", [&](const Notification&) { ++lateCalls; });
    }
  });
  cancelled = center().addObserver("test.change", [&](const Notification&) { ++cancelledCalls; });
  bool done = false;
  MainQueue::async([&] {
    center().post("test.change", {});
    EXPECT_EQ(lateCalls, 0);  // not part of the delivery that was under way
    center().post("test.change", {});
    done = true;
  });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return done; }, 10s));
  EXPECT_EQ(cancelledCalls, 0);
  EXPECT_EQ(lateCalls, 1);
}

TEST(NotificationCenterTest, CancellingFromAnotherThreadWaitsForARunningCallback) {
  std::atomic<bool> inside{false};
  std::atomic<bool> cancelling{false};
  std::atomic<bool> finished{false};
  auto handle =
      std::make_shared<Cancellable>(center().addObserver("test.wait", [&](const Notification&) {
        inside = true;
        for (int i = 0; i < 1000 && !cancelling; ++i) {
          std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);  // lets the cancellation reach its wait
        finished = true;
      }));
  std::atomic<bool> finishedWhenCancelReturned{false};
  std::thread canceller([&] {
    for (int i = 0; i < 10000 && !inside; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    cancelling = true;
    handle->cancel();
    finishedWhenCancelReturned = finished.load();
  });
  center().post("test.wait", {});
  MainQueue::drainUntil([&] { return finished.load(); }, 20s);
  canceller.join();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(finishedWhenCancelReturned);
}

TEST(NotificationCenterTest, ConcurrentPostsAndObserverChangesLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kPosts = 200;
  std::atomic<int> calls{0};
  auto steady = center().addObserver("test.busy", [&](const Notification&) { ++calls; });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto passing = center().addObserver("test.busy", [](const Notification&) {});
    }
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([t] {
      for (int i = 0; i < kPosts; ++i) {
        center().post("test.busy", t * kPosts + i);
      }
    });
  }
  const bool all = MainQueue::drainUntil([&] { return calls == kThreads * kPosts; }, 60s);
  for (auto& poster : posters) {
    poster.join();
  }
  stop = true;
  churn.join();
  EXPECT_TRUE(all);
  EXPECT_EQ(calls, kThreads * kPosts);
}

}  // namespace
}  // namespace tessaline::platform
