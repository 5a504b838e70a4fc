#include <Tessaline/service/Deferred.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tessaline::Cancellable;
using tessaline::Deferred;
using tessaline::Error;
using tessaline::Result;

// A deferred whose exchanges wait until the test finishes them.
struct ManualExchanges {
  std::vector<Deferred<int>::Sink> sinks;
  int cancelled = 0;

  Deferred<int> deferred() {
    return Deferred<int>([this](Deferred<int>::Sink sink) {
      sinks.push_back(std::move(sink));
      return Cancellable([this] { ++cancelled; });
    });
  }
};

struct Recorder {
  std::vector<std::string> events;
  Deferred<int>::OnValue onValue() {
    return [this](int value) { events.push_back("value " + std::to_string(value)); };
  }
  Deferred<int>::OnCompletion onCompletion() {
    return [this](std::optional<Error> error) {
      events.push_back(error ? "failure " + error->description() : "finished");
    };
  }
};

TEST(DeferredTest, StartsOnlyWhenSubscribedAndOncePerSubscription) {
  ManualExchanges exchanges;
  const auto deferred = exchanges.deferred();
  EXPECT_TRUE(exchanges.sinks.empty());

  Recorder first;
  Recorder second;
  auto a = deferred.subscribe(first.onValue(), first.onCompletion());
  auto b = deferred.subscribe(second.onValue(), second.onCompletion());
  ASSERT_EQ(exchanges.sinks.size(), 2u);

  exchanges.sinks[0](7);
  exchanges.sinks[1](Error(Error::Kind::transport, "offline"));
  EXPECT_EQ(first.events, (std::vector<std::string>{"value 7", "finished"}));
  EXPECT_EQ(second.events, (std::vector<std::string>{"failure offline"}));
}

TEST(DeferredTest, DeliversExactlyOneOutcome) {
  ManualExchanges exchanges;
  Recorder recorder;
  auto handle = exchanges.deferred().subscribe(recorder.onValue(), recorder.onCompletion());
  exchanges.sinks[0](1);
  exchanges.sinks[0](2);
  exchanges.sinks[0](Error(Error::Kind::transport, "late"));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"value 1", "finished"}));
}

TEST(DeferredTest, CancellingOrDroppingTheHandleDeliversNothing) {
  ManualExchanges exchanges;
  Recorder cancelledRecorder;
  Recorder droppedRecorder;
  auto handle =
      exchanges.deferred().subscribe(cancelledRecorder.onValue(), cancelledRecorder.onCompletion());
  handle.cancel();
  {
    auto dropped =
        exchanges.deferred().subscribe(droppedRecorder.onValue(), droppedRecorder.onCompletion());
  }
  EXPECT_EQ(exchanges.cancelled, 2);
  exchanges.sinks[0](1);
  exchanges.sinks[1](2);
  EXPECT_TRUE(cancelledRecorder.events.empty());
  EXPECT_TRUE(droppedRecorder.events.empty());
}

TEST(DeferredTest, CancellingFromTheValueHandlerSkipsTheCompletion) {
  ManualExchanges exchanges;
  Recorder recorder;
  Cancellable handle;
  handle = exchanges.deferred().subscribe(
      [&](int value) {
        recorder.events.push_back("value " + std::to_string(value));
        handle.cancel();
      },
      recorder.onCompletion());
  exchanges.sinks[0](3);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"value 3"}));
}

TEST(DeferredTest, FailedDeliversItsFailureAtOnceOnTheSubscribingThread) {
  const auto deferred = Deferred<int>::failed(Error(Error::Kind::api, "cannot build"));
  Recorder recorder;
  auto handle = deferred.subscribe(recorder.onValue(), recorder.onCompletion());
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"failure cannot build"}));
  // Every subscription gets it.
  auto again = deferred.subscribe(recorder.onValue(), recorder.onCompletion());
  EXPECT_EQ(recorder.events.size(), 2u);
}

TEST(DeferredTest, ExceptionsFromHandlersStayInside) {
  ManualExchanges exchanges;
  bool completed = false;
  auto handle = exchanges.deferred().subscribe([](int) { throw std::runtime_error("value"); },
                                               [&](std::optional<Error>) {
                                                 completed = true;
                                                 throw std::runtime_error("completion");
                                               });
  EXPECT_NO_THROW(exchanges.sinks[0](1));
  EXPECT_TRUE(completed);
  EXPECT_NO_THROW(Deferred<int>::failed(Error(Error::Kind::api, "x"))
                      .subscribe({}, [](std::optional<Error>) { throw 1; })
                      .cancel());
}

}  // namespace
