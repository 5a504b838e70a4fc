// terminate() from other threads while a process is launched and waited for.

#include <platform/Process.h>

#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tessaline::platform {
namespace {

TEST(ProcessTerminateTest, ARememberedTerminateRacingTheLaunchAlwaysEndsTheProcess) {
  for (int round = 0; round < 50; ++round) {
    Process process("/bin/sleep", {"600"});
    process.setRemembersTerminateBeforeLaunch(true);
    std::atomic<bool> go{false};
    std::thread terminator([&] {
      while (!go) {
      }
      process.terminate();
    });
    go = true;
    ASSERT_TRUE(process.launch().ok());
    terminator.join();
    const auto termination = process.waitUntilExit();  // returns: the sleep was ended
    EXPECT_EQ(termination.reason, Process::Termination::Reason::uncaughtSignal) << round;
    EXPECT_EQ(termination.status, SIGTERM) << round;
  }
}

TEST(ProcessTerminateTest, TerminateFromAnotherThreadEndsAWaitAndLaterCallsAreHarmless) {
  testing::TemporaryDirectory directory;
  const auto marker = directory.path() / "started";
  testing::ScopedEnvironment environment("TESSALINE_FIXTURE_MARKER", marker.string());
  Process process(testing::fixtureTool("stream"), {"x"});
  ASSERT_TRUE(process.launch().ok());
  ASSERT_TRUE(testing::waitForMarker(marker));  // its SIGTERM handler is in place
  std::vector<std::thread> terminators;
  for (int i = 0; i < 4; ++i) {
    terminators.emplace_back([&process] {
      for (int j = 0; j < 50; ++j) {
        process.terminate();
      }
    });
  }
  const auto termination = process.waitUntilExit();
  for (auto& thread : terminators) {
    thread.join();
  }
  process.terminate();  // reaped: nothing is signalled
  EXPECT_EQ(termination.reason, Process::Termination::Reason::exit);
  EXPECT_EQ(process.output().str(), "{\"arguments\": [\"x\"], \"cwd\": \"" +
                                        std::filesystem::current_path().string() +
                                        "\"}\nterminated\n");
}

TEST(ProcessTerminateTest, AProcessThatIgnoresTerminateIsKilledAfterTheGrace) {
  testing::TemporaryDirectory directory;
  const auto marker = directory.path() / "ignoring";
  // SIGTERM stays ignored across exec, so the sleep itself ignores it.
  Process process("/bin/sh",
                  {"-c", "trap '' TERM; echo $$ > \"$0\"; exec sleep 60", marker.string()});
  process.setTerminationGrace(std::chrono::milliseconds(200));
  ASSERT_TRUE(process.launch().ok());
  ASSERT_TRUE(testing::waitForMarker(marker));
  std::thread waiter;
  Process::Termination termination;
  waiter = std::thread([&] { termination = process.waitUntilExit(); });
  process.terminate();
  waiter.join();  // returns: the grace ran out and the process was killed
  EXPECT_EQ(termination.reason, Process::Termination::Reason::uncaughtSignal);
  EXPECT_EQ(termination.status, SIGKILL);
}

}  // namespace
}  // namespace tessaline::platform
