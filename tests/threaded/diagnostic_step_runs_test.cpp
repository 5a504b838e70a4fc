// The four diagnostics steps and the runner, run for real: the stand-in tools or shell scripts in
// their place, zip, real files; also on a messy machine: special files, huge and oddly named
// reports, clashing and relative temporary folders, tools that overrun or ignore SIGTERM, host
// steps that misbehave.
#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/Redactor.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include "support/FormTesting.h"
#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::LogCapture;
using platform::MainQueue;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;
using testing::TemporaryDirectory;
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
  // `atCompletion` runs inside each completion.
  DiagnosisStep::Completion completion(
      const std::shared_ptr<DiagnosisStep>& step, std::function<void()> atCompletion = [] {}) {
    return [calls = calls_, weak = std::weak_ptr(step), atCompletion](Result<Bytes> result) {
      atCompletion();
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

// Runs a step and waits for its first completion.
Call run(
    const std::shared_ptr<DiagnosisStep>& step, std::function<void()> atCompletion = [] {}) {
  Recorder recorder;
  step->run(Feedback(), recorder.completion(step, std::move(atCompletion)));
  return recorder.first();
}

Feedback requiring(Requirement systemProfile, Requirement appLogs, Requirement crashLogs) {
  Feedback feedback;
  feedback.reason = testing::makeReason(0, systemProfile, appLogs, crashLogs);
  return feedback;
}

const std::vector<StepKind> kAllSteps{SystemProfileStep::kind(), SystemLogsCollectorStep::kind(),
                                      ApplicationLogsCollectorStep::kind(),
                                      CollectCrashReportsStep::kind()};

// One text member of each element: the ids of items, the messages of log records, ...
template <typename T>
std::vector<std::string> texts(const std::vector<T>& list, std::string T::*member) {
  std::vector<std::string> found;
  for (const auto& element : list) {
    found.push_back(element.*member);
  }
  return found;
}

std::vector<std::string> messages(const LogCapture& capture, std::string_view format) {
  return texts(capture.withFormat(format), &platform::LogRecord::message);
}

// A FIFO, a socket and a link to /dev/zero, named like crash reports.
void plantSpecialFiles(const fs::path& folder) {
  fs::create_directories(folder);
  ASSERT_EQ(::mknod((folder / "Pairloom-fifo.ips").c_str(), S_IFIFO | 0600, 0), 0);
  ASSERT_EQ(::mknod((folder / "Pairloom-socket.ips").c_str(), S_IFSOCK | 0600, 0), 0);
  fs::create_symlink("/dev/zero", folder / "Pairloom-zero.ips");
}

// What unzip prints in `folder`, its lines sorted.
std::vector<std::string> unzip(const fs::path& folder, const std::vector<std::string>& arguments) {
  platform::Process unzip("/usr/bin/unzip", arguments);
  unzip.setCurrentDirectory(folder.string());
  EXPECT_TRUE(unzip.launch().ok());
  unzip.waitUntilExit();
  std::vector<std::string> lines;
  std::istringstream in(unzip.output().str());
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The four real steps on their tools. Alone, each completes exactly once (the main queue is
// drained again before counting; the log capture is stopped even before it starts). Through a
// runner, which starts them from the main queue, never stops the log capture by itself, applies
// results on the main queue and completes once after the last.
TEST(DiagnosisRunnerTest, TheFourStepsCompleteOnceAloneAndThroughARunner) {
  TemporaryDirectory home;
  ScopedEnvironment homeVariable("HOME", home.path().string());
  ScopedEnvironment tmpdir("TMPDIR", home.path().string());
  home.write("Library/Logs/DiagnosticReports/Pairloom-1.ips", "crash");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL(home.write("app.log", "app line\n").string())});
  for (std::size_t i = 0; i < kAllSteps.size(); ++i) {
    Recorder recorder;
    const auto step = kAllSteps[i]->make();
    if (step->isStoppable()) {
      step->stop();  // before the launch: the capture ends right after it
    }
    step->run(Feedback(), recorder.completion(step));
    EXPECT_TRUE(step->isRunning());
    const auto call = recorder.first();
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), 1u) << i;
    EXPECT_TRUE(call.result.ok()) << call.result.error().description();
    EXPECT_EQ(call.onMainQueue, i != 2) << i;  // the archive comes on the step's own queue
    EXPECT_FALSE(call.stepWasRunning) << i;
  }

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
  EXPECT_EQ(texts(items, &DiagnosisItem::id),
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
  const auto crashes =
      CollectCrashReportsStep::Report::decodeList(items[3].state.payload()->view());
  EXPECT_EQ(crashes.value().at(0).name, "Pairloom-1.ips");
  EXPECT_EQ(messages(capture, "Will collect diagnostics: %{public}@"),
            std::vector<std::string>{
                "Will collect diagnostics: System Profile, System Logs, App Logs, Crash Logs"});
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            4u);
  EXPECT_EQ(capture.count("Runner completed"), 1u);
}

// A tool or folder that is missing, or a zip that leaves no archive, fails the step and leaves no
// staging folder behind.
TEST(DiagnosticStepRunTest, AStepWhoseToolOrFolderIsMissingFails) {
  TemporaryDirectory directory;
  const auto notAFolder = directory.write("file", "x").string();
  struct Row {
    std::shared_ptr<DiagnosisStep> step;
    std::string tool;         // replaced; none: TMPDIR is a file instead
    std::string replacement;  // what runs in its place
    Error::Kind kind;
    std::string logged;  // the error line
  };
  const Row rows[] = {
      {std::make_shared<SystemProfileStep>(), "/usr/sbin/system_profiler", "/nonexistent/tool",
       Error::Kind::process, "Could not launch the system profiler: %{public}@"},
      {std::make_shared<SystemLogsCollectorStep>(), "/usr/bin/log", "/nonexistent/tool",
       Error::Kind::process, "Could not launch the log tool: %{public}@"},
      {std::make_shared<ApplicationLogsCollectorStep>(), "/usr/bin/zip", "/nonexistent/tool",
       Error::Kind::process, "Failed to add source files to log archive: %{public}s"},
      {std::make_shared<ApplicationLogsCollectorStep>(), "/usr/bin/zip", "/bin/true",
       Error::Kind::fileSystem, "Failed to add source files to log archive: %{public}s"},
      {std::make_shared<ApplicationLogsCollectorStep>(), "", "", Error::Kind::fileSystem,
       "Log archival failed: %{public}s"},
  };
  for (const auto& row : rows) {
    LogCapture capture;
    ScopedExecutableOverride tool(row.tool.empty() ? "/none" : row.tool, row.replacement);
    ScopedEnvironment tmpdir("TMPDIR", row.tool.empty() ? notAFolder : directory.path().string());
    const auto call = run(row.step);
    ASSERT_FALSE(call.result.ok()) << row.logged;
    EXPECT_EQ(call.result.error().kind(), row.kind) << row.logged;
    EXPECT_FALSE(call.stepWasRunning);
    EXPECT_EQ(messages(capture, row.logged).size(), 1u) << row.logged;
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), {}), 1) << row.logged;
  }
}

// A stop from another thread while the tool is being launched still ends the capture, once.
TEST(DiagnosticStepRunTest, AStopRacingTheLaunchAlwaysEndsTheCapture) {
  testing::TemporaryDirectory directory;
  ScopedExecutableOverride tool("/usr/bin/log",
                                testing::script(directory.path(), "exec sleep 600\n"));
  for (int round = 0; round < 20; ++round) {
    Recorder recorder;
    auto step = std::make_shared<SystemLogsCollectorStep>();
    step->run(Feedback(), recorder.completion(step));
    std::thread([step] { step->stop(); }).join();
    EXPECT_TRUE(recorder.first().result.ok()) << "round " << round;
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), 1u);
  }
}

// Reports are chosen by a name token anywhere in the name and the tree, ignoring case; the four
// newest are kept, newest first, and a folder among them counts toward the limit, fails to read and
// is logged.
TEST(CrashReportsTest, TheFourNewestMatchingReportsNewestFirst) {
  TemporaryDirectory home;
  ScopedEnvironment homeVariable("HOME", home.path().string());
  if (!platform::FileSystem::creationDate(home.path().string())) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  LogCapture capture;
  const std::string binary("\x00\x01\x02\xff{\"crash\":true}", 18);
  std::optional<platform::FileSystem::Time> latest;
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"pair-loom_StatsService_WirelessInput.ips", "near misses"},
           {"Pairloom-1.ips", "1"},
           {"notes.txt", "notes"},
           {"Retired/Older/pairloomhelper-2.crash", "2"},
           {"Pairloom_2024-01-01-120000_Mac.ips", binary},
           {"com.HandsetLinkService-3.ips", "3"},
           {"Pairloom-archive/placeholder", "x"}}) {
    // Written until its creation time is later than the last one's, then renamed (which keeps it).
    const auto path = home.path() / "Library/Logs/DiagnosticReports" / name;
    const auto staging = path.parent_path() / ".writing";
    const auto& content = text;  // a structured binding is not captured by every compiler
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(testing::waitFor([&] {
      fs::remove(staging);
      std::ofstream(staging, std::ios::binary) << content;
      const auto created = platform::FileSystem::creationDate(staging.string());
      return created && (!latest || *created > *latest) && (latest = created);
    }));
    fs::rename(staging, path);
  }
  const auto call = run(std::make_shared<CollectCrashReportsStep>());
  EXPECT_TRUE(call.onMainQueue);
  const auto reports = CollectCrashReportsStep::Report::decodeList(call.result.value().view());
  ASSERT_TRUE(reports.ok());
  EXPECT_EQ(
      texts(reports.value(), &CollectCrashReportsStep::Report::name),
      (std::vector<std::string>{"com.HandsetLinkService-3.ips",
                                "Pairloom_2024-01-01-120000_Mac.ips", "pairloomhelper-2.crash"}));
  EXPECT_TRUE(reports.value()[1].payload.view() == binary);
  EXPECT_EQ(messages(capture, "Found %d reports, limiting output to %d"),
            std::vector<std::string>{"Found 5 reports, limiting output to 4"});
  EXPECT_EQ(messages(capture, "Produced %d report file(s)"),
            std::vector<std::string>{"Produced 3 report file(s)"});
  const auto errors = capture.withFormat("Error reading file at %@: %{public}@");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0].message, ::testing::AllOf(::testing::HasSubstr("Pairloom-archive: "),
                                                  ::testing::HasSubstr("Is a directory")));
  EXPECT_EQ(errors[0].level, platform::LogLevel::error);
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
    EXPECT_EQ(texts(runner->items(), &DiagnosisItem::id), ids);
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

TEST(HostileDiagnostics, CrashReportsAreRegularFilesReadWithinTheBoundWhateverTheirName) {
  const struct {
    bool special;
    std::vector<std::string> names;
  } cases[] = {{true, {"Pairloom-good.ips"}},
               {false, {"Pairloom-huge.ips", "Pairloom-\xef\xbf\xbd.ips"}}};
  for (const auto& c : cases) {
    TemporaryDirectory home;
    ScopedEnvironment environment("HOME", home.path().string());
    const std::string folder = "Library/Logs/DiagnosticReports/";
    if (c.special) {
      plantSpecialFiles(home.path() / folder);
      home.write(folder + "Pairloom-good.ips", "report");
    } else {
      home.write(folder + "Pairloom-\xff.ips", "kept");
      fs::resize_file(home.write(folder + "Pairloom-huge.ips", ""), 1ull << 30);  // sparse
    }
    const auto payload = run(std::make_shared<CollectCrashReportsStep>()).result;
    const auto reports =
        CollectCrashReportsStep::Report::decodeList(payload.value().view()).value();
    for (const auto& report : reports) {
      EXPECT_LE(report.payload.size(), CollectCrashReportsStep::kReportByteLimit + 200);
    }
    const auto names = texts(reports, &CollectCrashReportsStep::Report::name);
    EXPECT_EQ(names, c.names);
  }
}

// Registered files and folders are copied into a staging folder made exclusively, which is gone
// before the archive is handed over; what cannot be copied is logged and left out. Text files are
// redacted on the way (not the originals), binary files left alone.
TEST(HostileDiagnostics, ArchiveHoldsTheRegularFilesWhateverTheTemporaryFolder) {
  TemporaryDirectory root;
  ASSERT_TRUE(Redactor::setHostRules({{"device-[0-9A-F]{8}", "device-?"}}).ok());
  const auto app =
      root.write("logs/app.log", "user bob@example.org on device-00AB12CD\nBearer a.b\n");
  const std::string binary("x\0bob@example.org", 17);
  root.write("logs/sub/inner.log", binary);
  plantSpecialFiles(root.path() / "logs");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL((root.path() / "logs").string()),
       Url::fileURL(root.write("other/logs", "same name").string()),
       Url::fileURL((root.path() / "missing.log").string())});
  ApplicationLogsCollectorStep::registerLogFileURLs(  // once more: kept once
      {Url::fileURL((root.path() / "logs").string())});
  const auto t = std::time(nullptr) - 978307200;
  const struct {
    std::string temporary;  // TMPDIR, below the test's folder
    std::string suffix;     // of the run's names, after T
    bool clash;             // another run holds the plain names of T to T + 5
    bool stale;             // an earlier run left unreadable archives for T to T + 5
  } cases[] = {{"b", "-2", true, false}, {"c", "", false, false}, {"d", "", false, true}};
  fs::current_path(root.path());
  for (const auto& c : cases) {
    for (auto clash = t; clash <= t + 5; ++clash) {
      if (c.clash) {
        fs::create_directories(root.path() / c.temporary /
                               ("PairloomLogs-" + std::to_string(clash)));
      }
      if (c.stale) {
        root.write(c.temporary + "/PairloomLogArchive-" + std::to_string(clash) + ".zip", "stale");
      }
    }
    // The second row's TMPDIR is relative: zip runs in another folder.
    ScopedEnvironment environment(
        "TMPDIR", c.temporary == "c" ? c.temporary : (root.path() / c.temporary).string());
    platform::LogCapture log;
    const auto folder = root.path() / c.temporary;
    long stagingFolders = -1;
    const auto archive =
        run(std::make_shared<ApplicationLogsCollectorStep>(), [&] {
          stagingFolders = std::count_if(fs::directory_iterator(folder), {}, [](const auto& entry) {
            return entry.path().filename().string().starts_with("PairloomLogs-");
          });
        }).result;
    ASSERT_TRUE(archive.ok()) << archive.error().description();
    EXPECT_EQ(stagingFolders, c.clash ? 6 : 0);
    std::string stamp;  // T + suffix of the archive that matches the payload
    for (const auto& entry : fs::directory_iterator(folder)) {
      const auto file = entry.path().filename().string();
      if (file.starts_with("PairloomLogArchive-") &&
          platform::FileSystem::readFile(entry.path().string()).value() == archive.value()) {
        stamp = file.substr(19, file.size() - 19 - 4);
      }
    }
    ASSERT_TRUE(stamp.ends_with(c.suffix) && std::stoll(stamp) >= t) << stamp;
    const auto staging = "PairloomLogs-" + stamp;
    const auto zip = "PairloomLogArchive-" + stamp + ".zip";
    EXPECT_EQ(
        unzip(folder, {"-Z1", zip}),
        (std::vector<std::string>{staging + "/", staging + "/logs/", staging + "/logs/app.log",
                                  staging + "/logs/sub/", staging + "/logs/sub/inner.log"}));
    EXPECT_EQ(unzip(folder, {"-p", zip, staging + "/logs/app.log"}),
              (std::vector<std::string>{"Bearer <redacted>", "user <email> on device-?"}));
    EXPECT_EQ(unzip(folder, {"-p", zip, staging + "/logs/sub/inner.log"}),
              std::vector<std::string>{binary});
    const auto errors = log.withFormat("Error copying log file: %{public}s");
    EXPECT_EQ(errors.size(), 5u);  // three special files, a second "logs", a missing file
    EXPECT_TRUE(platform::FileSystem::readFile(app.string())->view().starts_with("user bob"));
  }
}

TEST(HostileDiagnostics, ProfilerPastItsTimeLimitIsTerminatedAndFails) {
  TemporaryDirectory root;
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler",
                                    testing::script(root.path(), "exec sleep 30\n"));
  detail::setProfilerTimeLimit(std::chrono::milliseconds(200));
  const auto result = run(std::make_shared<SystemProfileStep>()).result;
  EXPECT_EQ(result.error().description(),
            "The system profiler did not finish within 1 seconds and was terminated");
}

TEST(HostileDiagnostics, CaptureOverItsCapKeepsWholeLinesAndSaysWhatWasDropped) {
  TemporaryDirectory root;
  const std::string line = "2024-05-01 10:15:23.456 Df Pairloom[1234:1240] a line of the capture";
  const auto tool = testing::script(
      root.path(), "yes '" + line + "' | head -n 1000000\n" + "touch \"$0.done\"\nexec sleep 60\n");
  ScopedExecutableOverride log("/usr/bin/log", tool);  // 69 MB, over the 64 MiB cap
  auto step = std::make_shared<SystemLogsCollectorStep>();
  Recorder recorder;
  step->run(Feedback(), recorder.completion(step));
  ASSERT_TRUE(testing::waitFor([&] { return fs::exists(tool.string() + ".done"); },
                               std::chrono::seconds(120)));
  step->stop();
  const auto text = recorder.first().result.value().str();
  const auto kept = text.substr(text.find('\n') + 1);
  EXPECT_EQ(text.substr(0, text.size() - kept.size()),
            "Tessaline: " + std::to_string(1000000 * (line.size() + 1) - kept.size()) +
                " bytes of earlier lines were dropped to keep the capture within 64 MiB\n");
  EXPECT_EQ(kept.size() % (line.size() + 1), 0u);
  EXPECT_TRUE(kept.starts_with(line + "\n"));
}

// A host's step that throws from run() (3), completes twice (4) or hands its completion to the
// test (5).
struct HostStep final : DiagnosisStep {
  explicit HostStep(int does) : does(does) {}
  bool isRunning() const override { return false; }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    if (does == 3) {
      throw std::runtime_error("step exploded");
    } else if (does == 4) {
      completion(Bytes(std::string("first")));
      completion(Error(Error::Kind::generic, "second"));
    } else {
      kept = std::move(completion);
    }
    return nullptr;
  }
  int does;
  static inline Completion kept;
};

// A host's step kind that throws from make() (0), title() (1) or shouldRun() (2), or makes a
// host step.
struct HostKind final : DiagnosisStepKind {
  explicit HostKind(int where) : where(where) {}
  void failAt(int at) const {
    if (at == where) {
      throw std::runtime_error("host step kind failed");
    }
  }
  std::shared_ptr<DiagnosisStep> make() const override {
    return failAt(0), std::make_shared<HostStep>(where);
  }
  std::int64_t order() const override { return 0; }
  std::string title() const override { return failAt(1), "Host " + std::to_string(where); }
  std::optional<std::string> explainer() const override { return std::nullopt; }
  std::optional<Url> url() const override { return std::nullopt; }
  bool shouldRun(const Feedback&) const override { return failAt(2), true; }
  int where;
};

// Kinds that throw are left out; a step that throws fails its item, one that calls back twice
// keeps its first result; the run completes once.
TEST(HostileDiagnostics, HostStepKindsThatThrowAreLeftOutAndTheRunCompletes) {
  platform::LogCapture log;
  std::vector<StepKind> kinds;
  for (int where = 0; where < 5; ++where) {
    kinds.push_back(std::make_shared<HostKind>(where));
  }
  kinds.push_back(SystemProfileStep::kind());
  auto runner = DiagnosisRunner::make(kinds);
  const auto feedback =
      requiring(Requirement::required, Requirement::notRequired, Requirement::notRequired);
  int completed = 0;
  EXPECT_NO_THROW(runner->run(feedback, [&] { ++completed; }));
  for (const auto& item : runner->items()) {
    EXPECT_TRUE(item.state.isRunning()) << item.id;  // results are never applied inside run()
  }
  EXPECT_TRUE(MainQueue::drainUntil([&] { return completed > 0; }, std::chrono::seconds(60)));
  MainQueue::drain();
  EXPECT_EQ(completed, 1);
  const auto items = runner->items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_TRUE(items[0].state.isFailed());
  EXPECT_EQ(items[1].state, DiagnosisItem::State::finished(Bytes(std::string("first"))));
  EXPECT_EQ(log.count("Skipping diagnostic step kind %d: %{public}@", "DiagnosisRunner"), 3u);
  EXPECT_EQ(log.withFormat("Diagnostic step \"%{public}@\" failed with error \"%{public}@\"")
                .at(0)
                .message,
            "Diagnostic step \"Host 3\" failed with error \"step exploded\"");
}

// The release frees the steps at once (nothing they hold keeps them alive), terminates their tools
// without waiting for them and drops their results. The tools got their arguments and the host's
// folder.
TEST(HostileDiagnostics, ReleasingARunnerNeverWaitsForItsStepsAndDropsTheirResults) {
  TemporaryDirectory root;
  const auto logTool = testing::script(
      root.path(), testing::kRecordArguments + "trap '' TERM\necho $$ > \"$0.pid\"\nsleep 3\n",
      "log");
  const auto profilerTool =
      testing::script(root.path(), testing::kStreamUntilTerminated, "profiler");
  ScopedExecutableOverride log("/usr/bin/log", logTool);
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", profilerTool);
  platform::LogCapture capture;
  auto runner =
      DiagnosisRunner::make({SystemLogsCollectorStep::kind(), SystemProfileStep::kind(),
                             CollectCrashReportsStep::kind(), std::make_shared<HostKind>(5)});
  const auto feedback =
      requiring(Requirement::required, Requirement::required, Requirement::required);
  bool completed = false;
  runner->run(feedback, [&] { completed = true; });
  std::vector<std::weak_ptr<DiagnosisStep>> steps;
  for (const auto& item : runner->items()) {
    steps.push_back(item.step);
  }
  const auto pid = testing::waitForMarker(logTool.string() + ".pid");
  const auto profilerPid = testing::waitForMarker(profilerTool.string() + ".pid");
  ASSERT_TRUE(pid && profilerPid);
  runner.reset();  // on the main thread, while the log tool ignores its SIGTERM
  EXPECT_TRUE(testing::processExists(*pid));
  for (const auto& step : steps) {
    EXPECT_TRUE(step.expired());
  }
  EXPECT_TRUE(testing::waitFor([&] { return !testing::processExists(*profilerPid); }));
  auto profilerArguments = kSections;
  profilerArguments.insert(profilerArguments.end(),
                           {"-timeout", "60", "-json", fs::current_path().string()});
  EXPECT_EQ(testing::recordedArguments(profilerTool), profilerArguments);
  EXPECT_EQ(testing::recordedArguments(logTool),
            (std::vector<std::string>{"stream", "--color", "none", "--level", "debug", "--style",
                                      "compact", "--predicate", kPredicate,
                                      fs::current_path().string()}));
  HostStep::kept(Bytes(std::string("after the runner went away")));
  EXPECT_TRUE(platform::SerialQueue::waitForAbandonedWorkers(std::chrono::seconds(60)));
  MainQueue::drain();
  EXPECT_FALSE(completed);
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            0u);
}

}  // namespace
}  // namespace tessaline
