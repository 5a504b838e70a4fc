#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/DiagnosisItem.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/SerialQueue.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

using platform::MainQueue;
using Requirement = Feedback::Requirement;
using Case = DiagnosisItem::State::Case;
constexpr auto kWait = std::chrono::seconds(60);

// What a fixture step does when run.
enum class Does { keep, succeed, fail, twice, throwing, onItsQueue, stopToFinish, notApply };

// A step whose behaviour the test picks; N tells apart steps that behave alike. `keep` holds the
// completion until the test calls deliver(); `stopToFinish` delivers "captured" when stopped.
template <Does behaviour, int N = 0>
class FakeStep final : public DiagnosisStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(N, "Step " + std::to_string(N),
                                    behaviour == Does::stopToFinish
                                        ? std::optional<std::string>("Click \"Done\" when ready.")
                                        : std::nullopt);
    return members;
  }
  static bool shouldRun(const Feedback&) { return behaviour != Does::notApply; }

  bool isRunning() const override { return running_; }
  bool isStoppable() const override { return behaviour == Does::stopToFinish; }
  void stop() override {
    ++stopCalls;
    deliver(Bytes(std::string("captured")));
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    running_ = true;
    switch (behaviour) {
      case Does::succeed:
        completion(Bytes(std::string("succeeded")));
        break;
      case Does::fail:
        completion(Error(Error::Kind::fileSystem, "disk on fire"));
        break;
      case Does::twice:
        completion(Bytes(std::string("first")));
        completion(Error(Error::Kind::generic, "second"));
        break;
      case Does::throwing:
        throw std::runtime_error("step exploded");
      case Does::onItsQueue:
        queue_.async([this, completion = std::move(completion)] {
          callbackThread = std::this_thread::get_id();
          completion(Bytes(std::string("from the queue")));
        });
        break;
      case Does::notApply:
        ADD_FAILURE() << "a step that does not apply was started";
        break;
      default:
        completion_ = std::move(completion);
    }
    return nullptr;
  }
  void deliver(Result<Bytes> result) {
    if (completion_) {
      completion_(std::move(result));
    }
  }

  int stopCalls = 0;
  std::atomic<std::thread::id> callbackThread;

 private:
  std::atomic<bool> running_{false};
  Completion completion_;
  platform::SerialQueue queue_{"FakeStep", platform::QualityOfService::userInitiated};
};

template <int N>
using Kept = FakeStep<Does::keep, N>;
using Stoppable = FakeStep<Does::stopToFinish, 2>;
using OnItsQueue = FakeStep<Does::onItsQueue, 7>;

template <class Step>
std::shared_ptr<Step> stepOf(const DiagnosisItem& item) {
  auto step = std::dynamic_pointer_cast<Step>(item.step);
  EXPECT_NE(step, nullptr) << item.id;
  return step;
}

Feedback requiring(Requirement systemProfile, Requirement appLogs, Requirement crashLogs) {
  Feedback feedback;
  feedback.reason.id = 1;
  feedback.reason.systemProfile = systemProfile;
  feedback.reason.appLogs = appLogs;
  feedback.reason.crashLogs = crashLogs;
  return feedback;
}

const std::vector<StepKind> kLibrarySteps{
    stepKind<SystemProfileStep>(), stepKind<SystemLogsCollectorStep>(),
    stepKind<ApplicationLogsCollectorStep>(), stepKind<CollectCrashReportsStep>()};

class DiagnosisRunnerTest : public ::testing::Test {
 protected:
  void TearDown() override { MainQueue::drain(); }

  std::vector<std::string> messages(std::string_view format) const {
    std::vector<std::string> lines;
    for (const auto& record : capture.withFormat(format, "DiagnosisRunner")) {
      lines.push_back(record.message);
    }
    return lines;
  }
  static std::vector<std::string> idsOf(const std::vector<DiagnosisItem>& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) {
      ids.push_back(item.id);
    }
    return ids;
  }

  const Feedback anyFeedback =
      requiring(Requirement::notRequired, Requirement::notRequired, Requirement::notRequired);
  platform::LogCapture capture;
  int completions = 0;
};

// The library's four steps, each doing its real work (the stand-in tools, zip, a crash report in
// a private home), through a real runner.
TEST_F(DiagnosisRunnerTest, TheLibrarysFourStepsRunThroughARunner) {
  testing::TemporaryDirectory home;
  testing::ScopedEnvironment homeVariable("HOME", home.path().string());
  testing::ScopedEnvironment tmpdir("TMPDIR", home.path().string());
  home.write("Library/Logs/DiagnosticReports/Pairloom-1.ips", "crash");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL(home.write("app.log", "app line\n").string())});

  auto runner = DiagnosisRunner::make(kLibrarySteps);
  runner->run(requiring(Requirement::required, Requirement::required, Requirement::required),
              [&] { ++completions; });
  auto items = runner->items();
  ASSERT_EQ(idsOf(items),
            (std::vector<std::string>{"System Profile", "System Logs", "App Logs", "Crash Logs"}));
  EXPECT_EQ(messages("Will collect diagnostics: %{public}@"),
            std::vector<std::string>{
                "Will collect diagnostics: System Profile, System Logs, App Logs, Crash Logs"});
  const std::vector<std::optional<std::string>> instructions{
      "This step can take up to a minute, please be patient.",
      "Click \"Done\" after reproducing the issue.", std::nullopt, std::nullopt};
  const std::vector<std::string> extensions{"json", "txt", "txt", "json"};
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].instructions, instructions[i]) << items[i].id;
    EXPECT_EQ(items[i].fileExtension, extensions[i]) << items[i].id;
    EXPECT_EQ(static_cast<bool>(items[i].stop), i == 1) << items[i].id;
  }

  // The log capture runs until it is stopped.
  ASSERT_TRUE(
      testing::waitFor([] { return testing::childBlockingSigterm("tessaline-log").has_value(); }));
  items[1].stop();
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();
  EXPECT_EQ(completions, 1);
  items = runner->items();
  for (const auto& item : items) {
    ASSERT_TRUE(item.state.isFinished()) << item.id;
  }
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            4u);
  EXPECT_TRUE(
      nlohmann::json::parse(items[0].state.payload()->str()).contains("SPHardwareDataType"));
  // After the notice of a machine whose journal cannot be read, if any.
  EXPECT_NE(items[1].state.payload()->str().substr(0, 200).find("Filtering the log data using"),
            std::string::npos);
  EXPECT_TRUE(items[2].state.payload()->view().starts_with("PK\x03\x04"));
  const auto crashes =
      CollectCrashReportsStep::Report::decodeList(items[3].state.payload()->view());
  ASSERT_TRUE(crashes.ok());
  ASSERT_EQ(crashes.value().size(), 1u);
  EXPECT_EQ(crashes.value()[0].name, "Pairloom-1.ips");
  EXPECT_EQ(capture.count("Runner completed", "DiagnosisRunner"), 1u);
}

// Which of the library's steps a reason selects; with none, the run completes before it returns.
TEST_F(DiagnosisRunnerTest, AReasonSelectsTheStepsItRequires) {
  struct Selection {
    Feedback feedback;
    std::vector<std::string> ids;
  };
  const Selection selections[] = {
      {requiring(Requirement::optional, Requirement::required, Requirement::notRequired),
       {"System Logs", "App Logs"}},
      {requiring(Requirement::required, Requirement::optional, Requirement::notRequired),
       {"System Profile"}},
      {requiring(Requirement::optional, Requirement::optional, Requirement::notRequired), {}},
  };
  for (const auto& selection : selections) {
    auto runner = DiagnosisRunner::make(kLibrarySteps);
    completions = 0;
    runner->run(selection.feedback, [&] { ++completions; });
    EXPECT_EQ(idsOf(runner->items()), selection.ids);
    EXPECT_EQ(completions, selection.ids.empty() ? 1 : 0);
  }
  EXPECT_EQ(capture.count("No diagnostics required, skipping collection", "DiagnosisRunner"), 1u);
}

TEST_F(DiagnosisRunnerTest, WithNothingToRunTheCompletionComesOnceBeforeRunReturns) {
  auto runner =
      DiagnosisRunner::make({stepKind<FakeStep<Does::notApply>>(), kLibrarySteps.front()});
  std::vector<std::size_t> published;
  auto watch = runner->items.subscribe(
      [&](const std::vector<DiagnosisItem>& items) { published.push_back(items.size()); });
  runner->run(anyFeedback, [&] { ++completions; });
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(published, (std::vector<std::size_t>{0, 0}));  // the current list, then the new one
  EXPECT_EQ(capture.count("Will collect diagnostics: %{public}@", "DiagnosisRunner"), 0u);
  EXPECT_TRUE(runner->completionHandler);  // kept
  MainQueue::drain();
  EXPECT_EQ(completions, 1);
}

TEST_F(DiagnosisRunnerTest, ARetitledKindGivesItsNewTitleAndExplainer) {
  using Retitled = FakeStep<Does::stopToFinish, 9>;
  Retitled::classMembers().setTitle("Reproduce Now");
  Retitled::classMembers().setExplainer("Press Done when the window flickers.");
  auto runner = DiagnosisRunner::make({stepKind<Retitled>()});
  runner->run(anyFeedback, [] {});
  ASSERT_EQ(runner->items().size(), 1u);
  EXPECT_EQ(runner->items()[0].id, "Reproduce Now");
  EXPECT_EQ(runner->items()[0].instructions, "Press Done when the window flickers.");
}

// Each start is published; results come later on the main queue; one failed, one stopped and one
// finished item complete the run once, after the last of them.
TEST_F(DiagnosisRunnerTest, ResultsApplyOnTheMainQueueAndTheRunCompletesOnceAfterTheLast) {
  auto runner = DiagnosisRunner::make({stepKind<Kept<1>>(), stepKind<Stoppable>(),
                                       stepKind<Kept<3>>(), stepKind<FakeStep<Does::notApply>>()});
  std::vector<std::vector<Case>> seen;
  auto watch = runner->items.subscribe([&](const std::vector<DiagnosisItem>& items) {
    seen.emplace_back();
    for (const auto& item : items) {
      seen.back().push_back(item.state.kind());
    }
  });
  seen.clear();
  runner->run(anyFeedback, [&] { ++completions; });
  EXPECT_EQ(seen, (std::vector<std::vector<Case>>{{Case::idle, Case::idle, Case::idle},
                                                  {Case::running, Case::idle, Case::idle},
                                                  {Case::running, Case::running, Case::idle},
                                                  {Case::running, Case::running, Case::running}}));
  const auto items = runner->items();
  EXPECT_FALSE(items[0].stop);
  ASSERT_TRUE(items[1].stop);
  EXPECT_EQ(items[1].instructions, "Click \"Done\" when ready.");
  const auto stoppable = stepOf<Stoppable>(items[1]);
  EXPECT_EQ(stoppable->stopCalls, 0);  // the runner never stops a step by itself

  stepOf<Kept<1>>(items[0])->deliver(Error(Error::Kind::process, "could not launch"));
  items[1].stop();
  EXPECT_EQ(stoppable->stopCalls, 1);
  EXPECT_TRUE(runner->items()[0].state.isRunning());  // not applied inside deliver()
  ASSERT_TRUE(MainQueue::drainUntil([&] { return !runner->items()[1].state.isPending(); }, kWait));
  MainQueue::drain();
  EXPECT_TRUE(runner->items()[0].state.isFailed());
  EXPECT_EQ(runner->items()[1].state.payload()->str(), "captured");
  EXPECT_TRUE(runner->items()[2].state.isRunning());
  EXPECT_EQ(completions, 0);

  stepOf<Kept<3>>(items[2])->deliver(Bytes(std::string("12345")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(runner->items()[0].state.payload(), nullptr);
  const auto failed = capture.withFormat(
      "Diagnostic step \"%{public}@\" failed with error \"%{public}@\"", "DiagnosisRunner");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, platform::LogLevel::error);
  EXPECT_EQ(failed[0].message, "Diagnostic step \"Step 1\" failed with error \"could not launch\"");
  EXPECT_EQ(messages("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            (std::vector<std::string>{"Diagnostic step \"Step 2\" finished. Payload size = 8",
                                      "Diagnostic step \"Step 3\" finished. Payload size = 5"}));
  EXPECT_EQ(messages("%{public}@"), std::vector<std::string>(3, "checkCompetion()"));
  EXPECT_EQ(capture.count("Runner completed", "DiagnosisRunner"), 1u);
}

TEST_F(DiagnosisRunnerTest, ItemsChangeOnlyOnTheMainQueue) {
  auto runner = DiagnosisRunner::make(
      {stepKind<OnItsQueue>(), stepKind<FakeStep<Does::succeed>>(), stepKind<OnItsQueue>()});
  std::vector<bool> onMainThread;  // written by subscribers only
  const auto mainThread = std::this_thread::get_id();
  auto watch = runner->items.subscribe([&](const std::vector<DiagnosisItem>&) {
    onMainThread.push_back(MainQueue::isCurrent() && std::this_thread::get_id() == mainThread);
  });
  onMainThread.clear();
  std::atomic<int> done{0};
  MainQueue::async([&] { runner->run(anyFeedback, [&] { ++done; }); });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return done.load() > 0; }, kWait));

  // One list, one "running" per item, one result per item.
  EXPECT_EQ(onMainThread, std::vector<bool>(7, true));
  const auto items = runner->items();
  for (const auto& item : items) {
    EXPECT_TRUE(item.state.isFinished()) << item.id;
  }
  const auto first = stepOf<OnItsQueue>(items[0])->callbackThread.load();
  EXPECT_NE(first, mainThread);
  EXPECT_NE(first, stepOf<OnItsQueue>(items[2])->callbackThread.load());  // a queue per step
  EXPECT_EQ(items[0].state.payload()->str(), "from the queue");
  EXPECT_EQ(done.load(), 1);
}

// A second run makes fresh steps, counts the items of the first, and drops the first run's
// results whether they were already queued or arrive later.
TEST_F(DiagnosisRunnerTest, ASecondRunDropsTheResultsOfTheFirst) {
  auto runner = DiagnosisRunner::make({stepKind<Kept<1>>(), stepKind<Kept<2>>()});
  int firstCompletions = 0;
  runner->run(anyFeedback, [&] { ++firstCompletions; });
  const auto firstItems = runner->items();
  stepOf<Kept<1>>(firstItems[0])->deliver(Bytes(std::string("old")));
  runner->run(anyFeedback, [&] { ++completions; });
  stepOf<Kept<2>>(firstItems[1])->deliver(Error(Error::Kind::generic, "old failure"));
  MainQueue::drain();

  auto items = runner->items();
  EXPECT_NE(items[0].step, firstItems[0].step);
  EXPECT_TRUE(items[0].state.isRunning());
  EXPECT_TRUE(items[1].state.isRunning());
  EXPECT_TRUE(
      messages("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d").empty());
  stepOf<Kept<1>>(items[0])->deliver(Bytes(std::string("new")));
  stepOf<Kept<2>>(items[1])->deliver(Bytes(std::string("newer")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  items = runner->items();
  EXPECT_EQ(items[0].state.payload()->str(), "new");
  EXPECT_EQ(items[1].state.payload()->str(), "newer");
  EXPECT_EQ(firstCompletions, 0);
  EXPECT_EQ(completions, 1);
  const auto lines = capture.withFormat("%{public}@ with %d item(s)", "DiagnosisRunner");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "run(for:completion:) with 0 item(s)");
  EXPECT_EQ(lines[1].message, "run(for:completion:) with 2 item(s)");
  EXPECT_EQ(lines[0].level, platform::LogLevel::debug);
}

// A step that calls back twice keeps its first result; one whose run() throws fails its item.
TEST_F(DiagnosisRunnerTest, MisbehavingStepsEndTheirItemsOnce) {
  auto runner = DiagnosisRunner::make({stepKind<FakeStep<Does::twice>>(),
                                       stepKind<FakeStep<Does::throwing, 6>>(),
                                       stepKind<FakeStep<Does::fail, 5>>()});
  runner->run(anyFeedback, [&] { ++completions; });
  for (const auto& item : runner->items()) {
    EXPECT_TRUE(item.state.isRunning()) << item.id;  // results are never applied inside run()
  }
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();
  const auto items = runner->items();
  EXPECT_EQ(items[0].state, DiagnosisItem::State::finished(Bytes(std::string("first"))));
  EXPECT_TRUE(items[1].state.isFailed());
  EXPECT_TRUE(items[2].state.isFailed());
  EXPECT_EQ(
      messages("Diagnostic step \"%{public}@\" failed with error \"%{public}@\""),
      (std::vector<std::string>{"Diagnostic step \"Step 6\" failed with error \"step exploded\"",
                                "Diagnostic step \"Step 5\" failed with error \"disk on fire\""}));
  EXPECT_EQ(completions, 1);
}

TEST_F(DiagnosisRunnerTest, ARunnerDestroyedMidRunDropsItsResults) {
  auto runner =
      DiagnosisRunner::make({stepKind<Kept<1>>(), stepKind<Kept<2>>(), stepKind<OnItsQueue>()});
  runner->run(anyFeedback, [&] { ++completions; });
  auto first = stepOf<Kept<1>>(runner->items()[0]);
  auto second = stepOf<Kept<2>>(runner->items()[1]);
  first->deliver(Bytes(std::string("queued before the runner went away")));
  runner.reset();  // also ends the step on its own queue, whose result may be under way
  second->deliver(Bytes(std::string("after the runner went away")));
  MainQueue::drain();
  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(
      messages("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d").empty());
}

TEST_F(DiagnosisRunnerTest, StepsAreReleasedWithTheRunner) {
  auto runner = DiagnosisRunner::make({stepKind<Stoppable>(), stepKind<Kept<1>>()});
  runner->run(anyFeedback, [&] { ++completions; });
  std::weak_ptr<DiagnosisStep> stoppable = runner->items()[0].step;
  std::weak_ptr<DiagnosisStep> kept = runner->items()[1].step;
  runner->items()[0].stop();
  stepOf<Kept<1>>(runner->items()[1])->deliver(Bytes(std::string("done")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  // Both steps still hold their completions; nothing they hold keeps them alive.
  runner.reset();
  EXPECT_TRUE(stoppable.expired());
  EXPECT_TRUE(kept.expired());
}

}  // namespace
}  // namespace tessaline
