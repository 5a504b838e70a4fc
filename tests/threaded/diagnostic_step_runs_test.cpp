// The four diagnostics steps and the runner, run for real: the stand-in tools or shell scripts in
// their place, zip, real files.
#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <mutex>
#include <thread>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::LogCapture;
using platform::MainQueue;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;
using Requirement = Feedback::Requirement;
constexpr auto kWait = std::chrono::seconds(60);

const std::string kPredicate =
    "process contains 'Pairloom' OR subsystem contains 'brisquet.OrvAudio' OR subsystem contains "
    "'brisquet.OrvCore' OR subsystem contains 'brisquet.OrvUI' OR subsystem contains "
    "'brisquet.Pairloom.WirelessInputService'";
const std::vector<std::string> kSections{"SPUniversalAccessDataType", "SPAudioDataType",
                                         "SPBluetoothDataType",       "SPEthernetDataType",
                                         "SPDisplaysDataType",        "SPHardwareDataType",
                                         "SPInternationalDataType",   "SPPowerDataType",
                                         "SPAirPortDataType",         "SPSoftwareDataType"};

// A completion of a step: its result, whether it came on the main queue, and whether the step
// still said it was running.
struct Call {
  Result<Bytes> result;
  bool onMainQueue = false;
  bool stepWasRunning = false;
};

// The completions of a step; a late one after the recorder is gone still has somewhere to go.
class Recorder {
 public:
  DiagnosisStep::Completion completion(const std::shared_ptr<DiagnosisStep>& step) {
    return [calls = calls_, weak = std::weak_ptr(step)](Result<Bytes> result) {
      const auto alive = weak.lock();
      std::lock_guard lock(calls->mutex);
      calls->list.push_back(
          {std::move(result), MainQueue::isCurrent(), alive && alive->isRunning()});
    };
  }
  std::size_t count() const {
    std::lock_guard lock(calls_->mutex);
    return calls_->list.size();
  }
  // The first completion, waited for while the main queue runs.
  Call first() const {
    EXPECT_TRUE(testing::waitFor([this] { return MainQueue::drain(), count() > 0; }));
    std::lock_guard lock(calls_->mutex);
    return calls_->list.empty() ? Call{Error(Error::Kind::generic, "none")} : calls_->list[0];
  }

 private:
  struct Calls {
    std::mutex mutex;
    std::vector<Call> list;
  };
  std::shared_ptr<Calls> calls_ = std::make_shared<Calls>();
};

Call run(const std::shared_ptr<DiagnosisStep>& step) {
  Recorder recorder;
  step->run(Feedback(), recorder.completion(step));
  return recorder.first();
}

Feedback requiring(Requirement systemProfile, Requirement appLogs, Requirement crashLogs) {
  Feedback feedback;
  feedback.reason.systemProfile = systemProfile;
  feedback.reason.appLogs = appLogs;
  feedback.reason.crashLogs = crashLogs;
  return feedback;
}

const std::vector<StepKind> kAllSteps{SystemProfileStep::kind(), SystemLogsCollectorStep::kind(),
                                      ApplicationLogsCollectorStep::kind(),
                                      CollectCrashReportsStep::kind()};

std::vector<std::string> idsOf(const std::vector<DiagnosisItem>& items) {
  std::vector<std::string> ids;
  for (const auto& item : items) {
    ids.push_back(item.id);
  }
  return ids;
}

std::vector<std::string> messages(const LogCapture& capture, std::string_view format) {
  std::vector<std::string> found;
  for (const auto& record : capture.withFormat(format)) {
    found.push_back(record.message);
  }
  return found;
}

// Each step on its real tool completes exactly once: the main queue is drained again after the
// first completion before counting.
TEST(DiagnosticStepRunTest, EachStepOnItsRealToolCompletesExactlyOnce) {
  testing::TemporaryDirectory home;
  ScopedEnvironment homeVariable("HOME", home.path().string());
  ScopedEnvironment tmpdir("TMPDIR", home.path().string());
  const std::pair<StepKind, bool> rows[] = {
      {SystemProfileStep::kind(), true},
      {SystemLogsCollectorStep::kind(), true},
      {ApplicationLogsCollectorStep::kind(), false},  // on the step's own queue
      {CollectCrashReportsStep::kind(), true}};
  for (const auto& [kind, onMainQueue] : rows) {
    Recorder recorder;
    const auto step = kind->make();
    step->run(Feedback(), recorder.completion(step));
    EXPECT_TRUE(step->isRunning());
    if (step->isStoppable()) {
      ASSERT_TRUE(testing::waitFor([] { return testing::childBlockingSigterm("tessaline-log"); }));
      step->stop();
    }
    const auto call = recorder.first();
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), 1u);
    EXPECT_TRUE(call.result.ok()) << call.result.error().description();
    EXPECT_EQ(call.onMainQueue, onMainQueue);
    EXPECT_FALSE(call.stepWasRunning);
  }
}

TEST(DiagnosticStepRunTest, AStepWhoseToolOrFolderIsMissingFails) {
  testing::TemporaryDirectory directory;
  const auto notAFolder = directory.write("file", "x").string();
  struct Row {
    std::shared_ptr<DiagnosisStep> step;
    std::string tool;  // replaced by a missing program; none: TMPDIR is a file instead
    Error::Kind kind;
    std::string logged;  // the error line, if any
  };
  const Row rows[] = {
      {std::make_shared<SystemProfileStep>(), "/usr/sbin/system_profiler", Error::Kind::process,
       "Could not launch the system profiler: %{public}@"},
      {std::make_shared<SystemLogsCollectorStep>(), "/usr/bin/log", Error::Kind::process,
       "Could not launch the log tool: %{public}@"},
      {std::make_shared<ApplicationLogsCollectorStep>(), "/usr/bin/zip", Error::Kind::process,
       "Failed to add source files to log archive: %{public}s"},
      {std::make_shared<ApplicationLogsCollectorStep>(), "", Error::Kind::fileSystem,
       "Log archival failed: %{public}s"},
  };
  for (const auto& row : rows) {
    LogCapture capture;
    ScopedExecutableOverride tool(row.tool.empty() ? "/none" : row.tool, "/nonexistent/tool");
    ScopedEnvironment tmpdir("TMPDIR", row.tool.empty() ? notAFolder : directory.path().string());
    const auto call = run(row.step);
    ASSERT_FALSE(call.result.ok()) << row.logged;
    EXPECT_EQ(call.result.error().kind(), row.kind) << row.logged;
    EXPECT_FALSE(call.stepWasRunning);
    EXPECT_EQ(messages(capture, row.logged).size(), 1u) << row.logged;
  }
}

// The profiler and the log tool get their arguments and the host's folder; releasing the step
// ends its tool without a completion, and "Done" ends the capture with the tool's last words.
TEST(DiagnosticStepRunTest, ToolsRunWithTheirArgumentsUntilStoppedOrReleased) {
  auto profiler = kSections;
  profiler.insert(profiler.end(), {"-timeout", "60", "-json"});
  const std::vector<std::string> logTool{"stream",  "--color", "none",        "--level", "debug",
                                         "--style", "compact", "--predicate", kPredicate};
  const std::tuple<std::string, std::vector<std::string>, bool> rows[] = {
      {"/usr/sbin/system_profiler", profiler, false},
      {"/usr/bin/log", logTool, false},
      {"/usr/bin/log", logTool, true}};
  for (const auto& [path, arguments, stopped] : rows) {
    testing::TemporaryDirectory directory;
    const auto tool = testing::script(directory.path(), testing::kStreamUntilTerminated);
    ScopedExecutableOverride override(path, tool);
    Recorder recorder;
    std::shared_ptr<DiagnosisStep> step = std::make_shared<SystemProfileStep>();
    if (path == "/usr/bin/log") {
      step = std::make_shared<SystemLogsCollectorStep>();
    }
    step->run(Feedback(), recorder.completion(step));
    const auto pid = testing::waitForMarker(tool.string() + ".pid");
    ASSERT_TRUE(pid) << path;
    auto expected = arguments;
    expected.push_back(fs::current_path().string());
    EXPECT_EQ(testing::recordedArguments(tool), expected);
    if (stopped) {
      step->stop();
      const auto call = recorder.first();
      step->stop();  // the tool is gone: nothing happens
      EXPECT_TRUE(call.result.value().str().ends_with("\x1eterminated\n"));
      EXPECT_TRUE(call.onMainQueue);
      EXPECT_FALSE(call.stepWasRunning);
    } else {
      step.reset();  // returns at once; the tool is terminated and reaped on the step's queue
    }
    EXPECT_TRUE(testing::waitFor([&] { return !testing::processExists(*pid); })) << path;
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), stopped ? 1u : 0u) << path;
  }
}

TEST(DiagnosticStepRunTest, AStopRacingTheLaunchAlwaysEndsTheCapture) {
  testing::TemporaryDirectory directory;
  ScopedExecutableOverride tool("/usr/bin/log",
                                testing::script(directory.path(), "exec sleep 600\n"));
  for (int i = 0; i < 20; ++i) {
    Recorder recorder;
    auto step = std::make_shared<SystemLogsCollectorStep>();
    if (i == 0) {
      step->stop();  // before the launch: the capture ends right after it
    }
    step->run(Feedback(), recorder.completion(step));
    std::thread([step] { step->stop(); }).join();
    EXPECT_TRUE(recorder.first().result.ok()) << "round " << i;
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), 1u);
  }
}

// zip runs in the temporary folder with three arguments; a run that leaves no archive fails and
// leaves no staging folder behind either.
TEST(DiagnosticStepRunTest, ZipArchivesTheStagingFolderInTheTemporaryFolder) {
  testing::TemporaryDirectory temporary;
  testing::TemporaryDirectory tools;
  ScopedEnvironment tmpdir("TMPDIR", temporary.path().string());
  const auto zip = testing::script(tools.path(), testing::kRecordArguments);
  ScopedExecutableOverride override("/usr/bin/zip", zip);
  const auto before = std::time(nullptr) - 978307200;
  const auto call = run(std::make_shared<ApplicationLogsCollectorStep>());
  EXPECT_EQ(call.result.error().kind(), Error::Kind::fileSystem);
  const auto arguments = testing::recordedArguments(zip);
  ASSERT_EQ(arguments.size(), 4u);
  const auto directory = temporary.path().string() + "/";
  const auto stamp = std::stoll(arguments[1].substr(directory.size() + 19));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, std::time(nullptr) - 978307200);
  EXPECT_EQ(arguments, (std::vector<std::string>{
                           "-r", directory + "PairloomLogArchive-" + std::to_string(stamp) + ".zip",
                           "./PairloomLogs-" + std::to_string(stamp),
                           fs::canonical(temporary.path()).string()}));
  EXPECT_TRUE(fs::is_empty(temporary.path()));
}

// Creation times that differ, in the order of the writes, where the file system keeps them.
class CrashReportsTest : public ::testing::Test {
 protected:
  bool writeReport(const std::string& relativePath, const std::string& content) {
    const auto path = home_.path() / "Library/Logs/DiagnosticReports" / relativePath;
    fs::create_directories(path.parent_path());
    const auto staging = path.parent_path() / ".writing";
    const bool newer = testing::waitFor([&] {
      std::ofstream(staging, std::ios::binary) << content;
      const auto created = platform::FileSystem::creationDate(staging.string());
      const bool later = created && (!latest_ || *created > *latest_);
      if (later) {
        latest_ = created;
      } else {
        fs::remove(staging);
      }
      return later;
    });
    if (newer) {
      fs::rename(staging, path);  // a rename keeps the creation time
    }
    return newer;
  }

  testing::TemporaryDirectory home_{"tessaline-home"};
  ScopedEnvironment homeVariable_{"HOME", home_.path().string()};
  std::optional<platform::FileSystem::Time> latest_;
};

// Reports are chosen by name anywhere in the tree; the four newest are kept, newest first, and a
// folder among them counts toward the limit, fails to read and is logged.
TEST_F(CrashReportsTest, TheFourNewestMatchingReportsNewestFirst) {
  if (!platform::FileSystem::creationDate(home_.path().string())) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  LogCapture capture;
  const std::string binary("\x00\x01\x02\xff{\"crash\":true}", 18);
  for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
           {"Other_2024-01-01-120000_Mac.ips", "other"},
           {"Pairloom-1.ips", "1"},
           {"notes.txt", "notes"},
           {"Retired/Older/pairloomhelper-2.crash", "2"},
           {"Pairloom_2024-01-01-120000_Mac.ips", binary},
           {"HandsetLinkService-3.ips", "3"},
           {"Pairloom-archive/placeholder", "x"}}) {
    ASSERT_TRUE(writeReport(name, content));
  }
  const auto call = run(std::make_shared<CollectCrashReportsStep>());
  EXPECT_TRUE(call.onMainQueue);
  const auto reports = CollectCrashReportsStep::Report::decodeList(call.result.value().view());
  ASSERT_TRUE(reports.ok());
  std::vector<std::string> names;
  for (const auto& report : reports.value()) {
    names.push_back(report.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"HandsetLinkService-3.ips",
                                             "Pairloom_2024-01-01-120000_Mac.ips",
                                             "pairloomhelper-2.crash"}));
  EXPECT_TRUE(reports.value()[1].payload.view() == binary);
  EXPECT_EQ(messages(capture, "Found %d reports, limiting output to %d"),
            std::vector<std::string>{"Found 5 reports, limiting output to 4"});
  EXPECT_EQ(messages(capture, "Produced %d report file(s)"),
            std::vector<std::string>{"Produced 3 report file(s)"});
  const auto errors = capture.withFormat("Error reading file at %@: %{public}@");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].message.find("Pairloom-archive: "), std::string::npos);
  EXPECT_NE(errors[0].message.find("Is a directory"), std::string::npos);
  EXPECT_EQ(errors[0].level, platform::LogLevel::error);
}

// The four steps through a runner: it starts them all from the main queue, never stops the log
// capture by itself, applies results on the main queue and completes once after the last.
TEST(DiagnosisRunnerTest, TheFourStepsRunThroughARunnerThatCompletesOnceAfterTheLast) {
  testing::TemporaryDirectory home;
  ScopedEnvironment homeVariable("HOME", home.path().string());
  ScopedEnvironment tmpdir("TMPDIR", home.path().string());
  home.write("Library/Logs/DiagnosticReports/Pairloom-1.ips", "crash");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL(home.write("app.log", "app line\n").string())});
  LogCapture capture;
  auto runner = DiagnosisRunner::make(kAllSteps);
  std::vector<std::string> seen;  // the states of each published list, "i", "r", "f", "x"
  bool offTheMainQueue = false;
  auto watch = runner->items.subscribe([&](const std::vector<DiagnosisItem>& items) {
    offTheMainQueue |= !MainQueue::isCurrent();
    seen.emplace_back();
    for (const auto& item : items) {
      seen.back() += "irfx"[static_cast<int>(item.state.kind())];
    }
  });
  seen.clear();
  offTheMainQueue = false;
  int completions = 0;
  MainQueue::async([&] {
    runner->run(requiring(Requirement::required, Requirement::required, Requirement::required),
                [&] { ++completions; });
  });
  ASSERT_TRUE(MainQueue::drainUntil(
      [&] { return seen.size() >= 8 && seen.back() == std::string("frff"); }, kWait));
  auto items = runner->items();
  EXPECT_EQ(idsOf(items),
            (std::vector<std::string>{"System Profile", "System Logs", "App Logs", "Crash Logs"}));
  EXPECT_EQ(std::vector(seen.begin(), seen.begin() + 5),
            (std::vector<std::string>{"iiii", "riii", "rrii", "rrri", "rrrr"}));
  EXPECT_EQ(completions, 0);
  const std::vector<std::optional<std::string>> instructions{
      "This step can take up to a minute, please be patient.",
      "Click \"Done\" after reproducing the issue.", std::nullopt, std::nullopt};
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].instructions, instructions[i]) << items[i].id;
    EXPECT_EQ(items[i].fileExtension, i == 0 || i == 3 ? "json" : "txt") << items[i].id;
    EXPECT_EQ(static_cast<bool>(items[i].stop), i == 1) << items[i].id;
  }
  ASSERT_TRUE(testing::waitFor([] { return testing::childBlockingSigterm("tessaline-log"); }));
  items[1].stop();
  ASSERT_TRUE(MainQueue::drainUntil([&] { return completions > 0; }, kWait));
  MainQueue::drain();
  EXPECT_EQ(completions, 1);
  EXPECT_FALSE(offTheMainQueue);
  items = runner->items();
  std::vector<std::string> sections;
  const auto profile = nlohmann::ordered_json::parse(items[0].state.payload()->str());
  for (const auto& [key, value] : profile.items()) {
    sections.push_back(key);
    EXPECT_TRUE(value.is_array()) << key;
  }
  EXPECT_EQ(sections, kSections);
  auto logs = items[1].state.payload()->str();
  if (logs.starts_with("tessaline-log: cannot read the system journal")) {
    logs.erase(0, logs.find('\n') + 1);  // a machine without a readable journal
  }
  EXPECT_TRUE(logs.starts_with("Filtering the log data using \"" + kPredicate + "\"\n"));
  EXPECT_TRUE(items[2].state.payload()->view().starts_with("PK\x03\x04"));
  EXPECT_EQ(CollectCrashReportsStep::Report::decodeList(items[3].state.payload()->view())
                .value()
                .at(0)
                .name,
            "Pairloom-1.ips");
  EXPECT_EQ(messages(capture, "Will collect diagnostics: %{public}@"),
            std::vector<std::string>{
                "Will collect diagnostics: System Profile, System Logs, App Logs, Crash Logs"});
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            4u);
  EXPECT_EQ(capture.count("Runner completed"), 1u);
}

// With no step that applies, the run completes once before run() returns; a retitled step kind
// shows its new title and explainer.
TEST(DiagnosisRunnerTest, AReasonSelectsTheStepsItRequires) {
  testing::TemporaryDirectory directory;
  ScopedEnvironment tmpdir("TMPDIR", directory.path().string());
  LogCapture capture;
  const std::pair<Feedback, std::vector<std::string>> rows[] = {
      {requiring(Requirement::optional, Requirement::required, Requirement::notRequired),
       {"System Logs", "App Logs"}},
      {requiring(Requirement::required, Requirement::optional, Requirement::notRequired),
       {"System Profile"}},
      {requiring(Requirement::optional, Requirement::optional, Requirement::notRequired), {}},
  };
  for (const auto& [feedback, ids] : rows) {
    auto runner = DiagnosisRunner::make(kAllSteps);
    int completions = 0;
    std::vector<std::size_t> published;
    auto watch = runner->items.subscribe(
        [&](const std::vector<DiagnosisItem>& items) { published.push_back(items.size()); });
    runner->run(feedback, [&] { ++completions; });
    EXPECT_EQ(idsOf(runner->items()), ids);
    auto expected = std::vector<std::size_t>(ids.size() + 1, ids.size());  // the list, each start
    expected.insert(expected.begin(), 0);                                  // the current list first
    EXPECT_EQ(published, expected);
    EXPECT_EQ(completions, ids.empty() ? 1 : 0);
    EXPECT_TRUE(runner->completionHandler);
  }
  EXPECT_EQ(capture.count("No diagnostics required, skipping collection"), 1u);
  EXPECT_EQ(capture.count("Will collect diagnostics: %{public}@"), 2u);

  auto& crash = CollectCrashReportsStep::classMembers();
  crash.setTitle("Reproduce Now");
  crash.setExplainer("Press Done when the window flickers.");
  auto runner = DiagnosisRunner::make(kAllSteps);
  runner->run(requiring(Requirement::optional, Requirement::optional, Requirement::required),
              [] {});
  crash.setTitle("Crash Logs");
  crash.setExplainer(std::nullopt);
  ASSERT_EQ(runner->items().size(), 1u);
  EXPECT_EQ(runner->items()[0].id, "Reproduce Now");
  EXPECT_EQ(runner->items()[0].instructions, "Press Done when the window flickers.");
  MainQueue::drain();
}

// A second run makes fresh steps and drops the first run's results, whether they were on their
// way already or come later; a failed item has no payload.
TEST(DiagnosisRunnerTest, ASecondRunDropsTheResultsOfTheFirst) {
  testing::TemporaryDirectory directory;
  ScopedEnvironment tmpdir("TMPDIR", directory.path().string());
  ScopedExecutableOverride zip("/usr/bin/zip", "/nonexistent/zip");
  ScopedExecutableOverride log("/usr/bin/log",
                               testing::script(directory.path(), "exec sleep 600\n"));
  LogCapture capture;
  auto runner = DiagnosisRunner::make(
      {SystemLogsCollectorStep::kind(), ApplicationLogsCollectorStep::kind()});
  const auto feedback =
      requiring(Requirement::optional, Requirement::required, Requirement::optional);
  int first = 0;
  int second = 0;
  runner->run(feedback, [&] { ++first; });
  const auto firstItems = runner->items();
  ASSERT_TRUE(testing::waitFor([&] { return !firstItems[1].step->isRunning(); }));
  runner->run(feedback, [&] { ++second; });
  firstItems[0].stop();
  ASSERT_TRUE(testing::waitFor([&] { return !firstItems[0].step->isRunning(); }));
  ASSERT_TRUE(MainQueue::drainUntil([&] { return runner->items()[1].state.isFailed(); }, kWait));
  MainQueue::drain();
  auto items = runner->items();
  EXPECT_NE(items[0].step, firstItems[0].step);
  EXPECT_TRUE(items[0].state.isRunning());
  items[0].stop();
  ASSERT_TRUE(MainQueue::drainUntil([&] { return second > 0; }, kWait));
  MainQueue::drain();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(runner->items()[1].state.payload(), nullptr);
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" failed with error \"%{public}@\""), 1u);
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            1u);
  EXPECT_EQ(messages(capture, "%{public}@ with %d item(s)"),
            (std::vector<std::string>{"run(for:completion:) with 0 item(s)",
                                      "run(for:completion:) with 2 item(s)"}));
}

}  // namespace
}  // namespace tessaline
