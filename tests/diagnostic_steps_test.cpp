#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/records/Base64.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/detail/FileSystemSupport.h>

#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaline {
namespace {

using platform::FileSystem;
using Requirement = Feedback::Requirement;

Feedback feedbackRequiring(Requirement systemProfile, Requirement appLogs, Requirement crashLogs) {
  Feedback feedback;
  feedback.reason.systemProfile = systemProfile;
  feedback.reason.appLogs = appLogs;
  feedback.reason.crashLogs = crashLogs;
  return feedback;
}

TEST(DiagnosticStepsTest, ClassLevelValues) {
  const auto profile = SystemProfileStep::kind();
  EXPECT_EQ(profile->order(), 100);
  EXPECT_EQ(profile->title(), "System Profile");
  EXPECT_EQ(profile->explainer(), "This step can take up to a minute, please be patient.");
  EXPECT_FALSE(profile->url());

  const auto systemLogs = SystemLogsCollectorStep::kind();
  EXPECT_EQ(systemLogs->order(), 50);
  EXPECT_EQ(systemLogs->title(), "System Logs");
  EXPECT_EQ(systemLogs->explainer(), "Click \"Done\" after reproducing the issue.");
  EXPECT_FALSE(systemLogs->url());

  const auto appLogs = ApplicationLogsCollectorStep::kind();
  EXPECT_EQ(appLogs->order(), 50);
  EXPECT_EQ(appLogs->title(), "App Logs");
  EXPECT_FALSE(appLogs->explainer());
  EXPECT_FALSE(appLogs->url());

  const auto crashes = CollectCrashReportsStep::kind();
  EXPECT_EQ(crashes->order(), 0);
  EXPECT_EQ(crashes->title(), "Crash Logs");
  EXPECT_FALSE(crashes->explainer());
  EXPECT_FALSE(crashes->url());

  EXPECT_EQ(SystemProfileStep::kind(), profile);  // one descriptor per class
}

TEST(DiagnosticStepsTest, InstanceValuesOfFreshSteps) {
  struct Expected {
    StepKind kind;
    bool stoppable;
    std::string extension;
  };
  for (const auto& e : {Expected{SystemProfileStep::kind(), false, "json"},
                        Expected{SystemLogsCollectorStep::kind(), true, "txt"},
                        Expected{ApplicationLogsCollectorStep::kind(), false, "txt"},
                        Expected{CollectCrashReportsStep::kind(), false, "json"}}) {
    const auto step = e.kind->make();
    EXPECT_FALSE(step->isRunning()) << e.kind->title();
    EXPECT_EQ(step->isStoppable(), e.stoppable) << e.kind->title();
    EXPECT_EQ(step->preferredFileExtension(), e.extension) << e.kind->title();
    step->stop();  // never started: nothing happens
  }
  EXPECT_NE(SystemProfileStep::kind()->make(), SystemProfileStep::kind()->make());
}

TEST(DiagnosticStepsTest, EachStepRunsOnlyWhenItsRequirementIsRequired) {
  for (auto other : {Requirement::optional, Requirement::notRequired}) {
    const auto none = feedbackRequiring(other, other, other);
    EXPECT_FALSE(SystemProfileStep::kind()->shouldRun(none));
    EXPECT_FALSE(SystemLogsCollectorStep::kind()->shouldRun(none));
    EXPECT_FALSE(ApplicationLogsCollectorStep::kind()->shouldRun(none));
    EXPECT_FALSE(CollectCrashReportsStep::kind()->shouldRun(none));
  }
  const auto profile =
      feedbackRequiring(Requirement::required, Requirement::optional, Requirement::notRequired);
  EXPECT_TRUE(SystemProfileStep::kind()->shouldRun(profile));
  EXPECT_FALSE(SystemLogsCollectorStep::kind()->shouldRun(profile));
  EXPECT_FALSE(CollectCrashReportsStep::kind()->shouldRun(profile));

  // One requirement enables both log steps.
  const auto logs =
      feedbackRequiring(Requirement::optional, Requirement::required, Requirement::optional);
  EXPECT_FALSE(SystemProfileStep::kind()->shouldRun(logs));
  EXPECT_TRUE(SystemLogsCollectorStep::kind()->shouldRun(logs));
  EXPECT_TRUE(ApplicationLogsCollectorStep::kind()->shouldRun(logs));

  const auto crashes =
      feedbackRequiring(Requirement::notRequired, Requirement::notRequired, Requirement::required);
  EXPECT_TRUE(CollectCrashReportsStep::kind()->shouldRun(crashes));
  EXPECT_FALSE(ApplicationLogsCollectorStep::kind()->shouldRun(crashes));
}

TEST(DiagnosticStepsTest, ReportNamesMatchATokenAnywhereIgnoringCase) {
  EXPECT_EQ(CollectCrashReportsStep::tokens(),
            (std::vector<std::string>{"pairloom", "pairloomhelper", "orvstatsservice",
                                      "handsetlinkservice", "nearbypanelservice",
                                      "wirelessinputservice"}));
  for (const char* name :
       {"Pairloom_2024-01-01-120000_Mac.ips", "PairloomHelper-crash.ips", "PAIRLOOM.crash",
        "x-OrvStatsService.diag", "HandsetLinkService_1.ips", "NearbyPanelService.spin",
        "com.WirelessInputService.hang", ".pairloom-hidden"}) {
    EXPECT_TRUE(CollectCrashReportsStep::matchesReportName(name)) << name;
  }
  for (const char* name : {"Other_2024-01-01-120000_Mac.ips", "pair-loom.ips", "StatsService.ips",
                           "", "WirelessInput.ips"}) {
    EXPECT_FALSE(CollectCrashReportsStep::matchesReportName(name)) << name;
  }
}

TEST(DiagnosticStepsTest, ReportsEncodeAsAJsonArrayWithBase64Payloads) {
  using Report = CollectCrashReportsStep::Report;
  EXPECT_EQ(Report::encodeList({}).value(), "[]");

  const std::string binary(
      "\x00\x01\xfe\xff"
      "crash\n",
      10);
  const std::vector<Report> reports{{"Pairloom_1.ips", Bytes(binary)},
                                    {"Pairloom/2.ips", Bytes(std::string("{}"))}};
  const auto encoded = Report::encodeList(reports);
  ASSERT_TRUE(encoded.ok());
  EXPECT_EQ(encoded.value(), "[{\"name\":\"Pairloom_1.ips\",\"payload\":\"" + base64Encode(binary) +
                                 "\"},{\"name\":\"Pairloom/2.ips\",\"payload\":\"e30=\"}]");
  const auto decoded = Report::decodeList(encoded.value());
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), reports);
  EXPECT_EQ(std::hash<Report>{}(reports[0]), std::hash<Report>{}(decoded.value()[0]));

  // A file name that is not UTF-8 cannot be written as JSON text.
  const auto invalid = Report::encodeList({{"Pairloom\xff.ips", Bytes()}});
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error().kind(), Error::Kind::encoding);
}

TEST(DiagnosticStepsTest, RegisteringALogFileTwiceKeepsOneEntry) {
  const auto a = Url::fileURL("/var/log/pairloom/a.log");
  const auto b = Url::fileURL("/var/log/pairloom/b.log");
  ApplicationLogsCollectorStep::registerLogFileURLs({a, b});
  ApplicationLogsCollectorStep::registerLogFileURLs({b, a, a});
  EXPECT_EQ(ApplicationLogsCollectorStep::registeredLogFileURLs(), (std::vector<Url>{a, b}));
}

// Reports whose creation date cannot be read (their folder may be listed but not searched) come
// after every dated report, in path order; like any selected entry they count toward the limit.
TEST(DiagnosticStepsTest, ReportsWithoutAReadableDateSortLastInPathOrder) {
  testing::TemporaryDirectory home;
  const auto reports = home.path() / "Library/Logs/DiagnosticReports";
  home.write("Library/Logs/DiagnosticReports/Pairloom-1.ips", "1");
  home.write("Library/Logs/DiagnosticReports/Sealed/Pairloom-z.ips", "z");
  home.write("Library/Logs/DiagnosticReports/Sealed/Pairloom-a.ips", "a");
  for (auto path = reports; path != home.path().parent_path(); path = path.parent_path()) {
    ::chmod(path.c_str(), 0755);
  }
  ::chmod((reports / "Pairloom-1.ips").c_str(), 0644);
  ::chmod((reports / "Sealed").c_str(), 0444);  // names can be listed, the files not reached

  // As root every file is reachable, so the scan runs in a child as an unprivileged user. The
  // child has not started any thread before the fork; the step starts its own.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(2);
    }
    ::setenv("HOME", home.path().c_str(), 1);
    platform::LogCapture capture;
    std::optional<Result<Bytes>> result;
    auto step = std::make_shared<CollectCrashReportsStep>();
    step->run(Feedback(), [&result](Result<Bytes> r) { result = std::move(r); });
    platform::MainQueue::drainUntil([&result] { return result.has_value(); });
    if (!result || !result->ok()) {
      ::_exit(3);
    }
    const auto list = CollectCrashReportsStep::Report::decodeList(result->value().view());
    // Pairloom-1 (dated) first; then Sealed/Pairloom-a before Sealed/Pairloom-z; neither can
    // be read.
    const auto errors = capture.withFormat("Error reading file at %@: %{public}@");
    const bool ordered = list.ok() && list.value().size() == 1 &&
                         list.value()[0].name == "Pairloom-1.ips" && errors.size() == 2 &&
                         errors[0].message.find("Pairloom-a.ips") != std::string::npos &&
                         errors[1].message.find("Pairloom-z.ips") != std::string::npos;
    ::_exit(ordered ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod((reports / "Sealed").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- File system ---------------------------------------------------------------------------------

TEST(FileSystemTest, ThePrivateTemporaryFolderIsMadeForTheUserAlone) {
  testing::TemporaryDirectory parent;
  const auto made = platform::detail::privateTemporaryDirectory(parent.path().string(), ::getuid());
  ASSERT_TRUE(made.ok()) << made.error().description();
  const std::string expected =
      parent.path().string() + "/tessaline-" + std::to_string(::getuid()) + "/";
  EXPECT_EQ(made.value(), expected);
  struct stat info {};
  ASSERT_EQ(::stat(expected.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A folder that was left with wider permissions is made private again.
  ::chmod(expected.c_str(), 0755);
  EXPECT_TRUE(platform::detail::privateTemporaryDirectory(parent.path().string(), ::getuid()).ok());
  ASSERT_EQ(::stat(expected.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(FileSystemTest, APrivateTemporaryFolderOfAnotherUserOrALinkIsRefused) {
  testing::TemporaryDirectory parent;
  // The folder exists for our uid's name but belongs to someone else: ask as another uid.
  const unsigned other = ::getuid() + 4242;
  std::filesystem::create_directory(parent.path() / ("tessaline-" + std::to_string(other)));
  const auto refused = platform::detail::privateTemporaryDirectory(parent.path().string(), other);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description().find("belongs to another user"), std::string::npos);

  std::filesystem::create_directory_symlink(
      parent.path(), parent.path() / ("tessaline-" + std::to_string(::getuid())));
  const auto link = platform::detail::privateTemporaryDirectory(parent.path().string(), ::getuid());
  ASSERT_FALSE(link.ok());
  EXPECT_NE(link.error().description().find("not a folder"), std::string::npos);
}

TEST(FileSystemTest, TheTemporaryDirectoryFollowsTmpdirAndEndsInASlash) {
  setenv("TMPDIR", "/var/tmp/somewhere", 1);
  EXPECT_EQ(FileSystem::temporaryDirectory().value(), "/var/tmp/somewhere/");
  setenv("TMPDIR", "/var/tmp/other/", 1);
  EXPECT_EQ(FileSystem::temporaryDirectory().value(), "/var/tmp/other/");
  unsetenv("TMPDIR");
  const auto fallback = FileSystem::temporaryDirectory();
  ASSERT_TRUE(fallback.ok());
  EXPECT_EQ(fallback.value(), "/tmp/tessaline-" + std::to_string(::getuid()) + "/");

  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(FileSystem::homeDirectory(), "/home/someone");
}

TEST(FileSystemTest, CopiesFilesAndFoldersButNeverOverAnExistingItem) {
  testing::TemporaryDirectory directory;
  const auto file = directory.write("source/app.log", "log line\n");
  directory.write("source/nested/deeper/old.log", "old\n");
  const auto root = directory.path().string();

  ASSERT_TRUE(FileSystem::copyItem(file.string(), root + "/copy.log").ok());
  EXPECT_EQ(FileSystem::readFile(root + "/copy.log").value().str(), "log line\n");
  ASSERT_TRUE(FileSystem::copyItem(root + "/source", root + "/tree").ok());
  EXPECT_EQ(FileSystem::readFile(root + "/tree/nested/deeper/old.log").value().str(), "old\n");

  const auto exists = FileSystem::copyItem(file.string(), root + "/copy.log");
  ASSERT_FALSE(exists.ok());
  EXPECT_EQ(exists.error().kind(), Error::Kind::fileSystem);
  EXPECT_EQ(exists.error().description(),
            "Cannot copy " + file.string() + " to " + root + "/copy.log: File exists");
  // A folder is not merged into an existing one either.
  EXPECT_FALSE(FileSystem::copyItem(root + "/source", root + "/tree").ok());

  const auto missing = FileSystem::copyItem(root + "/missing.log", root + "/x.log");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description().find("No such file or directory"), std::string::npos);
  EXPECT_FALSE(FileSystem::itemExists(root + "/x.log"));

  ASSERT_TRUE(FileSystem::removeItem(root + "/tree").ok());
  EXPECT_FALSE(FileSystem::itemExists(root + "/tree"));
  EXPECT_TRUE(FileSystem::removeItem(root + "/tree").ok());  // already gone
}

TEST(FileSystemTest, ReadingAFolderOrAMissingFileFails) {
  testing::TemporaryDirectory directory;
  const auto folder = FileSystem::readFile(directory.path().string());
  ASSERT_FALSE(folder.ok());
  EXPECT_EQ(folder.error().description(),
            "Cannot read " + directory.path().string() + ": Is a directory");
  EXPECT_FALSE(FileSystem::readFile(directory.path().string() + "/none").ok());
  EXPECT_EQ(FileSystem::readFile(directory.write("empty", "").string()).value().size(), 0u);
}

TEST(FileSystemTest, EnumeratesEveryEntryAtAnyDepthWithoutFollowingLinks) {
  testing::TemporaryDirectory directory;
  directory.write("a.txt", "a");
  directory.write(".hidden", "h");
  directory.write("sub/b.txt", "b");
  directory.write("sub/deeper/c.txt", "c");
  std::filesystem::create_directory_symlink(directory.path(), directory.path() / "loop");
  const auto root = directory.path().string();

  std::set<std::string> seen;
  std::set<std::string> folders;
  const auto listed = FileSystem::enumerate(root, [&](const FileSystem::Entry& entry) {
    EXPECT_EQ(entry.path, root + "/" + entry.path.substr(root.size() + 1));
    EXPECT_EQ(std::filesystem::path(entry.path).filename().string(), entry.name);
    seen.insert(entry.path.substr(root.size() + 1));
    if (entry.isDirectory) {
      folders.insert(entry.name);
    }
  });
  ASSERT_TRUE(listed.ok());
  EXPECT_EQ(seen, (std::set<std::string>{"a.txt", ".hidden", "sub", "sub/b.txt", "sub/deeper",
                                         "sub/deeper/c.txt", "loop"}));
  EXPECT_EQ(folders, (std::set<std::string>{"sub", "deeper"}));

  const auto missing = FileSystem::enumerate(root + "/none", [](const FileSystem::Entry&) {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), Error::Kind::fileSystem);
}

TEST(FileSystemTest, AnUnreadableSubfolderIsReportedAndSkipped) {
  testing::TemporaryDirectory directory;
  directory.write("locked/secret.txt", "s");
  directory.write("open/visible.txt", "v");
  const auto locked = directory.path() / "locked";
  ::chmod(directory.path().c_str(), 0755);
  ::chmod((directory.path() / "open").c_str(), 0755);
  ::chmod(locked.c_str(), 0);

  // Root reads every folder, so the scan then runs in a child as an unprivileged user.
  const auto scan = [&] {
    std::vector<std::string> names;
    std::vector<std::string> errors;
    const auto listed = FileSystem::enumerate(
        directory.path().string(),
        [&](const FileSystem::Entry& entry) { names.push_back(entry.name); },
        [&](const std::string& path, const Error&) { errors.push_back(path); });
    return listed.ok() && errors == std::vector<std::string>{locked.string()} &&
           std::find(names.begin(), names.end(), "visible.txt") != names.end() &&
           std::find(names.begin(), names.end(), "secret.txt") == names.end();
  };
  bool passed = false;
  if (::geteuid() != 0) {
    passed = scan();
  } else {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const bool dropped =
          ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0;
      ::_exit(dropped && scan() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ::chmod(locked.c_str(), 0700);
  EXPECT_TRUE(passed);
}

TEST(FileSystemTest, CreationDatesComeFromTheFileSystem) {
  testing::TemporaryDirectory directory;
  const auto file = directory.write("new.ips", "x");
  const auto created = FileSystem::creationDate(file.string());
  if (!created) {
    GTEST_SKIP() << "this file system records no creation dates";
  }
  const auto now = std::chrono::system_clock::now();
  EXPECT_LE(*created, now);
  EXPECT_GT(*created, now - std::chrono::hours(1));
  EXPECT_FALSE(FileSystem::creationDate(directory.path().string() + "/none"));
}

}  // namespace
}  // namespace tessaline
