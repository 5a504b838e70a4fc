#include <platform/Process.h>
#include <platform/detail/ProcessSupport.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace tessaline::platform {
namespace {

using testing::fixtureTool;

std::string pattern(std::size_t size, std::size_t start = 0) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>('a' + (start + i) % 26);
  }
  return data;
}

nlohmann::json runArguments(Process& process) {
  EXPECT_TRUE(process.launch().ok());
  const auto termination = process.waitUntilExit();
  EXPECT_EQ(termination.reason, Process::Termination::Reason::exit);
  EXPECT_EQ(termination.status, 0);
  return nlohmann::json::parse(process.output().str());
}

TEST(ProcessTest, PassesEveryArgumentUnchangedWithoutAShell) {
  const std::vector<std::string> arguments{"plain",       "two words", "'quoted'",   "\"double\"",
                                           "$HOME; ls *", "",          "line\nbreak"};
  Process process(fixtureTool("arguments"), arguments);
  const auto output = runArguments(process);
  EXPECT_EQ(output["arguments"].get<std::vector<std::string>>(), arguments);
}

TEST(ProcessTest, RunsInTheWorkingDirectoryItIsGiven) {
  testing::TemporaryDirectory directory;
  Process process(fixtureTool("arguments"), {});
  process.setCurrentDirectory(directory.path().string());
  const auto output = runArguments(process);
  EXPECT_EQ(std::filesystem::canonical(output["cwd"].get<std::string>()),
            std::filesystem::canonical(directory.path()));
}

TEST(ProcessTest, ReadsMoreThanAPipeHoldsCompletely) {
  Process process(fixtureTool("flood-stdout"), {});
  ASSERT_TRUE(process.launch().ok());
  process.waitUntilExit();
  const auto output = process.output();
  ASSERT_EQ(output.size(), 8u * 1024 * 1024);
  EXPECT_TRUE(output.view() == pattern(8 * 1024 * 1024));
}

TEST(ProcessTest, StandardErrorNeitherBlocksNorReachesTheOutput) {
  Process process(fixtureTool("flood-stderr"), {});
  ASSERT_TRUE(process.launch().ok());
  const auto termination = process.waitUntilExit();
  EXPECT_EQ(termination.status, 0);  // the 8 MiB on standard error did not stall it
  EXPECT_EQ(process.output().str(), "stdout line\n");
}

TEST(ProcessTest, KeepsTheNewestBytesUnderALimit) {
  Process process(fixtureTool("flood-stdout"), {});
  process.setOutputLimit(1024 * 1024 + 7);
  ASSERT_TRUE(process.launch().ok());
  process.waitUntilExit();
  const auto output = process.output();
  const std::size_t total = 8 * 1024 * 1024;
  ASSERT_EQ(output.size(), 1024u * 1024 + 7);
  EXPECT_TRUE(output.view() == pattern(output.size(), total - output.size()));
}

TEST(ProcessTest, DiscardedOutputIsNotKept) {
  Process process(fixtureTool("flood-stdout"), {});
  process.setStandardOutput(Process::Output::discard);
  ASSERT_TRUE(process.launch().ok());
  EXPECT_EQ(process.waitUntilExit().status, 0);
  EXPECT_TRUE(process.output().empty());
}

TEST(ProcessTest, AMissingExecutableIsALaunchError) {
  Process process("/nonexistent/tool", {"x"});
  const auto launched = process.launch();
  ASSERT_FALSE(launched.ok());
  EXPECT_EQ(launched.error().kind(), Error::Kind::process);
  EXPECT_EQ(launched.error().description(),
            "Cannot launch /nonexistent/tool: No such file or directory");
  // Nothing to wait for, nothing to terminate.
  EXPECT_EQ(process.waitUntilExit().reason, Process::Termination::Reason::unknown);
  process.terminate();
}

TEST(ProcessTest, AMissingWorkingDirectoryIsALaunchError) {
  Process process(fixtureTool("arguments"), {});
  process.setCurrentDirectory("/nonexistent/folder");
  const auto launched = process.launch();
  ASSERT_FALSE(launched.ok());
  EXPECT_NE(launched.error().description().find("No such file or directory"), std::string::npos);
}

TEST(ProcessTest, LaunchesOnlyOnce) {
  Process process(fixtureTool("silent"), {});
  ASSERT_TRUE(process.launch().ok());
  EXPECT_FALSE(process.launch().ok());
  EXPECT_EQ(process.waitUntilExit().status, 0);
}

TEST(ProcessTest, TerminateEndsARunningProcess) {
  Process process("/bin/sleep", {"600"});
  ASSERT_TRUE(process.launch().ok());
  process.terminate();
  const auto termination = process.waitUntilExit();
  EXPECT_EQ(termination.reason, Process::Termination::Reason::uncaughtSignal);
  EXPECT_EQ(termination.status, SIGTERM);
  process.terminate();  // after the exit: nothing happens
}

TEST(ProcessTest, ATerminateBeforeLaunchIsIgnoredUnlessRemembered) {
  Process ignored(fixtureTool("silent"), {});
  ignored.terminate();
  ASSERT_TRUE(ignored.launch().ok());
  EXPECT_EQ(ignored.waitUntilExit().reason, Process::Termination::Reason::exit);

  Process remembered("/bin/sleep", {"600"});
  remembered.setRemembersTerminateBeforeLaunch(true);
  remembered.terminate();
  ASSERT_TRUE(remembered.launch().ok());
  const auto termination = remembered.waitUntilExit();  // returns: the sleep was ended
  EXPECT_EQ(termination.status, SIGTERM);
}

TEST(ProcessTest, TheChildStartsWithDefaultSignalHandlingAndNoBlockedSignals) {
  // A host that ignores and blocks SIGTERM must not pass that on to its tools.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGTERM, &ignore, &previous);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &term, &previousMask);

  Process process("/bin/sleep", {"600"});
  ASSERT_TRUE(process.launch().ok());
  process.terminate();
  const auto termination = process.waitUntilExit();

  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGTERM, &previous, nullptr);
  EXPECT_EQ(termination.reason, Process::Termination::Reason::uncaughtSignal);
  EXPECT_EQ(termination.status, SIGTERM);
}

TEST(ProcessTest, TheChildInheritsNoDescriptorsBeyondTheStandardThree) {
  // A descriptor the host opened without close-on-exec.
  const int leaked = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 100);
  ASSERT_GE(leaked, 100);
  Process process("/bin/ls", {"/proc/self/fd"});
  ASSERT_TRUE(process.launch().ok());
  process.waitUntilExit();
  ::close(leaked);
  std::vector<std::string> descriptors;
  std::istringstream lines(process.output().str());
  for (std::string line; std::getline(lines, line);) {
    descriptors.push_back(line);
  }
  // 0, 1, 2 and the one ls reads the folder with.
  EXPECT_LE(descriptors.size(), 4u) << process.output().str();
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), std::to_string(leaked)), 0);
}

TEST(ProcessTest, DestroyingARunningProcessEndsAndReapsIt) {
  std::optional<int> pid;
  {
    Process process("/bin/sleep", {"600"});
    ASSERT_TRUE(process.launch().ok());
    pid = process.processIdentifier();
  }
  ASSERT_TRUE(pid);
  EXPECT_FALSE(testing::processExists(*pid));
}

TEST(ProcessTest, TheMacToolPathsRunTheStandIns) {
  EXPECT_EQ(detail::resolveExecutable("/usr/bin/log"), testing::standInTool("tessaline-log"));
  EXPECT_EQ(detail::resolveExecutable("/usr/sbin/system_profiler"),
            testing::standInTool("tessaline-system-profiler"));
  EXPECT_EQ(detail::resolveExecutable("/usr/bin/zip"), "/usr/bin/zip");

  testing::ScopedExecutableOverride fixture("/usr/bin/zip", fixtureTool("arguments"));
  EXPECT_EQ(detail::resolveExecutable("/usr/bin/zip"), fixtureTool("arguments"));
}

TEST(ProcessTest, TheProfilerStandInReportsThisMachineAsAsked) {
  Process process("/usr/sbin/system_profiler",
                  {"SPHardwareDataType", "SPSoftwareDataType", "SPInternationalDataType",
                   "SPDisplaysDataType", "SPNoSuchDataType", "-timeout", "60", "-json"});
  ASSERT_TRUE(process.launch().ok());
  EXPECT_EQ(process.waitUntilExit().status, 0);
  const auto report = nlohmann::ordered_json::parse(process.output().str());
  std::vector<std::string> keys;
  for (const auto& [key, value] : report.items()) {
    keys.push_back(key);
    EXPECT_TRUE(value.is_array()) << key;
    for (const auto& element : value) {
      EXPECT_TRUE(element.is_object()) << key;
    }
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"SPHardwareDataType", "SPSoftwareDataType",
                                            "SPInternationalDataType", "SPDisplaysDataType",
                                            "SPNoSuchDataType"}));
  EXPECT_EQ(report["SPHardwareDataType"].size(), 1u);
  EXPECT_GE(report["SPHardwareDataType"][0]["number_processors"].get<int>(), 1);
  EXPECT_FALSE(report["SPSoftwareDataType"][0]["kernel_version"].get<std::string>().empty());
  EXPECT_TRUE(report["SPNoSuchDataType"].empty());
}

TEST(ProcessTest, TheProfilerStandInRefusesABadCommandLine) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"-timeout", "soon"}, std::vector<std::string>{"-xml"},
        std::vector<std::string>{"-timeout"}}) {
    Process process("/usr/sbin/system_profiler", arguments);
    ASSERT_TRUE(process.launch().ok());
    EXPECT_NE(process.waitUntilExit().status, 0) << arguments.front();
    EXPECT_TRUE(process.output().empty());
  }
}

}  // namespace
}  // namespace tessaline::platform
