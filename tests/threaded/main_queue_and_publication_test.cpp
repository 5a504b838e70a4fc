// Order on the main queue while an executor is installed, stop() without a run(), and a value
// assigned from inside a subscriber.

#include <Tessaline/Published.h>
#include <platform/MainQueue.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaline {
namespace {

using platform::MainQueue;

TEST(MainQueueHandoverTest, TasksQueuedWhileAnExecutorIsInstalledRunAfterThoseWaiting) {
  std::vector<std::string> ran;
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
  MainQueue::setExecutor(nullptr);
  for (std::size_t i = 0; i < handed.size(); ++i) {  // the executor's loop, in its order
    handed[i]();
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "queued meanwhile"}));
}

TEST(MainQueueHandoverTest, StopWithoutARunDoesNotEndTheNextRun) {
  MainQueue::stop();
  bool ran = false;
  MainQueue::async([&] {
    ran = true;
    MainQueue::stop();
  });
  MainQueue::run();
  EXPECT_TRUE(ran);
}

TEST(PublicationOrderTest, AnAssignmentInsideASubscriberSupersedesTheValueBeingDelivered) {
  Published<int> value(0);
  std::vector<int> first;
  std::vector<int> second;
  const auto a = value.subscribe([&](const int& v) {
    first.push_back(v);
    if (v == 1) {
      value.set(2);
    }
  });
  const auto b = value.subscribe([&](const int& v) { second.push_back(v); });
  value.set(1);
  EXPECT_EQ(first, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(second, (std::vector<int>{0, 2})) << "never 1 after 2";
  EXPECT_EQ(value.get(), 2);
}

}  // namespace
}  // namespace tessaline
