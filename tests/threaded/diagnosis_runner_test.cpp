#include <Tessaline/diagnostics/DiagnosisItem.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/SerialQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

using platform::MainQueue;
using Requirement = Feedback::Requirement;

constexpr auto kWait = std::chrono::seconds(30);

// --- Fixture steps -------------------------------------------------------------------------------

class FixtureStep : public DiagnosisStep {
 public:
  bool isRunning() const override { return running_; }

 protected:
  std::atomic<bool> running_{false};
};

// Succeeds at once, on the thread that starts it.
class SucceedsStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(10, "Succeeds");
    return members;
  }
  std::string preferredFileExtension() const override { return "json"; }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    completion(Bytes(std::string("succeeded")));
    return nullptr;
  }
};

class FailsStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(20, "Fails", "Nothing to do");
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    completion(Error(Error::Kind::fileSystem, "disk on fire"));
    return nullptr;
  }
};

// Captures until stop() is called, like the system log capture.
class StoppableStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(30, "Stoppable", "Click \"Done\" when ready.");
    return members;
  }
  bool isStoppable() const override { return true; }
  void stop() override {
    ++stopCalls;
    if (completion_) {
      completion_(Bytes(std::string("captured")));
    }
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    running_ = true;
    completion_ = std::move(completion);
    return nullptr;
  }
  int stopCalls = 0;

 private:
  Completion completion_;
};

class NeverCompletesStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(40, "Never");
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override {
    running_ = true;
    return nullptr;
  }
};

class CallsBackTwiceStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(50, "Twice");
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    completion(Bytes(std::string("first")));
    completion(Error(Error::Kind::generic, "second"));
    return nullptr;
  }
};

class ThrowsStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(60, "Throws");
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override {
    throw std::runtime_error("step exploded");
  }
};

// Does its work on a serial queue of its own and calls back there.
class OtherThreadStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(70, "Other Thread");
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    running_ = true;
    queue_.async([this, completion = std::move(completion)] {
      {
        std::lock_guard lock(mutex_);
        callbackThread_ = std::this_thread::get_id();
      }
      running_ = false;
      completion(Bytes(std::string("from the queue")));
    });
    return nullptr;
  }
  std::thread::id callbackThread() const {
    std::lock_guard lock(mutex_);
    return callbackThread_;
  }

 private:
  mutable std::mutex mutex_;
  std::thread::id callbackThread_;
  platform::SerialQueue queue_{"OtherThreadStep", platform::QualityOfService::userInitiated};
};

// Keeps its completion until the test delivers a result.
template <int N>
class ManualStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(N, "Manual " + std::to_string(N));
    return members;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    running_ = true;
    completion_ = std::move(completion);
    return nullptr;
  }
  void deliver(Result<Bytes> result) { completion_(std::move(result)); }

 private:
  Completion completion_;
};

class NeverAppliesStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(80, "Never Applies");
    return members;
  }
  static bool shouldRun(const Feedback&) { return false; }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override {
    ADD_FAILURE() << "a step that does not apply was started";
    return nullptr;
  }
};

// Stand-ins with the class-level values of the library's four steps.
class ProfileLikeStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(100, "System Profile",
                                    "This step can take up to a minute, please be patient.");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    return feedback.reason.systemProfile == Requirement::required;
  }
  std::string preferredFileExtension() const override { return "json"; }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override { return nullptr; }
};

class SystemLogsLikeStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(50, "System Logs",
                                    "Click \"Done\" after reproducing the issue.");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    return feedback.reason.appLogs == Requirement::required;
  }
  bool isStoppable() const override { return true; }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override { return nullptr; }
};

class AppLogsLikeStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(50, "App Logs");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    return feedback.reason.appLogs == Requirement::required;
  }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override { return nullptr; }
};

class CrashLikeStep final : public FixtureStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(0, "Crash Logs");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    return feedback.reason.crashLogs == Requirement::required;
  }
  std::string preferredFileExtension() const override { return "json"; }
  std::shared_ptr<Progress> run(const Feedback&, Completion) override { return nullptr; }
};

std::vector<StepKind> likeTheLibrary() {
  return {stepKind<ProfileLikeStep>(), stepKind<SystemLogsLikeStep>(), stepKind<AppLogsLikeStep>(),
          stepKind<CrashLikeStep>()};
}

Feedback feedbackRequiring(Requirement systemProfile, Requirement appLogs, Requirement crashLogs) {
  Feedback feedback;
  feedback.reason.id = 1;
  feedback.reason.title = "Something broke";
  feedback.reason.systemProfile = systemProfile;
  feedback.reason.appLogs = appLogs;
  feedback.reason.crashLogs = crashLogs;
  return feedback;
}

template <class Step>
std::shared_ptr<Step> stepOf(const DiagnosisItem& item) {
  auto step = std::dynamic_pointer_cast<Step>(item.step);
  EXPECT_NE(step, nullptr) << item.id;
  return step;
}

std::vector<std::string> idsOf(const std::vector<DiagnosisItem>& items) {
  std::vector<std::string> ids;
  for (const auto& item : items) {
    ids.push_back(item.id);
  }
  return ids;
}

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

  const Feedback anyFeedback = feedbackRequiring(Requirement::notRequired, Requirement::notRequired,
                                                 Requirement::notRequired);
  platform::LogCapture capture;
};

// --- Selection and items -------------------------------------------------------------------------

TEST_F(DiagnosisRunnerTest, ItemsFollowTheHostsOrderNotTheOrderKey) {
  auto runner = DiagnosisRunner::make(
      {stepKind<ProfileLikeStep>(), stepKind<CrashLikeStep>(), stepKind<AppLogsLikeStep>()});
  runner->run(
      feedbackRequiring(Requirement::required, Requirement::required, Requirement::required),
      [] {});

  const auto items = runner->items();
  EXPECT_EQ(idsOf(items), (std::vector<std::string>{"System Profile", "Crash Logs", "App Logs"}));
  EXPECT_EQ(
      messages("Will collect diagnostics: %{public}@"),
      std::vector<std::string>{"Will collect diagnostics: System Profile, Crash Logs, App Logs"});
  for (const auto& item : items) {
    EXPECT_TRUE(item.state.isRunning()) << item.id;
  }
  EXPECT_EQ(items[0].fileExtension, "json");
  EXPECT_EQ(items[2].fileExtension, "txt");
}

TEST_F(DiagnosisRunnerTest, AppLogsReasonSelectsTheTwoLogSteps) {
  auto runner = DiagnosisRunner::make(likeTheLibrary());
  EXPECT_EQ(runner->steps().size(), 4u);
  runner->run(
      feedbackRequiring(Requirement::optional, Requirement::required, Requirement::notRequired),
      [] {});

  const auto items = runner->items();
  ASSERT_EQ(idsOf(items), (std::vector<std::string>{"System Logs", "App Logs"}));
  EXPECT_TRUE(items[0].stop);
  EXPECT_EQ(items[0].instructions, "Click \"Done\" after reproducing the issue.");
  EXPECT_FALSE(items[1].stop);
  EXPECT_EQ(items[1].instructions, std::nullopt);
  EXPECT_EQ(items[0].fileExtension, "txt");
  EXPECT_EQ(items[1].fileExtension, "txt");
}

TEST_F(DiagnosisRunnerTest, NothingRequiredCompletesBeforeRunReturns) {
  auto runner = DiagnosisRunner::make(
      {stepKind<ProfileLikeStep>(), stepKind<NeverAppliesStep>(), stepKind<CrashLikeStep>()});
  std::vector<std::size_t> published;
  auto watch = runner->items.subscribe(
      [&](const std::vector<DiagnosisItem>& items) { published.push_back(items.size()); });
  int completions = 0;

  runner->run(
      feedbackRequiring(Requirement::optional, Requirement::optional, Requirement::notRequired),
      [&] { ++completions; });

  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(runner->items().empty());
  EXPECT_EQ(published, (std::vector<std::size_t>{0, 0}));  // the current list, then the new one
  EXPECT_EQ(capture.count("No diagnostics required, skipping collection", "DiagnosisRunner"), 1u);
  EXPECT_EQ(capture.count("Will collect diagnostics: %{public}@", "DiagnosisRunner"), 0u);
  EXPECT_TRUE(runner->completionHandler);  // kept
  MainQueue::drain();
  EXPECT_EQ(completions, 1);
}

TEST_F(DiagnosisRunnerTest, RetitledKindGivesTheNewTitleAndExplainer) {
  auto& members = StoppableStep::classMembers();
  const auto oldTitle = members.title();
  const auto oldExplainer = members.explainer();
  members.setTitle("Reproduce Now");
  members.setExplainer("Press Done when the window flickers.");

  auto runner = DiagnosisRunner::make({stepKind<StoppableStep>()});
  runner->run(anyFeedback, [] {});
  const auto items = runner->items();
  members.setTitle(oldTitle);
  members.setExplainer(oldExplainer);

  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, "Reproduce Now");
  EXPECT_EQ(items[0].instructions, "Press Done when the window flickers.");
}

TEST_F(DiagnosisRunnerTest, NullStepKindIsRefused) {
  EXPECT_THROW(DiagnosisRunner::make({stepKind<SucceedsStep>(), nullptr}), std::invalid_argument);
}

// --- Results and completion ----------------------------------------------------------------------

TEST_F(DiagnosisRunnerTest, OneFailedAndOneFinishedCompleteOnceAfterTheLaterResult) {
  auto runner = DiagnosisRunner::make({stepKind<ManualStep<1>>(), stepKind<ManualStep<2>>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  const auto started = runner->items();
  ASSERT_EQ(started.size(), 2u);

  stepOf<ManualStep<1>>(started[0])->deliver(Error(Error::Kind::process, "could not launch"));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return runner->items()[0].state.isFailed(); }, kWait));
  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(runner->items()[1].state.isRunning());

  stepOf<ManualStep<2>>(started[1])->deliver(Bytes(std::string("12345")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();
  EXPECT_EQ(completions, 1);

  const auto items = runner->items();
  EXPECT_TRUE(items[0].state.isFailed());
  EXPECT_EQ(items[0].state.payload(), nullptr);
  ASSERT_TRUE(items[1].state.isFinished());
  EXPECT_EQ(items[1].state.payload()->str(), "12345");

  const auto failed = capture.withFormat(
      "Diagnostic step \"%{public}@\" failed with error \"%{public}@\"", "DiagnosisRunner");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, platform::LogLevel::error);
  EXPECT_EQ(failed[0].message,
            "Diagnostic step \"Manual 1\" failed with error \"could not launch\"");
  const auto finished = capture.withFormat(
      "Diagnostic step \"%{public}@\" finished. Payload size = %{public}d", "DiagnosisRunner");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].level, platform::LogLevel::error);
  EXPECT_EQ(finished[0].message, "Diagnostic step \"Manual 2\" finished. Payload size = 5");
  EXPECT_EQ(capture.count("%{public}@", "DiagnosisRunner"), 2u);  // checkCompetion() per result
  EXPECT_EQ(messages("%{public}@"),
            (std::vector<std::string>{"checkCompetion()", "checkCompetion()"}));
  EXPECT_EQ(capture.count("Runner completed", "DiagnosisRunner"), 1u);
}

TEST_F(DiagnosisRunnerTest, NoCompletionWhileAnyItemIsStillRunning) {
  auto runner = DiagnosisRunner::make(
      {stepKind<SucceedsStep>(), stepKind<NeverCompletesStep>(), stepKind<FailsStep>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  // Results are applied on the main queue, never inside run().
  for (const auto& item : runner->items()) {
    EXPECT_TRUE(item.state.isRunning()) << item.id;
  }

  ASSERT_TRUE(MainQueue::drainUntil(
      [&] { return capture.count("%{public}@", "DiagnosisRunner") == 2; }, kWait));
  MainQueue::drain();
  const auto items = runner->items();
  EXPECT_TRUE(items[0].state.isFinished());
  EXPECT_TRUE(items[1].state.isRunning());
  EXPECT_TRUE(items[2].state.isFailed());
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(capture.count("Runner completed", "DiagnosisRunner"), 0u);
}

TEST_F(DiagnosisRunnerTest, StopActionOnlyForStoppableStepsAndItReachesTheInstance) {
  auto runner = DiagnosisRunner::make({stepKind<StoppableStep>(), stepKind<NeverCompletesStep>()});
  runner->run(anyFeedback, [] {});
  auto items = runner->items();
  ASSERT_EQ(items.size(), 2u);
  ASSERT_TRUE(items[0].stop);
  EXPECT_FALSE(items[1].stop);
  EXPECT_EQ(items[0].instructions, "Click \"Done\" when ready.");
  auto step = stepOf<StoppableStep>(items[0]);
  EXPECT_EQ(step->stopCalls, 0);  // the runner never stops a step by itself

  items[0].stop();
  EXPECT_EQ(step->stopCalls, 1);
  ASSERT_TRUE(MainQueue::drainUntil([&] { return runner->items()[0].state.isFinished(); }, kWait));
  EXPECT_EQ(runner->items()[0].state.payload()->str(), "captured");
}

TEST_F(DiagnosisRunnerTest, ItemsChangeOnlyOnTheMainQueue) {
  auto runner = DiagnosisRunner::make(
      {stepKind<OtherThreadStep>(), stepKind<SucceedsStep>(), stepKind<OtherThreadStep>()});
  struct Publication {
    bool onMainQueue;
    std::thread::id thread;
  };
  std::vector<Publication> publications;  // written by subscribers only
  auto watch = runner->items.subscribe([&](const std::vector<DiagnosisItem>&) {
    publications.push_back({MainQueue::isCurrent(), std::this_thread::get_id()});
  });
  publications.clear();

  std::atomic<int> completions{0};
  MainQueue::async([&] { runner->run(anyFeedback, [&] { ++completions; }); });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions.load() > 0; }, kWait));

  // One list, one "running" per item, one result per item.
  EXPECT_EQ(publications.size(), 7u);
  for (const auto& publication : publications) {
    EXPECT_TRUE(publication.onMainQueue);
    EXPECT_EQ(publication.thread, std::this_thread::get_id());
  }
  const auto items = runner->items();
  for (const auto& item : items) {
    EXPECT_TRUE(item.state.isFinished()) << item.id;
  }
  EXPECT_NE(stepOf<OtherThreadStep>(items[0])->callbackThread(), std::this_thread::get_id());
  EXPECT_NE(stepOf<OtherThreadStep>(items[0])->callbackThread(),
            stepOf<OtherThreadStep>(items[2])->callbackThread());  // each step has its own queue
  EXPECT_EQ(items[0].state.payload()->str(), "from the queue");
  EXPECT_EQ(completions.load(), 1);
}

TEST_F(DiagnosisRunnerTest, EachStartIsItsOwnPublication) {
  auto runner = DiagnosisRunner::make(
      {stepKind<NeverCompletesStep>(), stepKind<StoppableStep>(), stepKind<FailsStep>()});
  std::vector<std::vector<DiagnosisItem::State::Case>> seen;
  auto watch = runner->items.subscribe([&](const std::vector<DiagnosisItem>& items) {
    std::vector<DiagnosisItem::State::Case> states;
    for (const auto& item : items) {
      states.push_back(item.state.kind());
    }
    seen.push_back(states);
  });
  seen.clear();
  runner->run(anyFeedback, [] {});

  using Case = DiagnosisItem::State::Case;
  EXPECT_EQ(seen, (std::vector<std::vector<Case>>{
                      {Case::idle, Case::idle, Case::idle},
                      {Case::running, Case::idle, Case::idle},
                      {Case::running, Case::running, Case::idle},
                      {Case::running, Case::running, Case::running},
                  }));
}

TEST_F(DiagnosisRunnerTest, SecondRunCountsTheItemsOfTheFirst) {
  auto runner = DiagnosisRunner::make({stepKind<SucceedsStep>(), stepKind<FailsStep>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions == 1; }, kWait));
  runner->run(anyFeedback, [&] { ++completions; });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions == 2; }, kWait));

  const auto lines = capture.withFormat("%{public}@ with %d item(s)", "DiagnosisRunner");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "run(for:completion:) with 0 item(s)");
  EXPECT_EQ(lines[1].message, "run(for:completion:) with 2 item(s)");
  EXPECT_EQ(lines[0].level, platform::LogLevel::debug);
}

TEST_F(DiagnosisRunnerTest, EveryRunMakesFreshStepInstances) {
  auto runner = DiagnosisRunner::make({stepKind<NeverCompletesStep>()});
  runner->run(anyFeedback, [] {});
  const auto first = runner->items()[0].step;
  runner->run(anyFeedback, [] {});
  EXPECT_NE(runner->items()[0].step, first);
}

// --- Results that must not be applied ------------------------------------------------------------

TEST_F(DiagnosisRunnerTest, ResultsOfAnEarlierRunAreDropped) {
  auto runner = DiagnosisRunner::make({stepKind<ManualStep<1>>(), stepKind<ManualStep<2>>()});
  int firstCompletions = 0;
  int secondCompletions = 0;
  runner->run(anyFeedback, [&] { ++firstCompletions; });
  const auto firstItems = runner->items();

  // One result is already queued for the main queue when the second run starts, the other
  // arrives after it.
  stepOf<ManualStep<1>>(firstItems[0])->deliver(Bytes(std::string("old")));
  runner->run(anyFeedback, [&] { ++secondCompletions; });
  stepOf<ManualStep<2>>(firstItems[1])->deliver(Error(Error::Kind::generic, "old failure"));
  MainQueue::drain();

  auto items = runner->items();
  EXPECT_TRUE(items[0].state.isRunning());
  EXPECT_TRUE(items[1].state.isRunning());
  EXPECT_EQ(firstCompletions, 0);
  EXPECT_EQ(secondCompletions, 0);
  EXPECT_TRUE(
      messages("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d").empty());

  stepOf<ManualStep<1>>(items[0])->deliver(Bytes(std::string("new")));
  stepOf<ManualStep<2>>(items[1])->deliver(Bytes(std::string("newer")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return secondCompletions > 0; }, kWait));
  items = runner->items();
  EXPECT_EQ(items[0].state.payload()->str(), "new");
  EXPECT_EQ(items[1].state.payload()->str(), "newer");
  EXPECT_EQ(firstCompletions, 0);
  EXPECT_EQ(secondCompletions, 1);
}

TEST_F(DiagnosisRunnerTest, SecondResultOfAStepIsIgnored) {
  auto runner = DiagnosisRunner::make({stepKind<CallsBackTwiceStep>(), stepKind<ManualStep<1>>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  auto manual = stepOf<ManualStep<1>>(runner->items()[1]);
  manual->deliver(Bytes(std::string("one")));
  manual->deliver(Error(Error::Kind::generic, "two"));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();

  const auto items = runner->items();
  EXPECT_EQ(items[0].state, DiagnosisItem::State::finished(Bytes(std::string("first"))));
  EXPECT_EQ(items[1].state, DiagnosisItem::State::finished(Bytes(std::string("one"))));
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(messages("Diagnostic step \"%{public}@\" failed with error \"%{public}@\"").empty());
}

TEST_F(DiagnosisRunnerTest, StepWhoseRunThrowsFailsItsItem) {
  auto runner = DiagnosisRunner::make({stepKind<ThrowsStep>(), stepKind<SucceedsStep>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));

  const auto items = runner->items();
  EXPECT_TRUE(items[0].state.isFailed());
  EXPECT_TRUE(items[1].state.isFinished());
  EXPECT_EQ(
      messages("Diagnostic step \"%{public}@\" failed with error \"%{public}@\""),
      std::vector<std::string>{"Diagnostic step \"Throws\" failed with error \"step exploded\""});
  EXPECT_EQ(completions, 1);
}

TEST_F(DiagnosisRunnerTest, RunnerDestroyedMidRunDropsItsResults) {
  auto runner = DiagnosisRunner::make(
      {stepKind<ManualStep<1>>(), stepKind<ManualStep<2>>(), stepKind<OtherThreadStep>()});
  int completions = 0;
  runner->run(anyFeedback, [&] { ++completions; });
  auto items = runner->items();
  auto first = stepOf<ManualStep<1>>(items[0]);
  auto second = stepOf<ManualStep<2>>(items[1]);
  items.clear();

  first->deliver(Bytes(std::string("queued before the runner went away")));
  runner.reset();  // also ends the other-thread step, whose result may be under way
  second->deliver(Bytes(std::string("after the runner went away")));
  MainQueue::drain();

  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(
      messages("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d").empty());
}

TEST_F(DiagnosisRunnerTest, StepsAreReleasedWithTheRunner) {
  auto runner = DiagnosisRunner::make({stepKind<StoppableStep>(), stepKind<ManualStep<1>>()});
  bool completed = false;
  runner->run(anyFeedback, [&] { completed = true; });
  std::weak_ptr<DiagnosisStep> stoppable = runner->items()[0].step;
  std::weak_ptr<DiagnosisStep> manual = runner->items()[1].step;
  runner->items()[0].stop();
  stepOf<ManualStep<1>>(runner->items()[1])->deliver(Bytes(std::string("done")));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completed; }, kWait));

  // Both steps still hold their completions; nothing they hold keeps them alive.
  runner.reset();
  EXPECT_TRUE(stoppable.expired());
  EXPECT_TRUE(manual.expired());
}

// --- The item value ------------------------------------------------------------------------------

TEST(DiagnosisItem, TakesItsFileExtensionFromTheStepAndComparesFieldByField) {
  auto step = std::make_shared<SucceedsStep>();
  DiagnosisItem item(step, "Succeeds", DiagnosisItem::State::idle(), std::nullopt, nullptr);
  EXPECT_EQ(item.fileExtension, "json");
  EXPECT_FALSE(item.stop);

  DiagnosisItem same(step, "Succeeds", DiagnosisItem::State(), std::nullopt, nullptr);
  EXPECT_EQ(item, same);
  same.state = DiagnosisItem::State::finished(Bytes(std::string("x")));
  EXPECT_NE(item, same);
  DiagnosisItem otherStep(std::make_shared<SucceedsStep>(), "Succeeds",
                          DiagnosisItem::State::idle(), std::nullopt, nullptr);
  EXPECT_NE(item, otherStep);

  EXPECT_THROW(DiagnosisItem(nullptr, "none", DiagnosisItem::State::idle(), std::nullopt, nullptr),
               std::invalid_argument);
}

}  // namespace
}  // namespace tessaline
