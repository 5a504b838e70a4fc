// The diagnostics on a messy machine: special files, huge and oddly named reports, clashing and
// relative temporary folders, tools that overrun or ignore SIGTERM, host step kinds that throw.

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <mutex>
#include <stdexcept>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::MainQueue;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;
using testing::TemporaryDirectory;

// Runs a step, then `started`, and waits for its one result (on the main queue or its own).
Result<Bytes> runStep(
    const std::shared_ptr<DiagnosisStep>& step, const std::function<void()>& started = [] {}) {
  auto mutex = std::make_shared<std::mutex>();
  auto result = std::make_shared<std::optional<Result<Bytes>>>();
  step->run(Feedback(), [=](Result<Bytes> r) {
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

fs::path script(const TemporaryDirectory& root, const std::string& body) {
  const auto path = root.write("tool", "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
  return path;
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

TEST(HostileDiagnostics, ArchiveHoldsTheRegularFilesWhateverTheTemporaryFolder) {
  TemporaryDirectory root;
  root.write("logs/app.log", "app");
  plantSpecialFiles(root.path() / "logs");
  ApplicationLogsCollectorStep::registerLogFileURLs(
      {Url::fileURL((root.path() / "logs").string())});
  const auto t = std::time(nullptr) - 978307200;
  const struct {
    std::string temporary;  // TMPDIR, below the test's folder
    std::string suffix;     // of the run's names, after T
    bool clash;             // another run holds the plain names of T to T + 5
  } cases[] = {{"a", "", false}, {"b", "-2", true}, {"c", "", false}};
  fs::current_path(root.path());
  for (const auto& c : cases) {
    for (auto clash = t; c.clash && clash <= t + 5; ++clash) {
      fs::create_directories(root.path() / c.temporary / ("PairloomLogs-" + std::to_string(clash)));
    }
    // The last row's TMPDIR is relative: zip runs in another folder.
    ScopedEnvironment environment(
        "TMPDIR", c.temporary == "c" ? c.temporary : (root.path() / c.temporary).string());
    ASSERT_TRUE(runStep(std::make_shared<ApplicationLogsCollectorStep>()).ok());
    std::string name;  // T + suffix of the one archive
    for (const auto& entry : fs::directory_iterator(root.path() / c.temporary)) {
      if (entry.path().extension() == ".zip") {
        name = entry.path().stem().string().substr(std::string("PairloomLogArchive-").size());
      }
    }
    ASSERT_TRUE(name.ends_with(c.suffix) && name.size() > c.suffix.size() + 8) << name;
    platform::Process unzip("/usr/bin/unzip", {"-p", "PairloomLogArchive-" + name + ".zip",
                                               "PairloomLogs-" + name + "/logs/app.log"});
    unzip.setCurrentDirectory((root.path() / c.temporary).string());
    ASSERT_TRUE(unzip.launch().ok());
    unzip.waitUntilExit();
    EXPECT_EQ(unzip.output().str(), "app");
  }
}

TEST(HostileDiagnostics, ProfilerPastItsTimeLimitIsTerminatedAndFails) {
  TemporaryDirectory root;
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", script(root, "exec sleep 30\n"));
  detail::setProfilerTimeLimit(std::chrono::milliseconds(200));
  const auto result = runStep(std::make_shared<SystemProfileStep>());
  EXPECT_EQ(result.error().description(),
            "The system profiler did not finish within 1 seconds and was terminated");
}

TEST(HostileDiagnostics, CaptureOverItsCapKeepsWholeLinesAndSaysWhatWasDropped) {
  TemporaryDirectory root;
  const std::string line = "2024-05-01 10:15:23.456 Df Pairloom[1234:1240] a line of the capture";
  const auto tool = script(root, "yes '" + line + "' | head -n 1000000\ntouch \"$0.done\"\n" +
                                     "exec sleep 60\n");  // 69 MB, over the 64 MiB cap
  ScopedExecutableOverride log("/usr/bin/log", tool);
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

// A host's step kind that throws from make() (0), title() (1) or shouldRun() (2).
struct ThrowingKind final : DiagnosisStepKind {
  explicit ThrowingKind(int where) : where(where) {}
  void failAt(int at) const {
    if (at == where) {
      throw std::runtime_error("host step kind failed");
    }
  }
  std::shared_ptr<DiagnosisStep> make() const override {
    return failAt(0), std::make_shared<CollectCrashReportsStep>();
  }
  std::int64_t order() const override { return 0; }
  std::string title() const override { return failAt(1), "Throwing"; }
  std::optional<std::string> explainer() const override { return std::nullopt; }
  std::optional<Url> url() const override { return std::nullopt; }
  bool shouldRun(const Feedback&) const override { return failAt(2), true; }
  int where;
};

TEST(HostileDiagnostics, HostStepKindsThatThrowAreLeftOutAndTheRunCompletes) {
  platform::LogCapture log;
  auto runner =
      DiagnosisRunner::make({std::make_shared<ThrowingKind>(0), std::make_shared<ThrowingKind>(1),
                             std::make_shared<ThrowingKind>(2), SystemProfileStep::kind()});
  Feedback feedback;
  feedback.reason.systemProfile = Feedback::Requirement::required;
  bool completed = false;
  EXPECT_NO_THROW(runner->run(feedback, [&] { completed = true; }));
  EXPECT_TRUE(MainQueue::drainUntil([&] { return completed; }, std::chrono::seconds(60)));
  EXPECT_EQ(runner->items.get().size(), 1u);
  EXPECT_EQ(log.count("Skipping diagnostic step kind %d: %{public}@", "DiagnosisRunner"), 3u);
}

TEST(HostileDiagnostics, ReleasingARunnerNeverWaitsForItsStepsAndDropsTheirResults) {
  TemporaryDirectory root;
  const auto tool = script(root, "trap '' TERM\necho $$ > \"$0.pid\"\nsleep 3\n");
  ScopedExecutableOverride log("/usr/bin/log", tool);
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", tool);
  auto runner = DiagnosisRunner::make({SystemLogsCollectorStep::kind(), SystemProfileStep::kind()});
  Feedback feedback;
  feedback.reason.appLogs = feedback.reason.systemProfile = Feedback::Requirement::required;
  bool completed = false;
  runner->run(feedback, [&] { completed = true; });
  const auto pid = testing::waitForMarker(tool.string() + ".pid");
  ASSERT_TRUE(pid);
  runner.reset();  // on the main thread, while the tools ignore their SIGTERM
  EXPECT_TRUE(testing::processExists(*pid));
  EXPECT_TRUE(platform::SerialQueue::waitForAbandonedWorkers(std::chrono::seconds(60)));
  MainQueue::drain();
  EXPECT_FALSE(completed);
}

}  // namespace
}  // namespace tessaline
