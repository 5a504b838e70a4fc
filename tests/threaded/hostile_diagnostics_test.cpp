// The diagnostics on a messy machine: special files, huge and oddly named reports, clashing and
// relative temporary folders, tools that overrun or ignore SIGTERM, host steps that misbehave.

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::MainQueue;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;
using testing::TemporaryDirectory;

// Runs a step, then `started`, and waits for its one result (on the main queue or its own);
// `atCompletion` runs inside the completion.
Result<Bytes> runStep(
    const std::shared_ptr<DiagnosisStep>& step, const std::function<void()>& started = [] {},
    const std::function<void()>& atCompletion = [] {}) {
  auto mutex = std::make_shared<std::mutex>();
  auto result = std::make_shared<std::optional<Result<Bytes>>>();
  step->run(Feedback(), [=](Result<Bytes> r) {
    atCompletion();
    std::lock_guard lock(*mutex);
    *result = std::move(r);
  });
  started();
  EXPECT_TRUE(testing::waitFor(
      [&] { return MainQueue::drain(), std::lock_guard(*mutex), result->has_value(); }));
  std::lock_guard lock(*mutex);
  return result->value_or(Error(Error::Kind::generic, "no result"));
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
    const auto payload = runStep(std::make_shared<CollectCrashReportsStep>());
    const auto reports = CollectCrashReportsStep::Report::decodeList(payload.value().view());
    std::vector<std::string> names;
    for (const auto& report : reports.value()) {
      names.push_back(report.name);
      EXPECT_LE(report.payload.size(), CollectCrashReportsStep::kReportByteLimit + 200);
    }
    EXPECT_EQ(names, c.names);
  }
}

// Registered files and folders are copied into a staging folder made exclusively, which is gone
// before the archive is handed over; what cannot be copied is logged and left out.
TEST(HostileDiagnostics, ArchiveHoldsTheRegularFilesWhateverTheTemporaryFolder) {
  TemporaryDirectory root;
  root.write("logs/app.log", "app");
  root.write("logs/sub/inner.log", "inner");
  plantSpecialFiles(root.path() / "logs");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL((root.path() / "logs").string()),
       Url::fileURL(root.write("other/logs", "same name").string()),
       Url::fileURL((root.path() / "missing.log").string())});
  const auto t = std::time(nullptr) - 978307200;
  const struct {
    std::string temporary;  // TMPDIR, below the test's folder
    std::string suffix;     // of the run's names, after T
    bool clash;             // another run holds the plain names of T to T + 5
    bool stale;             // an earlier run left unreadable archives for T to T + 5
  } cases[] = {{"a", "", false, false},
               {"b", "-2", true, false},
               {"c", "", false, false},
               {"d", "", false, true}};
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
    // The third row's TMPDIR is relative: zip runs in another folder.
    ScopedEnvironment environment(
        "TMPDIR", c.temporary == "c" ? c.temporary : (root.path() / c.temporary).string());
    platform::LogCapture log;
    const auto folder = root.path() / c.temporary;
    long stagingFolders = -1;
    const auto archive = runStep(
        std::make_shared<ApplicationLogsCollectorStep>(), [] {},
        [&] {
          stagingFolders = std::count_if(fs::directory_iterator(folder), {}, [](const auto& entry) {
            return entry.path().filename().string().starts_with("PairloomLogs-");
          });
        });
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
              std::vector<std::string>{"app"});
    const auto errors = log.withFormat("Error copying log file: %{public}s");
    EXPECT_EQ(errors.size(), 5u);  // three special files, a second "logs", a missing file
  }
}

TEST(HostileDiagnostics, ProfilerPastItsTimeLimitIsTerminatedAndFails) {
  TemporaryDirectory root;
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler",
                                    testing::script(root.path(), "exec sleep 30\n"));
  detail::setProfilerTimeLimit(std::chrono::milliseconds(200));
  const auto result = runStep(std::make_shared<SystemProfileStep>());
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
  const auto text =
      runStep(step,
              [&] {
                ASSERT_TRUE(testing::waitFor([&] { return fs::exists(tool.string() + ".done"); },
                                             std::chrono::seconds(120)));
                step->stop();
              })
          .value()
          .str();
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
  Feedback feedback;
  feedback.reason.systemProfile = Feedback::Requirement::required;
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

// The release frees the steps at once (nothing they hold keeps them alive) and drops their results.
TEST(HostileDiagnostics, ReleasingARunnerNeverWaitsForItsStepsAndDropsTheirResults) {
  TemporaryDirectory root;
  const auto tool = testing::script(root.path(), "trap '' TERM\necho $$ > \"$0.pid\"\nsleep 3\n");
  ScopedExecutableOverride log("/usr/bin/log", tool);
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", tool);
  platform::LogCapture capture;
  auto runner =
      DiagnosisRunner::make({SystemLogsCollectorStep::kind(), SystemProfileStep::kind(),
                             CollectCrashReportsStep::kind(), std::make_shared<HostKind>(5)});
  Feedback feedback;
  feedback.reason.appLogs = feedback.reason.systemProfile = feedback.reason.crashLogs =
      Feedback::Requirement::required;
  bool completed = false;
  runner->run(feedback, [&] { completed = true; });
  std::vector<std::weak_ptr<DiagnosisStep>> steps;
  for (const auto& item : runner->items()) {
    steps.push_back(item.step);
  }
  const auto pid = testing::waitForMarker(tool.string() + ".pid");
  ASSERT_TRUE(pid);
  runner.reset();  // on the main thread, while the tools ignore their SIGTERM
  EXPECT_TRUE(testing::processExists(*pid));
  for (const auto& step : steps) {
    EXPECT_TRUE(step.expired());
  }
  HostStep::kept(Bytes(std::string("after the runner went away")));
  EXPECT_TRUE(platform::SerialQueue::waitForAbandonedWorkers(std::chrono::seconds(60)));
  MainQueue::drain();
  EXPECT_FALSE(completed);
  EXPECT_EQ(capture.count("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d"),
            0u);
}

}  // namespace
}  // namespace tessaline
