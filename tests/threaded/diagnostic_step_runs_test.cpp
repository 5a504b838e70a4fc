// The four diagnostics steps, run for real: child processes (fixture tools and the stand-ins),
// real files, real zip archives.

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>

#include "support/ChildProcess.h"
#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::LogCapture;
using platform::MainQueue;
using testing::fixtureTool;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;

// Records every completion of a step: its result, whether it ran on the main queue and whether
// the step still said it was running.
class Recorder {
 public:
  struct Call {
    Result<Bytes> result;
    bool onMainQueue;
    bool stepWasRunning;
  };

  DiagnosisStep::Completion completion(const std::shared_ptr<DiagnosisStep>& step) {
    std::weak_ptr<DiagnosisStep> weak = step;
    return [this, weak](Result<Bytes> result) {
      const auto alive = weak.lock();
      const bool running = alive && alive->isRunning();
      std::lock_guard lock(mutex_);
      calls_.push_back({std::move(result), MainQueue::isCurrent(), running});
    };
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }
  Call call(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return calls_.at(index);
  }
  // Waits for the first completion, on the main queue or off it, running the main queue's tasks.
  bool wait() const {
    return testing::waitFor([this] {
      MainQueue::drain();
      return count() > 0;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

std::vector<std::string> messages(const LogCapture& capture, std::string_view format,
                                  std::string_view category) {
  std::vector<std::string> found;
  for (const auto& record : capture.withFormat(format, category)) {
    found.push_back(record.message);
  }
  return found;
}

nlohmann::json firstLineAsJson(const Bytes& payload) {
  std::istringstream lines(payload.str());
  std::string line;
  std::getline(lines, line);
  return nlohmann::json::parse(line);
}

const std::string kPredicate =
    "process contains 'Pairloom' OR subsystem contains 'brisquet.OrvAudio' OR subsystem contains "
    "'brisquet.OrvCore' OR subsystem contains 'brisquet.OrvUI' OR subsystem contains "
    "'brisquet.Pairloom.WirelessInputService'";
const std::vector<std::string> kSections{"SPUniversalAccessDataType", "SPAudioDataType",
                                         "SPBluetoothDataType",       "SPEthernetDataType",
                                         "SPDisplaysDataType",        "SPHardwareDataType",
                                         "SPInternationalDataType",   "SPPowerDataType",
                                         "SPAirPortDataType",         "SPSoftwareDataType"};

// Each of the library's steps, on its real tool, completes exactly once: the step is released after
// its completion (which waits for its queue) and the main queue drained before counting.
TEST(DiagnosticStepRunTest, EachStepCompletesExactlyOnceWithItsPayload) {
  testing::TemporaryDirectory home;
  ScopedEnvironment homeVariable("HOME", home.path().string());
  ScopedEnvironment tmpdir("TMPDIR", home.path().string());
  struct Case {
    std::shared_ptr<DiagnosisStep> step;
    bool onMainQueue;
    std::function<void(const std::string&)> check;
  };
  const Case cases[] = {
      {std::make_shared<SystemProfileStep>(), true,
       [](const std::string& payload) {
         std::vector<std::string> keys;
         const auto report = nlohmann::ordered_json::parse(payload);
         for (const auto& [key, value] : report.items()) {
           keys.push_back(key);
           EXPECT_TRUE(value.is_array()) << key;
         }
         EXPECT_EQ(keys, kSections);
       }},
      {std::make_shared<SystemLogsCollectorStep>(), true,
       [](std::string payload) {
         if (payload.starts_with("tessaline-log: cannot read the system journal")) {
           payload.erase(0, payload.find('\n') + 1);  // a machine without a readable journal
         }
         EXPECT_TRUE(payload.starts_with("Filtering the log data using \"" + kPredicate + "\"\n"))
             << payload;
       }},
      {std::make_shared<ApplicationLogsCollectorStep>(), false,
       [](const std::string& payload) { EXPECT_TRUE(payload.starts_with("PK\x03\x04")); }},
      {std::make_shared<CollectCrashReportsStep>(), true,
       [](const std::string& payload) { EXPECT_EQ(payload, "[]"); }},  // no reports folder
  };
  for (auto c : cases) {
    Recorder recorder;
    c.step->run(Feedback(), recorder.completion(c.step));
    EXPECT_TRUE(c.step->isRunning());
    if (c.step->isStoppable()) {
      ASSERT_TRUE(testing::waitFor(
          [] { return testing::childBlockingSigterm("tessaline-log").has_value(); }));
      c.step->stop();
    }
    ASSERT_TRUE(recorder.wait());
    c.step.reset();
    MainQueue::drain();
    ASSERT_EQ(recorder.count(), 1u);
    const auto call = recorder.call(0);
    ASSERT_TRUE(call.result.ok()) << call.result.error().description();
    EXPECT_EQ(call.onMainQueue, c.onMainQueue);
    EXPECT_FALSE(call.stepWasRunning);
    c.check(call.result.value().str());
  }
}

TEST(DiagnosticStepRunTest, AToolThatCannotBeLaunchedFailsTheStep) {
  struct Case {
    std::string tool;
    std::shared_ptr<DiagnosisStep> step;
  };
  const Case cases[] = {{"/usr/sbin/system_profiler", std::make_shared<SystemProfileStep>()},
                        {"/usr/bin/log", std::make_shared<SystemLogsCollectorStep>()},
                        {"/usr/bin/zip", std::make_shared<ApplicationLogsCollectorStep>()}};
  for (const auto& c : cases) {
    LogCapture capture;
    ScopedExecutableOverride tool(c.tool, "/nonexistent/tool");
    Recorder recorder;
    c.step->run(Feedback(), recorder.completion(c.step));
    ASSERT_TRUE(recorder.wait()) << c.tool;
    MainQueue::drain();
    const auto call = recorder.call(0);
    ASSERT_FALSE(call.result.ok()) << c.tool;
    EXPECT_EQ(call.result.error().kind(), Error::Kind::process) << c.tool;
    EXPECT_EQ(call.onMainQueue, c.tool != "/usr/bin/zip") << c.tool;
    EXPECT_FALSE(call.stepWasRunning) << c.tool;
    if (c.tool == "/usr/bin/zip") {
      EXPECT_EQ(messages(capture, "Failed to add source files to log archive: %{public}s",
                         "ApplicationLogsCollectorStep"),
                std::vector<std::string>{"Failed to add source files to log archive: " +
                                         call.result.error().description()});
    }
  }
}

TEST(DiagnosticStepRunTest, ReleasingTheStepEndsItsTool) {
  for (const std::string tool : {"/usr/sbin/system_profiler", "/usr/bin/log"}) {
    testing::TemporaryDirectory directory;
    const auto marker = directory.path() / "started";
    ScopedEnvironment environment("TESSALINE_FIXTURE_MARKER", marker.string());
    ScopedExecutableOverride override(tool, fixtureTool("stream"));
    Recorder recorder;
    std::shared_ptr<DiagnosisStep> step;
    if (tool == "/usr/bin/log") {
      step = std::make_shared<SystemLogsCollectorStep>();
    } else {
      step = std::make_shared<SystemProfileStep>();
    }
    step->run(Feedback(), recorder.completion(step));
    const auto pid = testing::waitForMarker(marker);
    ASSERT_TRUE(pid) << tool;
    step.reset();  // returns at once; the tool is terminated and reaped on the step's queue
    EXPECT_TRUE(testing::waitFor([&] { return !testing::processExists(*pid); })) << tool;
    MainQueue::drain();
    EXPECT_EQ(recorder.count(), 0u) << tool;
  }
}

TEST(SystemProfileStepRunTest, RunsTheProfilerWithItsArgumentsAndDeliversAllItsOutput) {
  ScopedExecutableOverride tool("/usr/sbin/system_profiler", fixtureTool("arguments"));
  LogCapture capture;
  Recorder recorder;
  auto step = std::make_shared<SystemProfileStep>();
  EXPECT_EQ(step->run(Feedback(), recorder.completion(step)), nullptr);
  ASSERT_TRUE(recorder.wait());
  const auto output = firstLineAsJson(recorder.call(0).result.value());
  auto expected = kSections;
  expected.insert(expected.end(), {"-timeout", "60", "-json"});
  EXPECT_EQ(output["arguments"].get<std::vector<std::string>>(), expected);
  // The tool inherits the host's working directory.
  EXPECT_EQ(fs::canonical(output["cwd"].get<std::string>()), fs::canonical(fs::current_path()));
  EXPECT_EQ(messages(capture, "%{public}@", "SystemProfileStep"),
            std::vector<std::string>{"onQueueRunSystemProfiler()"});
  EXPECT_EQ(capture.count("System profiler done", "SystemProfileStep"), 1u);

  // Every byte of standard output and nothing of standard error.
  struct Case {
    std::string tool;
    std::size_t size;
  };
  for (const auto& c : {Case{"silent", 0}, Case{"flood-stdout", 8u * 1024 * 1024},
                        Case{"flood-stderr", std::string("stdout line\n").size()}}) {
    ScopedExecutableOverride flood("/usr/sbin/system_profiler", fixtureTool(c.tool));
    Recorder floodRecorder;
    auto floodStep = std::make_shared<SystemProfileStep>();
    floodStep->run(Feedback(), floodRecorder.completion(floodStep));
    ASSERT_TRUE(floodRecorder.wait()) << c.tool;
    const auto call = floodRecorder.call(0);
    ASSERT_TRUE(call.result.ok()) << c.tool;
    EXPECT_EQ(call.result.value().size(), c.size) << c.tool;
  }
}

// --- System log capture --------------------------------------------------------------------------

TEST(SystemLogsCollectorStepRunTest, CapturesUntilStoppedAndCompletesOnce) {
  testing::TemporaryDirectory directory;
  const auto marker = directory.path() / "started";
  ScopedEnvironment environment("TESSALINE_FIXTURE_MARKER", marker.string());
  ScopedExecutableOverride tool("/usr/bin/log", fixtureTool("stream"));
  LogCapture capture;
  Recorder recorder;
  auto step = std::make_shared<SystemLogsCollectorStep>();
  step->run(Feedback(), recorder.completion(step));
  ASSERT_TRUE(testing::waitForMarker(marker));

  // The tool runs until it is told to stop.
  EXPECT_FALSE(
      MainQueue::drainUntil([&] { return recorder.count() > 0; }, std::chrono::milliseconds(300)));
  EXPECT_TRUE(step->isRunning());
  step->stop();
  ASSERT_TRUE(recorder.wait());
  step->stop();  // the tool is gone: nothing happens
  MainQueue::drain();
  ASSERT_EQ(recorder.count(), 1u);

  const auto call = recorder.call(0);
  ASSERT_TRUE(call.result.ok());
  EXPECT_TRUE(call.onMainQueue);
  EXPECT_FALSE(call.stepWasRunning);
  const auto payload = call.result.value().str();
  EXPECT_EQ(firstLineAsJson(call.result.value())["arguments"].get<std::vector<std::string>>(),
            (std::vector<std::string>{"stream", "--color", "none", "--level", "debug", "--style",
                                      "compact", "--predicate", kPredicate}));
  EXPECT_TRUE(payload.ends_with("\nterminated\n")) << payload;
  EXPECT_EQ(messages(capture, "%{public}@", "SystemLogsCollectorStep"),
            std::vector<std::string>{"onQueueCollectLogs()"});
  EXPECT_EQ(capture.count("Log collector done", "SystemLogsCollectorStep"), 1u);
}

TEST(SystemLogsCollectorStepRunTest, AStopRacingTheLaunchAlwaysEndsTheCapture) {
  ScopedExecutableOverride tool("/usr/bin/log", fixtureTool("stream"));
  for (int i = 0; i < 20; ++i) {
    Recorder recorder;
    auto step = std::make_shared<SystemLogsCollectorStep>();
    if (i == 0) {
      step->stop();  // before the launch: the capture ends right after it
    }
    step->run(Feedback(), recorder.completion(step));
    std::thread stopper([step] { step->stop(); });
    stopper.join();
    ASSERT_TRUE(recorder.wait()) << "round " << i;
    EXPECT_EQ(recorder.count(), 1u);
  }
}

// --- Application log archive ---------------------------------------------------------------------

// Whole seconds since 2001-01-01 UTC.
long long referenceSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count() -
         978307200;
}

std::vector<std::string> zipEntries(const fs::path& archive) {
  const auto listing = testing::runCommand({"/usr/bin/unzip", "-Z1", archive.string()});
  std::vector<std::string> entries;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    entries.push_back(line);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

class ApplicationLogsCollectorStepRunTest : public ::testing::Test {
 protected:
  // The archive and staging folder of a run, found by the one archive in the temporary folder.
  struct Outcome {
    fs::path archive;
    std::string stagingName;
  };

  Outcome onlyArchive(long long earliest, long long latest) {
    Outcome outcome;
    int archives = 0;
    for (const auto& entry : fs::directory_iterator(temporary_.path())) {
      const auto name = entry.path().filename().string();
      EXPECT_FALSE(name.starts_with("PairloomLogs-")) << "staging folder left: " << name;
      if (name.starts_with("PairloomLogArchive-") && name.ends_with(".zip")) {
        ++archives;
        outcome.archive = entry.path();
        const auto stamp = std::stoll(name.substr(19, name.size() - 19 - 4));
        EXPECT_GE(stamp, earliest);
        EXPECT_LE(stamp, latest);
        outcome.stagingName = "PairloomLogs-" + std::to_string(stamp);
      }
    }
    EXPECT_EQ(archives, 1);
    return outcome;
  }

  Recorder::Call runStep() {
    auto step = std::make_shared<ApplicationLogsCollectorStep>();
    step->run(Feedback(), recorder_.completion(step));
    EXPECT_TRUE(recorder_.wait());
    EXPECT_FALSE(step->isRunning());
    return recorder_.call(0);
  }

  testing::TemporaryDirectory temporary_{"tessaline-tmpdir"};
  testing::TemporaryDirectory files_{"tessaline-logs"};
  ScopedEnvironment tmpdir_{"TMPDIR", temporary_.path().string()};
  Recorder recorder_;
};

// Registered files and folders are zipped under a staging folder; a file that cannot be copied
// (missing, or a second file of the same name) is logged and skipped.
TEST_F(ApplicationLogsCollectorStepRunTest, ZipsTheRegisteredFilesAndFoldersIntoTheArchive) {
  LogCapture capture;
  const auto app = files_.write("app.log", "first line\nsecond line\n");
  const auto sameName = files_.write("b/app.log", "from b\n");
  const auto missing = files_.path() / "missing.log";
  files_.write("older/2024/inner.log", "inner\n");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL(app.string()), Url::fileURL(missing.string()), Url::fileURL(sameName.string()),
       Url::fileURL((files_.path() / "older").string())});

  const auto before = referenceSeconds();
  const auto call = runStep();
  const auto after = referenceSeconds();
  ASSERT_TRUE(call.result.ok()) << call.result.error().description();
  EXPECT_FALSE(call.onMainQueue);     // called on the step's own queue
  EXPECT_FALSE(call.stepWasRunning);  // cleared when the job ends

  const auto outcome = onlyArchive(before, after);
  EXPECT_TRUE(call.result.value() ==
              platform::FileSystem::readFile(outcome.archive.string()).value());
  EXPECT_EQ(testing::runCommand({"/usr/bin/unzip", "-t", outcome.archive.string()}).exitCode, 0);
  const auto& s = outcome.stagingName;
  EXPECT_EQ(zipEntries(outcome.archive),
            (std::vector<std::string>{s + "/", s + "/app.log", s + "/older/", s + "/older/2024/",
                                      s + "/older/2024/inner.log"}));
  EXPECT_EQ(
      testing::runCommand({"/usr/bin/unzip", "-p", outcome.archive.string(), s + "/app.log"}).out,
      "first line\nsecond line\n");
  EXPECT_EQ(capture.count("onQueueCollectLogs()", "ApplicationLogsCollectorStep"), 1u);
  const auto errors =
      messages(capture, "Error copying log file: %{public}s", "ApplicationLogsCollectorStep");
  ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
  EXPECT_NE(errors[0].find("missing.log"), std::string::npos);
  EXPECT_NE(errors[0].find("No such file or directory"), std::string::npos);
  EXPECT_NE(errors[1].find("File exists"), std::string::npos);
}

TEST_F(ApplicationLogsCollectorStepRunTest, AnArchiveLeftAtTheSamePathIsNotMergedIn) {
  // Stale archives for this second and the next ones, as an earlier run would leave them.
  const auto stale = files_.write("stale.txt", "stale\n");
  const auto now = referenceSeconds();
  for (long long stamp = now; stamp <= now + 3; ++stamp) {
    const auto archive =
        temporary_.path() / ("PairloomLogArchive-" + std::to_string(stamp) + ".zip");
    ASSERT_EQ(
        testing::runCommand({"/usr/bin/zip", "-j", archive.string(), stale.string()}).exitCode, 0);
  }
  const auto call = runStep();
  ASSERT_TRUE(call.result.ok());
  const auto archive = temporary_.path() / "result.zip";
  std::ofstream(archive, std::ios::binary) << call.result.value().str();
  const auto entries = zipEntries(archive);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].starts_with("PairloomLogs-"));
}

TEST_F(ApplicationLogsCollectorStepRunTest, RunsZipWithThreeArgumentsInTheTemporaryDirectory) {
  LogCapture capture;
  const auto arguments = files_.path() / "arguments.json";
  ScopedEnvironment environment("TESSALINE_FIXTURE_ARGUMENTS_FILE", arguments.string());
  ScopedExecutableOverride zip("/usr/bin/zip", fixtureTool("arguments"));
  const auto before = referenceSeconds();
  const auto call = runStep();
  const auto after = referenceSeconds();

  // The fixture writes no archive, so the step fails after zip has run.
  ASSERT_FALSE(call.result.ok());
  EXPECT_EQ(call.result.error().kind(), Error::Kind::fileSystem);
  EXPECT_EQ(capture.count("Failed to add source files to log archive: %{public}s",
                          "ApplicationLogsCollectorStep"),
            1u);
  std::ifstream in(arguments);
  const auto invocation = nlohmann::json::parse(in);
  const auto list = invocation["arguments"].get<std::vector<std::string>>();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], "-r");
  const auto directory = temporary_.path().string() + "/";
  ASSERT_TRUE(list[1].starts_with(directory + "PairloomLogArchive-")) << list[1];
  const auto stamp = std::stoll(list[1].substr(directory.size() + 19));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(list[1], directory + "PairloomLogArchive-" + std::to_string(stamp) + ".zip");
  EXPECT_EQ(list[2], "./PairloomLogs-" + std::to_string(stamp));
  EXPECT_EQ(fs::canonical(invocation["cwd"].get<std::string>()), fs::canonical(temporary_.path()));
  // The staging folder is gone after the failure too.
  EXPECT_FALSE(fs::exists(temporary_.path() / ("PairloomLogs-" + std::to_string(stamp))));
}

TEST_F(ApplicationLogsCollectorStepRunTest, AStagingFolderThatCannotBeMadeFailsTheStep) {
  LogCapture capture;
  // The temporary directory is a file, so nothing can be made in it.
  const auto blocked = files_.write("not-a-folder", "x");
  ScopedEnvironment environment("TMPDIR", blocked.string());
  const auto call = runStep();
  ASSERT_FALSE(call.result.ok());
  EXPECT_EQ(call.result.error().kind(), Error::Kind::fileSystem);
  EXPECT_EQ(capture.count("Log archival failed: %{public}s", "ApplicationLogsCollectorStep"), 1u);
}

// --- Crash reports -------------------------------------------------------------------------------

class CollectCrashReportsStepRunTest : public ::testing::Test {
 protected:
  fs::path reports() const { return home_.path() / "Library/Logs/DiagnosticReports"; }

  // Writes a report whose creation time is later than that of every report written before, so
  // the order by creation date is known. False where the file system keeps no creation dates.
  bool writeReport(const std::string& relativePath, const std::string& content) {
    const auto path = reports() / relativePath;
    fs::create_directories(path.parent_path());
    const auto staging = path.parent_path() / ".writing";
    const bool newer = testing::waitFor([&] {
      { std::ofstream(staging, std::ios::binary) << content; }
      const auto created = platform::FileSystem::creationDate(staging.string());
      if (created && (!latest_ || *created > *latest_)) {
        latest_ = created;
        return true;
      }
      fs::remove(staging);
      return false;
    });
    if (!newer) {
      return false;
    }
    fs::rename(staging, path);  // a rename keeps the creation time
    return true;
  }

  bool hasCreationDates() const {
    return platform::FileSystem::creationDate(home_.path().string()).has_value();
  }

  Recorder::Call runStep() {
    auto step = std::make_shared<CollectCrashReportsStep>();
    step->run(Feedback(), recorder_.completion(step));
    EXPECT_TRUE(step->isRunning());
    EXPECT_TRUE(recorder_.wait());
    EXPECT_FALSE(step->isRunning());
    return recorder_.call(0);
  }

  static std::vector<CollectCrashReportsStep::Report> decoded(const Recorder::Call& call) {
    EXPECT_TRUE(call.result.ok());
    auto reports = CollectCrashReportsStep::Report::decodeList(call.result.value().view());
    EXPECT_TRUE(reports.ok());
    return reports.ok() ? reports.value() : std::vector<CollectCrashReportsStep::Report>();
  }

  testing::TemporaryDirectory home_{"tessaline-home"};
  ScopedEnvironment homeVariable_{"HOME", home_.path().string()};
  std::optional<platform::FileSystem::Time> latest_;
  Recorder recorder_;
};

TEST_F(CollectCrashReportsStepRunTest, SelectsReportsByNameAnywhereInTheTree) {
  if (!hasCreationDates()) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  LogCapture capture;
  const std::string binary("\x00\x01\x02\xff{\"crash\":true}", 18);
  ASSERT_TRUE(writeReport("Other_2024-01-01-120000_Mac.ips", "other"));
  ASSERT_TRUE(writeReport("Retired/Older/pairloomhelper-2023.crash", "helper"));
  ASSERT_TRUE(writeReport("Pairloom_2024-01-01-120000_Mac.ips", binary));
  ASSERT_TRUE(writeReport("notes.txt", "notes"));
  const auto reports = decoded(runStep());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].name, "Pairloom_2024-01-01-120000_Mac.ips");
  EXPECT_TRUE(reports[0].payload.view() == binary);  // the bytes survive the Base64 round trip
  EXPECT_EQ(reports[1].name, "pairloomhelper-2023.crash");
  EXPECT_EQ(reports[1].payload.str(), "helper");
  EXPECT_EQ(messages(capture, "Produced %d report file(s)", "CollectCrashReportsStep"),
            std::vector<std::string>{"Produced 2 report file(s)"});
  EXPECT_EQ(capture.count("Found %d reports, limiting output to %d"), 0u);
}

TEST_F(CollectCrashReportsStepRunTest, KeepsTheFourNewestNewestFirst) {
  if (!hasCreationDates()) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  LogCapture capture;
  const std::vector<std::string> names{"Pairloom-1.ips",           "sub/OrvStatsService-2.ips",
                                       "HandsetLinkService-3.ips", "sub/deep/Pairloom-4.ips",
                                       "NearbyPanelService-5.ips", "WirelessInputService-6.ips"};
  for (const auto& name : names) {
    ASSERT_TRUE(writeReport(name, "content of " + name));
  }
  const auto call = runStep();
  EXPECT_TRUE(call.onMainQueue);
  EXPECT_FALSE(call.stepWasRunning);
  const auto reports = decoded(call);
  std::vector<std::string> got;
  for (const auto& report : reports) {
    got.push_back(report.name);
    EXPECT_TRUE(report.payload.str().ends_with(report.name));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"WirelessInputService-6.ips", "NearbyPanelService-5.ips",
                                           "Pairloom-4.ips", "HandsetLinkService-3.ips"}));
  EXPECT_EQ(messages(capture, "Found %d reports, limiting output to %d", "CollectCrashReportsStep"),
            std::vector<std::string>{"Found 6 reports, limiting output to 4"});
  EXPECT_EQ(messages(capture, "Produced %d report file(s)", "CollectCrashReportsStep"),
            std::vector<std::string>{"Produced 4 report file(s)"});
}

TEST_F(CollectCrashReportsStepRunTest, ASelectedFolderCountsTowardTheLimitAndIsLogged) {
  if (!hasCreationDates()) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  LogCapture capture;
  for (const auto* name :
       {"Pairloom-1.ips", "Pairloom-2.ips", "Pairloom-3.ips", "Pairloom-4.ips"}) {
    ASSERT_TRUE(writeReport(name, name));
  }
  // The newest selected entry is a folder.
  ASSERT_TRUE(writeReport("Pairloom-archive/placeholder", "x"));
  const auto folder = reports() / "Pairloom-archive";
  const auto reportsList = decoded(runStep());
  std::vector<std::string> got;
  for (const auto& report : reportsList) {
    got.push_back(report.name);
  }
  // The folder was made after Pairloom-4, so it is among the four newest and pushes Pairloom-1
  // out; reading it fails.
  EXPECT_EQ(got, (std::vector<std::string>{"Pairloom-4.ips", "Pairloom-3.ips", "Pairloom-2.ips"}));
  const auto errors =
      capture.withFormat("Error reading file at %@: %{public}@", "CollectCrashReportsStep");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].message.find(folder.string()), std::string::npos);
  EXPECT_NE(errors[0].message.find("Is a directory"), std::string::npos);
  EXPECT_EQ(errors[0].level, platform::LogLevel::error);
}

}  // namespace
}  // namespace tessaline
