// Calls that race: terminate() from other threads while a process launches or is waited for,
// serial queues fed and destroyed from several threads.
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessaline::platform {
namespace {

constexpr auto kWait = std::chrono::seconds(30);

// terminate() from several threads while another waits: a tool that traps SIGTERM ends as it
// chooses; one that ignores it is killed once the grace has run out. Later calls are harmless.
TEST(ProcessTerminateTest, TerminateFromOtherThreadsEndsAWaitAndLaterCallsAreHarmless) {
  using enum Process::Termination::Reason;
  const std::tuple<std::string, Process::Termination::Reason, int, std::string> rows[] = {
      {testing::kStreamUntilTerminated, exit, 0,
       "x\x1e" + std::filesystem::current_path().string() + "\x1eterminated\n"},
      // SIGTERM stays ignored across exec, so the sleep itself ignores it.
      {"trap '' TERM\necho $$ > \"$0.pid\"\nexec sleep 60\n", uncaughtSignal, SIGKILL, ""}};
  for (const auto& [script, reason, status, output] : rows) {
    testing::TemporaryDirectory directory;
    const auto tool = testing::script(directory.path(), script);
    Process process(tool.string(), {"x"});
    process.setTerminationGrace(reason == exit ? Process::kDefaultTerminationGrace
                                               : std::chrono::milliseconds(200));
    ASSERT_TRUE(process.launch().ok());
    ASSERT_TRUE(testing::waitForMarker(tool.string() + ".pid"));  // its SIGTERM trap is in place
    std::vector<std::thread> terminators;
    for (int i = 0; i < 4; ++i) {
      terminators.emplace_back([&process] {
        for (int j = 0; j < 50; ++j) {
          process.terminate();
        }
      });
    }
    const auto termination = process.waitUntilExit();
    for (auto& thread : terminators) {
      thread.join();
    }
    process.terminate();  // reaped: nothing is signalled
    EXPECT_EQ(termination.reason, reason);
    EXPECT_EQ(termination.status, status);
    EXPECT_EQ(process.output().str(), output);
  }
}

// Tasks run in order on one thread of the queue's own, also those queued from several threads at
// once; a task that throws does not stop the queue.
TEST(SerialQueue, RunsTasksInOrderOnOneThreadOfItsOwn) {
  SerialQueue queue("FifoQueue", QualityOfService::userInitiated);
  EXPECT_EQ(queue.label(), "FifoQueue");
  EXPECT_EQ(queue.qualityOfService(), QualityOfService::userInitiated);
  EXPECT_FALSE(queue.isCurrent());
  std::vector<std::vector<int>> order(4);  // per producer, touched only by tasks
  std::atomic<bool> current{true};
  queue.async([] { throw std::runtime_error("task failed"); });
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        queue.async([&, t, i] {
          order[t].push_back(i);
          current = current && queue.isCurrent();
        });
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  std::promise<void> done;  // every task queued so far has run
  queue.async([&done] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(kWait), std::future_status::ready);
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, std::vector<std::vector<int>>(4, expected));
  EXPECT_TRUE(current);
}

// Destruction waits for the running task and releases the tasks that did not run, with what they
// captured; also when a task destroys its own queue.
TEST(SerialQueue, DestructionWaitsForTheRunningTaskAndDropsTheRest) {
  for (const bool fromItsOwnTask : {false, true}) {
    auto queue = std::make_unique<SerialQueue>("Joined", QualityOfService::userInitiated);
    std::promise<void> started;
    std::atomic<bool> go{false};
    std::atomic<bool> finished{false};
    auto capture = std::make_shared<int>(0);
    queue->async([&] {
      started.set_value();
      testing::waitFor([&go] { return go.load(); }, kWait);
      if (fromItsOwnTask) {
        queue.reset();  // on the queue's own worker
      }
      finished = true;
    });
    for (int i = 0; i < 10; ++i) {
      queue->async([capture] { *capture += 1; });
    }
    ASSERT_EQ(started.get_future().wait_for(kWait), std::future_status::ready);
    std::thread release([&go] {  // still busy while the test thread destroys the queue
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      go = true;
    });
    if (!fromItsOwnTask) {
      queue.reset();
      EXPECT_TRUE(finished);
    }
    release.join();
    EXPECT_TRUE(testing::waitFor([&finished] { return finished.load(); }, kWait));
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(capture.use_count(), 1);
    EXPECT_EQ(*capture, 0);
  }
}

}  // namespace
}  // namespace tessaline::platform
