#include <platform/SerialQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

TEST(SerialQueue, RunsTasksInOrderOnOneThreadOfItsOwn) {
  SerialQueue queue("FifoQueue", QualityOfService::userInitiated);
  EXPECT_EQ(queue.label(), "FifoQueue");
  EXPECT_EQ(queue.qualityOfService(), QualityOfService::userInitiated);
  EXPECT_FALSE(queue.isCurrent());

  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<bool> current{true};
  for (int i = 0; i < 500; ++i) {
    queue.async([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
      if (!queue.isCurrent()) {
        current = false;
      }
    });
  }
  flush(queue);

  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) {
    EXPECT_EQ(order[i], i);
  }
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads.front());
  }
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  EXPECT_TRUE(current);
}

TEST(SerialQueue, TasksQueuedFromSeveralThreadsAllRun) {
  SerialQueue queue("Producers", QualityOfService::utility);
  std::atomic<int> ran{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        queue.async([&] { ran.fetch_add(1); });
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  flush(queue);
  EXPECT_EQ(ran.load(), 400);
}

TEST(SerialQueue, ThrowingTaskDoesNotStopTheQueue) {
  SerialQueue queue("Throws", QualityOfService::userInitiated);
  bool after = false;
  queue.async([] { throw std::runtime_error("task failed"); });
  queue.async([&] { after = true; });
  flush(queue);
  EXPECT_TRUE(after);
}

TEST(SerialQueue, DestructionWaitsForTheRunningTask) {
  auto queue = std::make_unique<SerialQueue>("Joined", QualityOfService::userInitiated);
  std::promise<void> started;
  std::atomic<bool> finished{false};
  queue->async([&] {
    started.set_value();
    // Still busy while the test thread destroys the queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  });
  ASSERT_EQ(started.get_future().wait_for(kWait), std::future_status::ready);
  queue.reset();
  EXPECT_TRUE(finished);
}

TEST(SerialQueue, DestructionReleasesTasksThatDidNotRun) {
  auto queue = std::make_unique<SerialQueue>("Dropped", QualityOfService::userInitiated);
  std::promise<void> release;
  auto released = release.get_future().share();
  auto capture = std::make_shared<int>(0);
  queue->async([released] { released.wait_for(kWait); });
  for (int i = 0; i < 10; ++i) {
    queue->async([capture] {});
  }
  release.set_value();
  queue.reset();
  // Whatever had not started is gone, with everything it captured.
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
