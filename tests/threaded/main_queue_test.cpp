#include <platform/MainQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tessaline::platform::MainQueue;
using namespace std::chrono_literals;

// Tasks run in order on later turns; one that throws leaves no other; a wait is bounded.
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
  EXPECT_EQ(MainQueue::drain(), 0u);
  EXPECT_FALSE(MainQueue::drainUntil([] { return false; }, 50ms));
}

TEST(MainQueueTest, TasksFromOtherThreadsRunOnTheMainThreadInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kTasks = 200;
  std::vector<std::vector<int>> seen(kThreads);  // touched only by main-queue tasks
  std::atomic<int> ran{0};
  std::atomic<bool> allOnMain{true};
  const auto mainThread = std::this_thread::get_id();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        MainQueue::async([&, t, i] {
          if (std::this_thread::get_id() != mainThread || !MainQueue::isCurrent()) {
            allOnMain = false;
          }
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  const bool done = MainQueue::drainUntil([&] { return ran == kThreads * kTasks; }, 60s);
  for (auto& thread : threads) {
    thread.join();
  }
  ASSERT_TRUE(done);
  EXPECT_TRUE(allOnMain);
  std::vector<int> expected(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    expected[i] = i;
  }
  for (const auto& perThread : seen) {
    EXPECT_EQ(perThread, expected);
  }
}

TEST(MainQueueTest, DelayedTasksRunOnTheMainQueueInOrderOfDueTime) {
  std::vector<std::string> order;
  MainQueue::asyncAfter(1h, [&] { order.push_back("much later"); });
  MainQueue::asyncAfter(30ms, [&] { order.push_back("later"); });
  MainQueue::asyncAfter(0ms, [&] { order.push_back("soon"); });
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(MainQueue::drainUntil([&] { return order.size() >= 2; }, 30s));
  EXPECT_EQ(order, (std::vector<std::string>{"soon", "later"}));
}

TEST(MainQueueTest, ExecutorReceivesWaitingAndNewTasksAndNeverRunsThemInsideAsync) {
  std::vector<std::string> order;
  MainQueue::async([&] { order.push_back("queued before"); });

  std::mutex mutex;
  std::vector<MainQueue::Task> handed;
  MainQueue::setExecutor([&](MainQueue::Task task) {
    std::lock_guard lock(mutex);
    handed.push_back(std::move(task));
  });
  bool current = false;
  MainQueue::async([&] {
    current = MainQueue::isCurrent();
    order.push_back("queued after");
  });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainQueue::drain(), 0u);  // nothing left in the built-in queue

  std::vector<MainQueue::Task> tasks;
  {
    std::lock_guard lock(mutex);
    tasks.swap(handed);
  }
  ASSERT_EQ(tasks.size(), 2u);
  for (auto& task : tasks) {
    task();  // the host's loop
  }
  EXPECT_EQ(order, (std::vector<std::string>{"queued before", "queued after"}));
  EXPECT_TRUE(current);

  MainQueue::setExecutor({});
  MainQueue::async([&] { order.push_back("back in the queue"); });
  EXPECT_EQ(MainQueue::drain(), 1u);
  EXPECT_EQ(order.back(), "back in the queue");
}

TEST(MainQueueTest, RunReturnsAfterStopFromAnotherThread) {
  std::atomic<int> ran{0};
  std::thread other([&] {
    MainQueue::async([&] { ++ran; });
    MainQueue::async([] { MainQueue::stop(); });
  });
  MainQueue::run();
  other.join();
  EXPECT_EQ(ran, 1);
}

}  // namespace
