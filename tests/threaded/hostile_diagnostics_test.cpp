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

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <functional>
#include <mutex>
#include <stdexcept>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using platform::MainQueue;
using testing::ScopedEnvironment;
using testing::ScopedExecutableOverride;
using testing::TemporaryDirectory;

// Runs a step, then `started`, and waits (running the main queue) for the step's one result.
Result<Bytes> runStep(const std::shared_ptr<DiagnosisStep>& step,
                      const std::function<void()>& started = {}) {
  auto mutex = std::make_shared<std::mutex>();
  auto result = std::make_shared<std::optional<Result<Bytes>>>();
  step->run(Feedback(), [mutex, result](Result<Bytes> r) {
    std::lock_guard lock(*mutex);
    *result = std::move(r);
  });
  if (started) {
    started();
  }
  // The archive step completes on its own queue, the others on the main queue.
  EXPECT_TRUE(testing::waitFor([&] {
    MainQueue::drain();
    return std::lock_guard(*mutex), result->has_value();
  }));
  std::lock_guard lock(*mutex);
  return result->value_or(Error(Error::Kind::generic, "no result"));
}

std::string output(const std::string& tool, std::vector<std::string> arguments) {
  platform::Process process(tool, std::move(arguments));
  EXPECT_TRUE(process.launch().ok());
  process.waitUntilExit();
  return process.output().str();
}

void makeSocket(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

// A FIFO, a socket and a link to /dev/zero beside one good file of each kind.
void plantSpecialFiles(const fs::path& folder) {
  fs::create_directories(folder);
  ASSERT_EQ(::mkfifo((folder / "Pairloom-fifo.ips").c_str(), 0600), 0);
  makeSocket(folder / "Pairloom-socket.ips");
  fs::create_symlink("/dev/zero", folder / "Pairloom-zero.ips");
}

struct CrashCase {
  const char* name;
  std::function<void(const TemporaryDirectory&, const fs::path&)> plant;
  std::vector<std::string> names;  // of the delivered reports, newest first
};

class CrashReports : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashReports, OnlyRegularFilesWithinTheBoundAndEveryName) {
  TemporaryDirectory home;
  ScopedEnvironment environment("HOME", home.path().string());
  GetParam().plant(home, home.path() / "Library/Logs/DiagnosticReports");
  const auto payload = runStep(std::make_shared<CollectCrashReportsStep>());
  ASSERT_TRUE(payload.ok()) << payload.error().description();
  const auto reports = CollectCrashReportsStep::Report::decodeList(payload.value().view());
  ASSERT_TRUE(reports.ok());
  std::vector<std::string> names;
  for (const auto& report : reports.value()) {
    names.push_back(report.name);
    EXPECT_LE(report.payload.size(), CollectCrashReportsStep::kReportByteLimit + 200);
  }
  EXPECT_EQ(names, GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, CrashReports,
    ::testing::Values(CrashCase{"SpecialFilesAreLeftOut",
                                [](const TemporaryDirectory& home, const fs::path& reports) {
                                  plantSpecialFiles(reports);
                                  home.write("Library/Logs/DiagnosticReports/Pairloom-good.ips",
                                             "report");
                                },
                                {"Pairloom-good.ips"}},
                      CrashCase{
                          "HugeReportIsCutAndBadNameIsReplaced",
                          [](const TemporaryDirectory& home, const fs::path&) {
                            home.write("Library/Logs/DiagnosticReports/Pairloom-\xff.ips", "kept");
                            fs::resize_file(
                                home.write("Library/Logs/DiagnosticReports/Pairloom-huge.ips", ""),
                                1ull << 30);
                          },
                          {"Pairloom-huge.ips", "Pairloom-\xef\xbf\xbd.ips"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ArchiveCase {
  const char* name;
  // Prepares the temporary folder and the log folder; gives the TMPDIR to use.
  std::function<std::string(const fs::path& temporary, const fs::path& logs)> prepare;
  std::string suffix;  // after T in the names of this run
};

class ArchiveStep : public ::testing::TestWithParam<ArchiveCase> {};

TEST_P(ArchiveStep, ArchivesTheRegularFiles) {
  TemporaryDirectory root;
  const auto temporary = root.path() / "tmp";
  const auto logs = root.path() / "logs";
  root.write("logs/app.log", "app");
  ScopedEnvironment environment("TMPDIR", GetParam().prepare(temporary, logs));
  ApplicationLogsCollectorStep::registerLogFileURLs({Url::fileURL(logs.string())});
  const auto payload = runStep(std::make_shared<ApplicationLogsCollectorStep>());
  ASSERT_TRUE(payload.ok()) << payload.error().description();
  // The one archive of this run: "PairloomLogArchive-" + T + suffix + ".zip".
  std::string name;
  for (const auto& entry : fs::directory_iterator(temporary)) {
    if (entry.path().extension() == ".zip") {
      name = entry.path().stem().string().substr(std::string("PairloomLogArchive-").size());
    }
  }
  ASSERT_TRUE(name.ends_with(GetParam().suffix) && name.size() > GetParam().suffix.size() + 8);
  EXPECT_EQ(output("/usr/bin/unzip",
                   {"-p", (temporary / ("PairloomLogArchive-" + name + ".zip")).string(),
                    "PairloomLogs-" + name + "/logs/app.log"}),
            "app");
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, ArchiveStep,
    ::testing::Values(ArchiveCase{"SpecialFilesInAFolderAreSkipped",
                                  [](const fs::path& temporary, const fs::path& logs) {
                                    plantSpecialFiles(logs);
                                    return temporary.string();
                                  },
                                  ""},
                      ArchiveCase{"ATakenStagingNameGetsASuffix",
                                  [](const fs::path& temporary, const fs::path&) {
                                    // Another run of this second (and the next few) holds the plain
                                    // name.
                                    for (auto t = std::time(nullptr) - 978307200, end = t + 5;
                                         t <= end; ++t) {
                                      fs::create_directories(temporary /
                                                             ("PairloomLogs-" + std::to_string(t)));
                                    }
                                    return temporary.string();
                                  },
                                  "-2"},
                      ArchiveCase{"RelativeTemporaryDirectory",
                                  [](const fs::path& temporary, const fs::path&) {
                                    fs::current_path(temporary.parent_path());
                                    return std::string("tmp");
                                  },
                                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostileDiagnostics, ProfilerPastItsTimeLimitIsTerminatedAndFails) {
  TemporaryDirectory root;
  const auto script = root.write("profiler", "#!/bin/sh\nexec sleep 30\n");
  fs::permissions(script, fs::perms::owner_all);
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", script.string());
  detail::setProfilerTimeLimit(std::chrono::milliseconds(200));
  const auto result = runStep(std::make_shared<SystemProfileStep>());
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().description().find("did not finish within 1 seconds"),
            std::string::npos);
}

TEST(HostileDiagnostics, CaptureOverItsCapKeepsWholeLinesAndSaysWhatWasDropped) {
  ScopedEnvironment lines("TESSALINE_FIXTURE_LINES", "800000");  // 86 bytes each: over 64 MiB
  ScopedExecutableOverride tool("/usr/bin/log", testing::fixtureTool("lines"));
  TemporaryDirectory root;
  ScopedEnvironment marker("TESSALINE_FIXTURE_MARKER", (root.path() / "started").string());
  auto step = std::make_shared<SystemLogsCollectorStep>();
  const auto payload = runStep(step, [&] {
    // The fixture writes every line before it takes the SIGTERM.
    ASSERT_TRUE(testing::waitForMarker(root.path() / "started"));
    step->stop();
  });
  ASSERT_TRUE(payload.ok());
  const auto text = payload.value().view();
  const auto firstLine = text.substr(0, text.find('\n') + 1);
  const auto kept = text.size() - firstLine.size();
  EXPECT_EQ(firstLine,
            "Tessaline: " + std::to_string(800000 * 86 - kept) +
                " bytes of earlier lines were dropped to keep the capture within 64 MiB\n");
  EXPECT_EQ(kept % 86, 0u);
  EXPECT_EQ(text.substr(firstLine.size(), 10), "2024-05-01");
}

class Throwing final : public DiagnosisStepKind {
 public:
  explicit Throwing(int where) : where_(where) {}
  std::shared_ptr<DiagnosisStep> make() const override { return fail(0, nullptr); }
  std::int64_t order() const override { return 0; }
  std::string title() const override { return fail(1, std::string("Throwing")); }
  std::optional<std::string> explainer() const override { return std::nullopt; }
  std::optional<Url> url() const override { return std::nullopt; }
  bool shouldRun(const Feedback&) const override { return fail(2, true); }

 private:
  template <class T>
  T fail(int where, T value) const {
    if (where == where_) {
      throw std::runtime_error("host step kind failed");
    }
    return value;
  }
  int where_;
};

TEST(HostileDiagnostics, HostStepKindsThatThrowAreLeftOutAndTheRunCompletes) {
  platform::LogCapture log;
  TemporaryDirectory home;
  ScopedEnvironment environment("HOME", home.path().string());
  auto runner =
      DiagnosisRunner::make({std::make_shared<Throwing>(0), std::make_shared<Throwing>(1),
                             std::make_shared<Throwing>(2), CollectCrashReportsStep::kind()});
  bool completed = false;
  Feedback feedback;
  feedback.reason.crashLogs = Feedback::Requirement::required;
  EXPECT_NO_THROW(runner->run(feedback, [&] { completed = true; }));
  EXPECT_TRUE(MainQueue::drainUntil([&] { return completed; }, std::chrono::seconds(60)));
  ASSERT_EQ(runner->items.get().size(), 1u);
  EXPECT_EQ(log.count("Skipping diagnostic step kind %d: %{public}@", "DiagnosisRunner"), 3u);
}

TEST(HostileDiagnostics, ReleasingARunnerNeverWaitsForItsStepsAndDropsTheirResults) {
  TemporaryDirectory root;
  const auto script =
      root.write("tool", "#!/bin/sh\ntrap '' TERM\necho $$ > \"$0.pid\"\nsleep 3\n");
  fs::permissions(script, fs::perms::owner_all);
  ScopedExecutableOverride log("/usr/bin/log", script.string());
  ScopedExecutableOverride profiler("/usr/sbin/system_profiler", script.string());
  auto runner = DiagnosisRunner::make({SystemLogsCollectorStep::kind(), SystemProfileStep::kind()});
  Feedback feedback;
  feedback.reason.appLogs = feedback.reason.systemProfile = Feedback::Requirement::required;
  bool completed = false;
  runner->run(feedback, [&] { completed = true; });
  const auto pid = testing::waitForMarker(script.string() + ".pid");
  ASSERT_TRUE(pid);
  runner.reset();  // on the main thread, while a tool ignores its SIGTERM
  EXPECT_TRUE(testing::processExists(*pid));
  EXPECT_TRUE(platform::SerialQueue::waitForAbandonedWorkers(std::chrono::seconds(60)));
  MainQueue::drain();
  EXPECT_FALSE(completed);
}

}  // namespace
}  // namespace tessaline
