#include <platform/SerialQueue.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessaline::platform {
namespace {

constexpr auto kWait = std::chrono::seconds(30);

// Waits, bounded, until every task queued so far has run.
void flush(SerialQueue& queue) {
  std::promise<void> done;
  auto future = done.get_future();
  queue.async([&done] { done.set_value(); });
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
}

// Tasks run in order on one thread of the queue's own, also those queued from several threads at
// once; a task that throws does not stop the queue.
TEST(SerialQueue, RunsTasksInOrderOnOneThreadOfItsOwn) {
  SerialQueue queue("FifoQueue", QualityOfService::userInitiated);
  EXPECT_EQ(queue.label(), "FifoQueue");
  EXPECT_EQ(queue.qualityOfService(), QualityOfService::userInitiated);
  EXPECT_FALSE(queue.isCurrent());

  std::vector<std::vector<int>> order(4);  // per producer, touched only by tasks
  std::vector<std::thread::id> threads;
  std::atomic<bool> current{true};
  queue.async([] { throw std::runtime_error("task failed"); });
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        queue.async([&, t, i] {
          order[t].push_back(i);
          threads.push_back(std::this_thread::get_id());
          current = current && queue.isCurrent();
        });
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  flush(queue);
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, std::vector<std::vector<int>>(4, expected));
  EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 400);
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  EXPECT_TRUE(current);
}

// Destruction waits for the running task and releases the tasks that did not run, with what they
// captured.
TEST(SerialQueue, DestructionWaitsForTheRunningTaskAndDropsTheRest) {
  auto queue = std::make_unique<SerialQueue>("Joined", QualityOfService::userInitiated);
  std::promise<void> started;
  std::atomic<bool> finished{false};
  auto capture = std::make_shared<int>(0);
  queue->async([&] {
    started.set_value();
    // Still busy while the test thread destroys the queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  });
  for (int i = 0; i < 10; ++i) {
    queue->async([capture] {});
  }
  ASSERT_EQ(started.get_future().wait_for(kWait), std::future_status::ready);
  queue.reset();
  EXPECT_TRUE(finished);
  EXPECT_EQ(capture.use_count(), 1);
}

TEST(SerialQueue, MayBeDestroyedByItsOwnTask) {
  auto queue = std::make_unique<SerialQueue>("SelfDestroy", QualityOfService::background);
  std::promise<void> go;
  auto goFuture = go.get_future().share();
  std::promise<void> done;
  auto doneFuture = done.get_future();
  auto pendingCapture = std::make_shared<int>(0);
  std::atomic<bool> pendingRan{false};
  queue->async([&, goFuture] {
    goFuture.wait_for(kWait);
    queue.reset();  // on the queue's own worker
    done.set_value();
  });
  queue->async([&pendingRan, pendingCapture] { pendingRan = true; });
  go.set_value();

  ASSERT_EQ(doneFuture.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(queue, nullptr);
  // The task behind it was dropped by the destructor, so it can never run.
  EXPECT_EQ(pendingCapture.use_count(), 1);
  EXPECT_FALSE(pendingRan);
}

}  // namespace
}  // namespace tessaline::platform
