#include <Tessaline/Cancellable.h>
#include <Tessaline/Published.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

// A subscriber gets the current value at once, then every assignment (an equal value too), on
// the thread that sets it; a read-only view can be observed.
TEST(Published, SubscribersGetTheCurrentValueThenEveryAssignmentOnTheSettingThread) {
  Published<std::string> name{"first"};
  const Published<std::string>& readOnly = name;
  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;  // written by the setter only, read after join
  auto handle = readOnly.subscribe([&](const std::string& value) {
    seen.push_back(value);
    threads.push_back(std::this_thread::get_id());
  });
  EXPECT_EQ(seen, std::vector<std::string>{"first"});
  std::thread::id setter;
  std::thread thread([&] {
    setter = std::this_thread::get_id();
    name.set("second");
    name.set("second");
  });
  thread.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "second"}));
  EXPECT_EQ(threads, (std::vector<std::thread::id>{std::this_thread::get_id(), setter, setter}));
  EXPECT_EQ(name.get(), "second");
  EXPECT_EQ(name(), "second");
}

// The change signal fires once per set() or modify(), before the value is stored and delivered.
TEST(Published, TheChangeSignalFiresOnceBeforeEachChange) {
  Signal objectWillChange;
  Published<std::vector<int>> list{{1, 2, 3}, &objectWillChange};
  std::vector<std::string> events;
  auto willChange = objectWillChange.connect(
      [&] { events.push_back("willChange, stored " + std::to_string(list.get()[1])); });
  auto handle = list.subscribe(
      [&](const std::vector<int>& v) { events.push_back("value " + std::to_string(v[1])); });
  events.clear();
  list.set({1, 5, 3});
  list.modify([](std::vector<int>& values) { values[1] = 20; });
  EXPECT_EQ(list.get(), (std::vector<int>{1, 20, 3}));
  EXPECT_EQ(events, (std::vector<std::string>{"willChange, stored 2", "value 5",
                                              "willChange, stored 5", "value 20"}));
  willChange.cancel();
  objectWillChange.emit();
  EXPECT_EQ(events.size(), 4u);
}

// A handle ends its subscription when cancelled (twice is harmless), destroyed or assigned over,
// and may outlive its publisher.
TEST(Published, HandlesEndTheirSubscriptions) {
  auto value = std::make_unique<Published<int>>(0);
  int calls = 0;
  {
    auto handle = value->subscribe([&](const int&) { ++calls; });
  }
  auto handle = value->subscribe([&](const int&) { ++calls; });
  handle.cancel();
  handle.cancel();
  int secondCalls = 0;
  Cancellable slot = value->subscribe([&](const int&) { ++calls; });
  slot = value->subscribe([&](const int&) { ++secondCalls; });
  value->set(1);
  EXPECT_EQ(calls, 3);  // the current value, to each of the three ended subscriptions
  EXPECT_EQ(secondCalls, 2);

  auto signal = std::make_unique<Signal>();
  auto signalHandle = signal->connect([] {});
  value.reset();
  signal.reset();
  slot.cancel();
  // signalHandle is destroyed at the end of the scope, after its signal.
}

TEST(Published, SubscriberMaySetAgainAndEveryoneEndsWithTheNewestValue) {
  Published<int> value{0};
  std::vector<int> first;
  std::vector<int> second;
  auto a = value.subscribe([&](const int& v) {
    first.push_back(v);
    if (v == 1) {
      value.set(2);
    }
  });
  auto b = value.subscribe([&](const int& v) { second.push_back(v); });

  value.set(1);
  EXPECT_EQ(value.get(), 2);
  EXPECT_EQ(first, (std::vector<int>{0, 1, 2}));
  // The nested assignment supersedes the outer one: no stale 1 arrives after the 2.
  EXPECT_EQ(second, (std::vector<int>{0, 2}));
}

TEST(Published, SubscriberMayCancelItselfOrAnotherFromItsCallback) {
  Published<int> value{0};
  int selfCalls = 0;
  int otherCalls = 0;
  std::optional<Cancellable> self;
  Cancellable other;
  self = value.subscribe([&](const int& v) {
    ++selfCalls;
    if (v == 1) {
      self.reset();  // destroys the handle, and with it this subscription, while it runs
      other.cancel();
    }
  });
  other = value.subscribe([&](const int&) { ++otherCalls; });

  value.set(1);
  value.set(2);
  EXPECT_EQ(selfCalls, 2);   // the current value and 1
  EXPECT_EQ(otherCalls, 1);  // only the current value: cancelled before its turn for 1
}

TEST(Published, SubscriberMaySubscribeFromItsCallback) {
  Published<int> value{0};
  std::vector<int> late;
  std::optional<Cancellable> lateHandle;
  auto handle = value.subscribe([&](const int& v) {
    if (v == 1 && !lateHandle) {
      lateHandle = value.subscribe([&](const int& w) { late.push_back(w); });
    }
  });
  value.set(1);
  value.set(2);
  // The new subscriber gets the current value once, not again from the emission under way.
  EXPECT_EQ(late, (std::vector<int>{1, 2}));
}

// Subscribing, cancelling and setting on several threads at once: nothing is lost from the value
// itself and nothing races (checked under ThreadSanitizer).
TEST(Published, ConcurrentSubscribeCancelAndSetAreSafe) {
  Published<int> value{0};
  std::atomic<int> deliveries{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto handle = value.subscribe([&](const int&) { deliveries.fetch_add(1); });
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 1; i <= 200; ++i) {
      value.set(i);
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(value.get(), 200);
  EXPECT_GE(deliveries.load(), 600);  // at least every subscriber's current value
}

}  // namespace
}  // namespace tessaline
