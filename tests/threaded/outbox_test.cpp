// The outbox: limits, Retry-After, and reports that survive SIGKILL whole or not at all.
#include <Tessaline/form/Outbox.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>

#include "support/ChildProcess.h"
#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = Outbox::Clock;

std::string attachmentBytes(int n) {
  return std::string(64 * 1024 + static_cast<std::size_t>(n), static_cast<char>('a' + n % 26));
}

Outbox::Report numberedReport(int n) {
  Outbox::Report report;
  report.feedback.subject = "kept report " + std::to_string(n);
  report.feedback.messages.push_back({});
  report.feedback.messages.back().body = "body of " + std::to_string(n);
  report.attachments = {{"App Logs", "txt", Bytes(attachmentBytes(n))}};
  return report;
}

int numberOf(const Outbox::Report& report) {
  return std::stoi(report.feedback.subject->substr(12));
}

Outbox::FlushResult flushAll(Outbox& outbox) {
  std::optional<Outbox::FlushResult> result;
  outbox.flush(std::make_shared<FeedbackAPIClient>("stable", Environment::current()),
               [&result](Outbox::FlushResult r) { result = r; });
  EXPECT_TRUE(platform::MainQueue::drainUntil([&] { return result.has_value(); }, 120s));
  return result.value_or(Outbox::FlushResult{});
}

// Run by the crash-safety test as a child: stores numbered reports until it is killed.
TEST(OutboxWriter, StoresUntilKilled) {
  const char* directory = std::getenv("TESSALINE_OUTBOX_WRITER");
  if (directory == nullptr) {
    GTEST_SKIP() << "started by the crash-safety test only";
  }
  Outbox outbox(directory, {1000, 1ull << 30});
  const int first = std::atoi(std::getenv("TESSALINE_OUTBOX_FIRST"));
  std::cout << "writing" << std::endl;
  for (int n = first; n < first + 8; ++n) {
    ASSERT_TRUE(outbox.store(numberedReport(n)).ok());
  }
  std::this_thread::sleep_for(60s);  // the parent kills it long before
}

// Reports killed mid-write are kept whole or not at all, in a folder only the user may open.
TEST(OutboxTest, ReportsKilledMidWriteAreWholeOrAbsent) {
  testing::TemporaryDirectory directory{"tessaline-outbox"};
  const std::string box = (directory.path() / "state/outbox").string();
  int first = 0;
  for (const auto delay : {0ms, 2ms, 5ms, 10ms, 20ms, 40ms, 80ms, 160ms, 320ms, 640ms}) {
    auto writer = testing::ChildProcess::start(
        {"/proc/self/exe", "--gtest_filter=OutboxWriter.StoresUntilKilled"},
        {.environment = {{"TESSALINE_OUTBOX_WRITER", box},
                         {"TESSALINE_OUTBOX_FIRST", std::to_string(first)}}});
    ASSERT_TRUE(writer && writer->waitForOutput("writing", 60s));
    EXPECT_EQ(writer->wait(delay), -1) << writer->out();  // SIGKILL, wherever it was
    first += 100;
  }

  Outbox outbox(box);
  const auto kept = outbox.pending();
  const auto files = std::count_if(fs::directory_iterator(box), {}, [](const auto& entry) {
    return entry.path().extension() == ".report";
  });
  EXPECT_EQ(static_cast<long>(kept.size()), files) << "a report file that does not decode";
  std::set<std::string> subjects;
  for (const auto& report : kept) {
    const int n = numberOf(report);
    EXPECT_EQ(report.feedback.messages.at(0).body, "body of " + std::to_string(n));
    ASSERT_EQ(report.attachments.size(), 1u);
    EXPECT_EQ(report.attachments[0].data.view(), attachmentBytes(n)) << n;
    subjects.insert(*report.feedback.subject);
  }
  EXPECT_EQ(subjects.size(), kept.size());
  EXPECT_EQ(fs::status(box).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(OutboxTest, KeepsWithinItsLimitsDroppingTheOldest) {
  testing::TemporaryDirectory directory{"tessaline-outbox"};
  platform::LogCapture capture;
  Outbox outbox((directory.path() / "outbox").string(), {2, 1 << 20});
  auto second = numberedReport(2);
  for (const auto& report : {numberedReport(1), second, numberedReport(3)}) {
    ASSERT_TRUE(outbox.store(report).ok());
  }
  second.feedback.subject = "kept report 4";  // the same report again replaces it in place
  ASSERT_TRUE(outbox.store(second).ok());
  std::vector<int> numbers;
  for (const auto& report : outbox.pending()) {
    numbers.push_back(numberOf(report));
  }
  EXPECT_EQ(numbers, (std::vector<int>{4, 3}));
  EXPECT_EQ(capture.count("The outbox is full: dropped the oldest kept report %{public}@"), 1u);
  auto large = numberedReport(5);
  large.attachments[0].data = Bytes(std::string(1 << 20, 'x'));
  EXPECT_FALSE(outbox.store(large).ok());
  EXPECT_EQ(outbox.pending().size(), 2u);
}

TEST(OutboxTest, ReadsRetryAfterAsSecondsOrHttpDate) {
  const auto now = Clock::time_point(std::chrono::sys_days(std::chrono::year(2030) / 1 / 1));
  const std::pair<std::string, std::optional<Clock::duration>> cases[] = {
      {"120", 120s},
      {"0", 0s},
      {"Tue, 01 Jan 2030 00:10:00 GMT", 600s},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 0s},  // past: at once
      {"99999999999", 24h},                   // capped
      {"", std::nullopt},
      {"soon", std::nullopt},
      {"-5", std::nullopt},
      {"Tue, 32 Jan 2030 00:10:00 GMT", std::nullopt},
      {"Tue, 01 Jan 2030 00:10:00 GMT trailing", std::nullopt}};
  for (const auto& [value, after] : cases) {
    const auto parsed = Outbox::parseRetryAfter(value, now);
    EXPECT_EQ(parsed ? std::optional(*parsed - now) : std::nullopt, after) << value;
  }
}

TEST(OutboxTest, A503KeepsTheReportAndTheNextFlushWaitsForRetryAfter) {
  testing::TestServer server({.tls = false});
  auto busy = testing::Reply::json("<html>busy</html>", 503);
  busy.headers = {{"Retry-After", "600"}};
  server.setReply("POST", "/v1/reports", busy);
  testing::ScopedEnvironment url("TESSALINE_SERVICE_URL", server.baseURL());
  testing::TemporaryDirectory directory{"tessaline-outbox"};
  Outbox outbox((directory.path() / "outbox").string());
  auto report = numberedReport(1);
  report.attachments.clear();
  ASSERT_TRUE(outbox.store(report).ok());

  const auto before = Clock::now();
  const auto first = flushAll(outbox);
  ASSERT_TRUE(first.error && first.notBefore);
  EXPECT_EQ(first.error->httpStatus(), 503);
  EXPECT_GE(*first.notBefore, before + 600s);
  EXPECT_EQ(first.remaining, 1);
  const auto second = flushAll(outbox);  // asks nothing of the service
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(second.notBefore, first.notBefore);
  EXPECT_EQ(outbox.pending().size(), 1u);
}

}  // namespace
}  // namespace tessaline
