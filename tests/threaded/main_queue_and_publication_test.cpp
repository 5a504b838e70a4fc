// The main queue, the notification center and published values: order, threads, and callbacks
// that change their own subscriptions.
#include <Tessaline/Published.h>
#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessaline::platform {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

NotificationCenter& center() {
  return NotificationCenter::defaultCenter();
}

TEST(MainQueueTest, RunsTasksFirstInFirstOutOnLaterTurns) {
  std::vector<int> order;
  MainQueue::async([] { throw std::runtime_error("thrown by a task"); });
  MainQueue::async([&] {
    order.push_back(1);
    MainQueue::async([&] { order.push_back(3); });
    order.push_back(static_cast<int>(order.size()) == 1 ? 10 : -1);  // not run inline
  });
  MainQueue::async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainQueue::drain(), 4u);
  EXPECT_EQ(order, (std::vector<int>{1, 10, 2, 3}));
  EXPECT_FALSE(MainQueue::drainUntil([] { return false; }, 50ms));

  Strings delayed;
  MainQueue::asyncAfter(1h, [&] { delayed.push_back("much later"); });
  MainQueue::asyncAfter(30ms, [&] { delayed.push_back("later"); });
  MainQueue::asyncAfter(0ms, [&] { delayed.push_back("soon"); });
  EXPECT_TRUE(delayed.empty());
  ASSERT_TRUE(MainQueue::drainUntil([&] { return delayed.size() >= 2; }, 30s));
  EXPECT_EQ(delayed, (Strings{"soon", "later"}));

  // A stop() made while no run() is in progress does not end a later one.
  MainQueue::stop();
  int counted = 0;
  MainQueue::async([&] { ++counted; });
  MainQueue::async([] { MainQueue::stop(); });
  MainQueue::run();
  EXPECT_EQ(counted, 1);
}

// Tasks, notifications and assignments from four threads while another adds and removes observers
// and subscribers: tasks and notifications run on the main thread in each thread's order, none is
// lost, values are delivered on the setting thread, and nothing races (under ThreadSanitizer).
TEST(MainQueueTest, WorkFromOtherThreadsRunsOnTheMainThreadInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<int>> tasks(kThreads), posts(kThreads);  // touched on the main queue
  std::atomic<int> ran{0}, offMain{0}, deliveredOnMain{0};
  const auto mainThread = std::this_thread::get_id();
  const auto onMain = [&] {
    offMain += std::this_thread::get_id() == mainThread && MainQueue::isCurrent() ? 0 : 1;
    ++ran;
  };
  Published<int> value{-1};
  auto watch = value.subscribe(
      [&](const int&) { deliveredOnMain += std::this_thread::get_id() == mainThread ? 1 : 0; });
  auto steady = center().addObserver("test.busy", [&](const Notification& notification) {
    const int n = std::any_cast<int>(notification.object);
    posts[n / kEach].push_back(n % kEach);
    onMain();
  });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto passing = center().addObserver("test.busy", [](const Notification&) {});
      auto subscriber = value.subscribe([](const int&) {});
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        MainQueue::async([&, t, i] {
          tasks[t].push_back(i);
          onMain();
        });
        center().post("test.busy", t * kEach + i);
        value.set(i);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(ran, 0) << "nothing runs on the posting threads";
  EXPECT_EQ(deliveredOnMain, 1) << "only the current value, when subscribing";
  EXPECT_EQ(value.get(), kEach - 1) << "the last assignment is every thread's last";
  const bool done = MainQueue::drainUntil([&] { return ran == 2 * kThreads * kEach; }, 60s);
  stop = true;
  churn.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(offMain, 0);
  std::vector<int> expected(kEach);
  std::iota(expected.begin(), expected.end(), 0);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(tasks[t], expected);
    EXPECT_EQ(posts[t], expected);
  }
}

// The waiting tasks go to a new executor first, also ahead of one queued while they are handed
// over; it never runs a task inside async(); an empty executor returns to the built-in queue.
TEST(MainQueueTest, AnExecutorGetsTheWaitingTasksFirstThenTheNewOnes) {
  Strings ran;
  MainQueue::async([&] { ran.push_back("first"); });
  MainQueue::async([&] { ran.push_back("second"); });
  std::vector<MainQueue::Task> handed;
  MainQueue::setExecutor([&](MainQueue::Task task) {
    if (handed.empty()) {
      // Stands for a thread that queues a task while the waiting ones are handed over.
      MainQueue::async([&] { ran.push_back("queued meanwhile"); });
    }
    handed.push_back(std::move(task));
  });
  bool current = false;
  MainQueue::async([&] {
    current = MainQueue::isCurrent();
    ran.push_back("new");
  });
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(MainQueue::drain(), 0u);
  MainQueue::setExecutor({});
  for (std::size_t i = 0; i < handed.size(); ++i) {  // the host's loop
    handed[i]();
  }
  EXPECT_EQ(ran, (Strings{"first", "second", "queued meanwhile", "new"}));
  EXPECT_TRUE(current);
  MainQueue::async([&] { ran.push_back("back in the queue"); });
  EXPECT_EQ(MainQueue::drain(), 1u);
  EXPECT_EQ(ran.back(), "back in the queue");
}

// On the main queue a post calls the observers of its name before it returns, in the order they
// were added; an observer that throws stops no one. One added during a delivery is not part of it,
// one cancelled during it is not called, one that cancels itself lets go of what it captured as
// soon as its call ends.
TEST(NotificationCenterTest, PostingOnTheMainQueueCallsTheObserversOfItsNameBeforeItReturns) {
  std::vector<int> received;
  int others = 0, lateCalls = 0, selfCalls = 0;
  std::optional<Cancellable> late;
  Cancellable cancelled;
  auto self = std::make_shared<Cancellable>();
  auto captured = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = captured;
  auto throwing = center().addObserver("test.number", [&](const Notification&) {
    cancelled.cancel();
    if (!late) {
      late = center().addObserver("test.number", [&](const Notification&) { ++lateCalls; });
    }
    throw std::runtime_error("observer failed");
  });
  cancelled = center().addObserver("test.number", [&](const Notification&) { ++others; });
  auto handle = center().addObserver("test.number", [&](const Notification& notification) {
    EXPECT_EQ(notification.name, "test.number");
    received.push_back(std::any_cast<int>(notification.object));
  });
  *self = center().addObserver("test.number", [&, self, captured](const Notification&) {
    ++selfCalls;
    self->cancel();
  });
  self.reset();
  captured.reset();
  auto other = center().addObserver("test.other", [&](const Notification&) { ++others; });
  bool done = false;
  MainQueue::async([&] {
    center().post("test.number", 7);
    EXPECT_EQ(received, std::vector<int>{7});
    EXPECT_EQ(lateCalls, 0);
    EXPECT_TRUE(watch.expired());
    center().post("test.number", 8);
    done = true;
  });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return done; }, 10s));
  EXPECT_EQ(received, (std::vector<int>{7, 8}));
  EXPECT_EQ(others, 0);
  EXPECT_EQ(lateCalls, 1);
  EXPECT_EQ(selfCalls, 1);
}

TEST(NotificationCenterTest, CancellingFromAnotherThreadWaitsForARunningCallback) {
  std::atomic<bool> inside{false}, cancelling{false}, finished{false};
  auto handle = center().addObserver("test.wait", [&](const Notification&) {
    inside = true;
    for (int i = 0; i < 1000 && !cancelling; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);  // lets the cancellation reach its wait
    finished = true;
  });
  std::atomic<bool> finishedWhenCancelReturned{false};
  std::thread canceller([&] {
    for (int i = 0; i < 10000 && !inside; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    cancelling = true;
    handle.cancel();
    finishedWhenCancelReturned = finished.load();
  });
  center().post("test.wait", {});
  MainQueue::drainUntil([&] { return finished.load(); }, 20s);
  canceller.join();
  EXPECT_TRUE(finishedWhenCancelReturned);
}

}  // namespace

// A subscriber gets the current value, then every assignment (an equal one too) after the change
// signal. From its callback it may assign, cancel itself or another and subscribe; a nested
// assignment supersedes the value being delivered (no stale 1 after the 2). A handle ends its
// subscription when cancelled (twice is harmless), destroyed or assigned over.
TEST(PublishedTest,
     SubscribersGetEveryAssignmentAfterTheSignalAndMayChangeThingsFromTheirCallback) {
  auto willChange = std::make_unique<Signal>();
  auto value = std::make_unique<Published<int>>(0, willChange.get());
  Strings events;
  std::vector<int> setter, other, late;
  auto announce =
      willChange->connect([&] { events.push_back("will change " + std::to_string(value->get())); });
  std::optional<Cancellable> self, lateHandle;
  Cancellable otherHandle;
  auto first = value->subscribe([&](const int& v) {
    setter.push_back(v);
    if (v == 1) {
      value->set(2);
    }
  });
  self = value->subscribe([&](const int& v) {
    events.push_back("value " + std::to_string(v));
    if (v == 3) {
      self.reset();  // destroys the handle, and with it this subscription, while it runs
      otherHandle.cancel();
      lateHandle = value->subscribe([&](const int& w) { late.push_back(w); });
    }
  });
  otherHandle = value->subscribe([&](const int& v) { other.push_back(v); });
  value->set(1);
  value->set(3);
  value->modify([](int& v) { v = 4; });
  value->set(4);
  announce.cancel();
  willChange->emit();
  EXPECT_EQ(events, (Strings{"value 0", "will change 0", "will change 1", "value 2",
                             "will change 2", "value 3", "will change 3", "will change 4"}));
  EXPECT_EQ(setter, (std::vector<int>{0, 1, 2, 3, 4, 4}));
  EXPECT_EQ(other, (std::vector<int>{0, 2}));    // cancelled before its turn for 3
  EXPECT_EQ(late, (std::vector<int>{3, 4, 4}));  // the current value once, not again from the 3

  int ended = 0, replacing = 0;
  {
    auto destroyed = value->subscribe([&](const int&) { ++ended; });
  }
  Cancellable slot = value->subscribe([&](const int&) { ++ended; });
  slot.cancel();
  slot.cancel();
  slot = value->subscribe([&](const int&) { ++ended; });
  slot = value->subscribe([&](const int&) { ++replacing; });
  value->set(5);
  EXPECT_EQ(ended, 3);  // the current value, to each of the three ended subscriptions
  EXPECT_EQ(replacing, 2);
  value.reset();
  willChange.reset();
  slot.cancel();
}

}  // namespace tessaline::platform
