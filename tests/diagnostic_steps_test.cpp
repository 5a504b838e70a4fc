// What the diagnostic steps decide without running a tool, and the file system they rely on.
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/records/Base64.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>
#include <platform/detail/FileSystemSupport.h>

#include "support/TemporaryDirectory.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>

namespace tessaline {
namespace {

using platform::FileSystem;
using ::testing::HasSubstr;
using testing::TemporaryDirectory;

// Runs the check in a child process; as root it drops to an unprivileged user first, since root
// reaches every file. The child has started no thread before the fork.
bool passesAsUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(2);
    }
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string errorText(const Result<Unit>& result) {
  return result ? "" : result.error().description();
}

TEST(DiagnosticStepsTest, ReportsEncodeAsAJsonArrayWithBase64Payloads) {
  using Report = CollectCrashReportsStep::Report;
  EXPECT_EQ(Report::encodeList({}).value(), "[]");
  const std::string binary("\x00\x01\xfe\xff", 4);
  const std::vector<Report> reports{{"Pairloom_1.ips", Bytes(binary)},
                                    {"Pairloom/2.ips", Bytes(std::string("{}"))}};
  const auto encoded = Report::encodeList(reports);
  EXPECT_EQ(encoded.value(), "[{\"name\":\"Pairloom_1.ips\",\"payload\":\"" + base64Encode(binary) +
                                 "\"},{\"name\":\"Pairloom/2.ips\",\"payload\":\"e30=\"}]");
  const auto decoded = Report::decodeList(encoded.value()).value();
  EXPECT_EQ(decoded, reports);
  EXPECT_EQ(std::hash<Report>{}(decoded[0]), std::hash<Report>{}(reports[0]));
  // A file name that is not UTF-8 cannot be written as JSON text.
  EXPECT_EQ(Report::encodeList({{"Pairloom\xff.ips", Bytes()}}).error().kind(),
            Error::Kind::encoding);
}

// Reports whose creation date cannot be read (their folder may be listed but not searched) come
// after every dated report, in path order; like any selected entry they count toward the limit.
TEST(DiagnosticStepsTest, ReportsWithoutAReadableDateSortLastInPathOrder) {
  TemporaryDirectory home;
  const auto reports = home.path() / "Library/Logs/DiagnosticReports";
  for (const char* name : {"Pairloom-1.ips", "Sealed/Pairloom-z.ips", "Sealed/Pairloom-a.ips"}) {
    home.write("Library/Logs/DiagnosticReports/" + std::string(name), name);
  }
  for (auto path = reports; path != home.path().parent_path(); path = path.parent_path()) {
    ::chmod(path.c_str(), 0755);
  }
  ::chmod((reports / "Pairloom-1.ips").c_str(), 0644);
  ::chmod((reports / "Sealed").c_str(), 0444);  // names can be listed, the files not reached

  const bool ordered = passesAsUnprivilegedUser([&] {
    ::setenv("HOME", home.path().c_str(), 1);
    platform::LogCapture capture;
    std::optional<Result<Bytes>> result;
    auto step = std::make_shared<CollectCrashReportsStep>();
    step->run(Feedback(), [&result](Result<Bytes> r) { result = std::move(r); });
    platform::MainQueue::drainUntil([&result] { return result.has_value(); });
    if (!result || !result->ok()) {
      return false;
    }
    const auto list = CollectCrashReportsStep::Report::decodeList(result->value().view());
    const auto errors = capture.withFormat("Error reading file at %@: %{public}@");
    return list.ok() && list.value().size() == 1 && list.value()[0].name == "Pairloom-1.ips" &&
           errors.size() == 2 && errors[0].message.find("Pairloom-a.ips") != std::string::npos &&
           errors[1].message.find("Pairloom-z.ips") != std::string::npos;
  });
  ::chmod((reports / "Sealed").c_str(), 0755);
  EXPECT_TRUE(ordered);
}

TEST(FileSystemTest, ThePrivateTemporaryFolderIsTheUsersAlone) {
  TemporaryDirectory parent;
  const std::string root = parent.path().string();
  const std::string expected = root + "/tessaline-" + std::to_string(::getuid()) + "/";
  struct stat info {};
  for (int round = 0; round < 2; ++round) {  // the second time, wider permissions are narrowed
    EXPECT_EQ(platform::detail::privateTemporaryDirectory(root, ::getuid()).value(), expected);
    ASSERT_EQ(::stat(expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ::chmod(expected.c_str(), 0755);
  }
  std::filesystem::remove(expected);
  std::filesystem::create_directory_symlink(parent.path(), expected.substr(0, expected.size() - 1));
  EXPECT_THAT(platform::detail::privateTemporaryDirectory(root, ::getuid()).error().description(),
              HasSubstr("not a folder"));
  const unsigned other = ::getuid() + 4242;
  std::filesystem::create_directory(parent.path() / ("tessaline-" + std::to_string(other)));
  EXPECT_THAT(platform::detail::privateTemporaryDirectory(root, other).error().description(),
              HasSubstr("belongs to another user"));

  for (const auto& [variable, folder] : std::vector<std::pair<const char*, std::string>>{
           {"/var/tmp/somewhere", "/var/tmp/somewhere/"},
           {"/var/tmp/other/", "/var/tmp/other/"},
           {nullptr, "/tmp/tessaline-" + std::to_string(::getuid()) + "/"}}) {
    variable ? ::setenv("TMPDIR", variable, 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(FileSystem::temporaryDirectory().value(), folder);
  }
}

TEST(FileSystemTest, CopiesReadsAndRemovesButNeverOverwrites) {
  TemporaryDirectory directory;
  const auto file = directory.write("source/app.log", "log line\n").string();
  const auto root = directory.path().string();
  const std::atomic<bool> cancelled{false};
  EXPECT_EQ(errorText(FileSystem::copyFile(file, root + "/copy.log", cancelled)), "");
  EXPECT_EQ(FileSystem::readFile(root + "/copy.log").value().str(), "log line\n");
  EXPECT_EQ(errorText(FileSystem::copyFile(file, root + "/copy.log", cancelled)),
            "Cannot copy " + file + " to " + root + "/copy.log: File exists");
  EXPECT_THAT(errorText(FileSystem::copyFile(root + "/missing", root + "/x", cancelled)),
              HasSubstr("No such file"));
  EXPECT_FALSE(FileSystem::itemExists(root + "/x"));
  EXPECT_EQ(FileSystem::readFile(root).error().description(),
            "Cannot read " + root + ": Is a directory");
  EXPECT_EQ(FileSystem::readFile(directory.write("empty", "").string()).value().size(), 0u);
  EXPECT_EQ(errorText(FileSystem::removeItem(root + "/source")), "");
  EXPECT_FALSE(FileSystem::itemExists(root + "/source"));
  EXPECT_EQ(errorText(FileSystem::removeItem(root + "/source")), "");  // already gone
}

TEST(FileSystemTest, EnumeratesEveryEntryWithoutFollowingLinksAndSkipsWhatItCannotRead) {
  TemporaryDirectory directory;
  directory.write(".hidden", "h");
  directory.write("sub/deeper/c.txt", "c");
  directory.write("locked/secret.txt", "s");
  std::filesystem::create_directory_symlink(directory.path(), directory.path() / "loop");
  const auto root = directory.path().string();
  for (const char* folder : {"", "/sub", "/sub/deeper"}) {
    ::chmod((root + folder).c_str(), 0755);
  }
  ::chmod((root + "/locked").c_str(), 0);

  const bool listed = passesAsUnprivilegedUser([&] {
    std::set<std::string> seen;
    std::vector<std::string> errors;
    const auto result = FileSystem::enumerate(
        root,
        [&](const FileSystem::Entry& entry) {
          if (std::filesystem::path(entry.path).filename() == entry.name) {
            seen.insert(entry.path.substr(root.size() + 1) + (entry.isDirectory ? "/" : ""));
          }
        },
        [&](const std::string& path, const Error&) { errors.push_back(path); });
    return result.ok() && errors == std::vector<std::string>{root + "/locked"} &&
           seen == std::set<std::string>{".hidden",          "sub/",    "sub/deeper/",
                                         "sub/deeper/c.txt", "locked/", "loop"};
  });
  ::chmod((root + "/locked").c_str(), 0700);
  EXPECT_TRUE(listed);
  EXPECT_EQ(FileSystem::enumerate(root + "/none", [](const FileSystem::Entry&) {}).error().kind(),
            Error::Kind::fileSystem);
  EXPECT_FALSE(FileSystem::creationDate(root + "/none"));
}

TEST(OpenFileTest, KeepsTheSizeAtOpenAndRefusesWhatIsNotARegularFile) {
  TemporaryDirectory directory;
  const auto path = directory.write("data.bin", "0123456789");
  auto opened = platform::OpenFile::open(path.string());
  ASSERT_TRUE(opened) << opened.error().description();
  directory.write("data.bin", "0123456789abcdef");  // grows after opening: the size stays
  platform::OpenFile file = std::move(opened).value();
  EXPECT_EQ(file.size(), 10u);
  char buffer[4] = {};
  EXPECT_EQ(std::string(buffer, file.readAt(buffer, sizeof buffer, 6).value()), "6789");
  EXPECT_EQ(file.readAt(buffer, sizeof buffer, 100).value(), 0u);

  const auto fifo = directory.path() / "fifo";  // without a writer it would block a plain open
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::filesystem::path, const char*> refused[] = {
      {directory.path(), "is a folder"}, {fifo, "not a regular file"}};
  for (const auto& [refusedPath, fragment] : refused) {
    const auto result = platform::OpenFile::open(refusedPath.string());
    ASSERT_FALSE(result) << refusedPath;
    EXPECT_EQ(result.error().kind(), Error::Kind::fileSystem);
    EXPECT_THAT(result.error().description(), HasSubstr(fragment));
  }
}

}  // namespace
}  // namespace tessaline
