// The log capture against a real systemd-journald that runs in a mount namespace of its own with a
// private /run (tests/fixtures/private_journal.sh); the machine's journal is never touched.

#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>

#include "support/ProcessFixtures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

namespace tessaline {
namespace {

constexpr const char* kInside = "TESSALINE_PRIVATE_JOURNAL";

// Runs the current test again inside a private mount namespace, with or without journald.
void runInPrivateNamespace(const std::string& mode) {
  if (::getuid() != 0 || ::access("/lib/systemd/systemd-journald", X_OK) != 0) {
    GTEST_SKIP() << "needs root and /lib/systemd/systemd-journald for a private journal";
  }
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  platform::Process inside(
      "/usr/bin/unshare",
      {"-m", "--propagation", "private", "/bin/sh", testing::fixtureData("private_journal.sh"),
       mode, "/usr/bin/env", std::string(kInside) + "=1",
       std::filesystem::read_symlink("/proc/self/exe").string(),
       "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name()});
  ASSERT_TRUE(inside.launch().ok());
  const auto ended = inside.waitUntilExit();
  if (ended.status == 77) {
    GTEST_SKIP() << "systemd-journald cannot run here: " << inside.output().str();
  }
  EXPECT_EQ(ended.status, 0) << inside.output().str();
}

// Captures while `during` runs, then presses "Done" at once.
std::string capture(const std::function<void()>& during) {
  auto step = std::make_shared<SystemLogsCollectorStep>();
  std::optional<Result<Bytes>> result;
  step->run(Feedback(), [&](Result<Bytes> r) { result = std::move(r); });
  EXPECT_TRUE(testing::waitFor([] { return testing::childBlockingSigterm("tessaline-log"); }));
  during();
  step->stop();
  EXPECT_TRUE(platform::MainQueue::drainUntil([&] { return result.has_value(); },
                                              std::chrono::seconds(60)));
  return result && result->ok() ? result->value().str() : std::string();
}

TEST(JournalCapture, LinesLoggedJustBeforeDoneAreAllCaptured) {
  if (std::getenv(kInside) == nullptr) {
    return runInPrivateNamespace("with");
  }
  const platform::Logger module("brisquet.OrvCore", "Module");
  const auto text = capture([&] {
    for (int i = 0; i < 20; ++i) {
      module.error("journal line %d", i);
    }
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(text.find("journal line " + std::to_string(i) + "\n"), std::string::npos) << text;
  }
}

TEST(JournalCapture, AJournalThatCannotBeReadIsSaidSoFirstAndLogged) {
  if (std::getenv(kInside) == nullptr) {
    return runInPrivateNamespace("without");
  }
  platform::LogCapture log;
  EXPECT_TRUE(
      capture([] {}).starts_with("tessaline-log: cannot read the system journal: no system "
                                 "journal files; is systemd-journald running?\n"));
  EXPECT_EQ(log.count("The system log capture could not read the system journal: %{public}@"), 1u);
}

}  // namespace
}  // namespace tessaline
