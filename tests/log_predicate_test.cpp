#include <platform/Process.h>
#include <tools/log/LogStream.h>
#include <tools/log/Predicate.h>

#include "support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tessaline::tools::log {
namespace {

// The predicate of the system log capture, verbatim.
const std::string kCapturePredicate =
    "process contains 'Pairloom' OR subsystem contains 'brisquet.OrvAudio' OR subsystem contains "
    "'brisquet.OrvCore' OR subsystem contains 'brisquet.OrvUI' OR subsystem contains "
    "'brisquet.Pairloom.WirelessInputService'";

Predicate parsed(const std::string& text) {
  auto result = Predicate::parse(text);
  if (auto* error = std::get_if<Predicate::ParseError>(&result)) {
    ADD_FAILURE() << text << ": " << error->message;
    return std::get<Predicate>(Predicate::parse("TRUEPREDICATE"));
  }
  return std::get<Predicate>(std::move(result));
}

std::optional<Predicate::ParseError> parseError(const std::string& text) {
  auto result = Predicate::parse(text);
  if (auto* error = std::get_if<Predicate::ParseError>(&result)) {
    return *error;
  }
  return std::nullopt;
}

LogEntry entry(std::string command, std::string subsystem = {}, std::string category = {},
               std::string message = {}, std::string identifier = {}) {
  LogEntry e;
  e.command = std::move(command);
  e.subsystem = std::move(subsystem);
  e.category = std::move(category);
  e.message = std::move(message);
  e.syslogIdentifier = std::move(identifier);
  return e;
}

TEST(LogPredicateTest, TheCapturePredicateSelectsTheHostsProcessesAndSubsystems) {
  const auto predicate = parsed(kCapturePredicate);
  EXPECT_TRUE(predicate.matches(entry("Pairloom")));
  EXPECT_TRUE(predicate.matches(entry("PairloomHelper")));
  EXPECT_TRUE(predicate.matches(entry("python3", {}, {}, {}, "Pairloom")));  // by identifier
  EXPECT_TRUE(predicate.matches(entry("x", "brisquet.OrvAudio")));
  EXPECT_TRUE(predicate.matches(entry("x", "brisquet.OrvUIKit")));  // contains, not equals
  EXPECT_TRUE(predicate.matches(entry("x", "brisquet.Pairloom.WirelessInputService")));
  EXPECT_FALSE(predicate.matches(entry("pairloom")));  // case matters without [c]
  EXPECT_FALSE(predicate.matches(entry("sshd", "brisquet.Tessaline")));
  EXPECT_FALSE(predicate.matches(entry("sshd", {}, {}, "Pairloom crashed")));
}

TEST(LogPredicateTest, OperatorsModifiersAndKeywordsInAnyCase) {
  const auto e = entry("Pairloom", "brisquet.OrvCore", "Audio", "Buffer underrun");
  EXPECT_TRUE(parsed("subsystem BEGINSWITH 'brisquet.'").matches(e));
  EXPECT_TRUE(parsed("subsystem beginswith \"brisquet.Orv\"").matches(e));
  EXPECT_TRUE(parsed("category ENDSWITH 'dio'").matches(e));
  EXPECT_TRUE(parsed("category == 'Audio'").matches(e));
  EXPECT_TRUE(parsed("category = 'Audio'").matches(e));
  EXPECT_FALSE(parsed("category == 'audio'").matches(e));
  EXPECT_TRUE(parsed("category ==[c] 'audio'").matches(e));
  EXPECT_TRUE(parsed("eventMessage CONTAINS[c] 'UNDERRUN'").matches(e));
  EXPECT_TRUE(parsed("eventMessage contains[cd] 'UNDERRUN'").matches(e));
  EXPECT_TRUE(parsed("category != 'Video'").matches(e));
  EXPECT_TRUE(parsed("category <> 'Video'").matches(e));
  EXPECT_TRUE(parsed("eventMessage contains 'it\\'s' OR TRUEPREDICATE").matches(e));
  EXPECT_FALSE(parsed("FALSEPREDICATE").matches(e));
}

TEST(LogPredicateTest, NotBindsTighterThanAndWhichBindsTighterThanOr) {
  const auto e = entry("Pairloom", "brisquet.OrvCore", "Audio");
  // (true AND false) OR true
  EXPECT_TRUE(
      parsed("category == 'Audio' AND category == 'x' OR process == 'Pairloom'").matches(e));
  // true AND (false OR false)
  EXPECT_FALSE(parsed("category == 'Audio' && (category == 'x' || process == 'y')").matches(e));
  EXPECT_FALSE(parsed("NOT category == 'Audio'").matches(e));
  EXPECT_TRUE(parsed("! category == 'x' and not not process contains 'loom'").matches(e));
  EXPECT_TRUE(parsed("((((subsystem contains 'Orv'))))").matches(e));
}

TEST(LogPredicateTest, AProcessIsItsCommandOrItsIdentifier) {
  const auto e = entry("python3", {}, {}, {}, "Pairloom");
  EXPECT_TRUE(parsed("process == 'python3'").matches(e));
  EXPECT_TRUE(parsed("process == 'Pairloom'").matches(e));
  EXPECT_FALSE(parsed("process != 'Pairloom'").matches(e));
  EXPECT_TRUE(parsed("process != 'bash'").matches(e));
}

TEST(LogPredicateTest, TextThatIsNotAPredicateIsRefusedWithItsPosition) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases{
      {"", "expected a key but found end of predicate at character 1"},
      {"process contains",
       "expected a quoted string after 'contains' but found end of predicate "
       "at character 17"},
      {"process contains 'Pairloom", "unterminated string at character 18"},
      {"sender contains 'x'",
       "unknown key 'sender' (known: process, subsystem, category, "
       "eventMessage) at character 1"},
      {"process LIKE 'x'",
       "expected an operator (CONTAINS, BEGINSWITH, ENDSWITH, ==, !=) after "
       "'process' but found 'LIKE' at character 9"},
      {"process contains[x] 'a'", "unknown modifier [x] at character 17"},
      {"process contains 'a' OR", "expected a key but found end of predicate at character 24"},
      {"(process contains 'a'", "expected ')' but found end of predicate at character 22"},
      {"process contains 'a')", "unexpected ')' at character 21"},
      {"process contains 'a' process", "unexpected 'process' at character 22"},
      {"process contains Pairloom",
       "expected a quoted string after 'contains' but found "
       "'Pairloom' at character 18"},
      {"process # 'a'", "unexpected character '#' at character 9"},
      {"process contains[c 'a'", "unterminated modifier at character 17"},
  };
  for (const auto& c : cases) {
    const auto error = parseError(c.text);
    ASSERT_TRUE(error) << c.text;
    EXPECT_EQ(error->message, c.message) << c.text;
  }
  // Deep nesting is refused instead of exhausting the stack.
  EXPECT_TRUE(parseError(std::string(10000, '(') + "process == 'a'"));
  EXPECT_TRUE(parseError(std::string(10000, '!') + "process == 'a'"));
  // A long flat chain is no nesting: it parses, matches and describes without deep recursion.
  std::string chain = "process == 'a'";
  for (int i = 0; i < 100000; ++i) {
    chain += " OR process == 'a'";
  }
  const auto flat = parsed(chain);
  EXPECT_TRUE(flat.matches(entry("a")));
  EXPECT_FALSE(flat.matches(entry("b")));
  EXPECT_TRUE(flat.description().starts_with("(process == \"a\" OR process == \"a\" OR "));
}

TEST(LogPredicateTest, DescriptionShowsTheStructure) {
  const auto predicate =
      parsed("process contains[c] 'A' or not (category == 'x' and subsystem endswith \"y\")");
  EXPECT_EQ(predicate.description(),
            "(process CONTAINS[c] \"a\" OR NOT (category == \"x\" AND subsystem ENDSWITH \"y\"))");
}

class LogStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  std::vector<LogEntry> fixtureEntries() {
    std::ifstream in(testing::fixtureData("journal.jsonl"));
    auto read = readJournalJsonLines(in);
    EXPECT_FALSE(read.error) << *read.error;
    return read.entries;
  }
};

TEST_F(LogStreamTest, JournalEntriesFromAFixturePassThroughTheCaptureFilter) {
  const auto entries = fixtureEntries();
  ASSERT_EQ(entries.size(), 6u);
  std::string out;
  LogStream stream(parsed(kCapturePredicate), *priorityThreshold("debug"),
                   [&out](std::string_view text) { out += text; });
  stream.begin(kCapturePredicate);
  for (const auto& e : entries) {
    stream.add(e);
  }
  EXPECT_EQ(out, "Filtering the log data using \"" + kCapturePredicate +
                     "\"\n"
                     "Timestamp               Ty Process[PID:TID]\n"
                     "2024-05-01 10:15:23.456 Df Pairloom[1234:1240] Window opened\n"
                     "2024-05-01 10:15:23.457 Db pairloom-helper[1300:0] [brisquet.OrvCore:Audio] "
                     "Buffer underrun\\nretrying\n"
                     "2024-05-01 10:15:23.459 E  host-app[77:0] "
                     "[brisquet.Pairloom.WirelessInputService:Pairing] Pairing failed\n"
                     "2024-05-01 10:15:23.460 Db kworker[12:0] [brisquet.OrvUIKit:] hi\n");
}

TEST_F(LogStreamTest, TheLevelHidesLowerPriorities) {
  const auto entries = fixtureEntries();
  std::size_t printed = 0;
  LogStream stream(parsed("TRUEPREDICATE"), *priorityThreshold("default"),
                   [&printed](std::string_view) { ++printed; });
  for (const auto& e : entries) {
    stream.add(e);
  }
  EXPECT_EQ(printed, 2u);  // the debug and info entries are left out
  EXPECT_FALSE(priorityThreshold("verbose"));
}

TEST_F(LogStreamTest, ATimeTheClockCannotHoldReadsAsUnknown) {
  std::istringstream in(R"({"__REALTIME_TIMESTAMP":"17145585230456000","MESSAGE":"far"})"
                        "\n"
                        R"({"__REALTIME_TIMESTAMP":"-9223372036854775808","MESSAGE":"past"})");
  const auto read = readJournalJsonLines(in);
  ASSERT_EQ(read.entries.size(), 2u);
  for (const auto& e : read.entries) {
    EXPECT_EQ(e.time.time_since_epoch().count(), 0) << e.message;
    EXPECT_TRUE(formatCompact(e).starts_with("1970-01-01 00:00:00.000 ")) << formatCompact(e);
  }
}

TEST_F(LogStreamTest, AFixtureLineThatIsNotAnObjectIsNamed) {
  std::istringstream in("{\"MESSAGE\":\"ok\"}\n[1,2]\n");
  const auto read = readJournalJsonLines(in);
  ASSERT_TRUE(read.error);
  EXPECT_EQ(*read.error, "line 2 is not a JSON object");
}

// The tool itself: a bad predicate is refused before anything streams; a good one streams until
// SIGTERM and exits cleanly with what it printed.
TEST(LogToolTest, ABadPredicateExitsWithAMessage) {
  platform::Process process(testing::standInTool("tessaline-log"),
                            {"stream", "--predicate", "process contains"});
  ASSERT_TRUE(process.launch().ok());
  const auto termination = process.waitUntilExit();
  EXPECT_EQ(termination.reason, platform::Process::Termination::Reason::exit);
  EXPECT_NE(termination.status, 0);
  EXPECT_TRUE(process.output().empty());
}

TEST(LogToolTest, StreamsUntilTerminatedAndFlushes) {
  platform::Process process(testing::standInTool("tessaline-log"),
                            {"stream", "--color", "none", "--level", "debug", "--style", "compact",
                             "--predicate", "subsystem == 'brisquet.Tessaline.NoSuchSubsystem'"});
  ASSERT_TRUE(process.launch().ok());
  ASSERT_TRUE(
      testing::waitFor([] { return testing::childBlockingSigterm("tessaline-log").has_value(); }));
  process.terminate();
  const auto termination = process.waitUntilExit();
  EXPECT_EQ(termination.reason, platform::Process::Termination::Reason::exit);
  EXPECT_EQ(termination.status, 0);
  EXPECT_EQ(process.output().str(),
            compactHeader("subsystem == 'brisquet.Tessaline.NoSuchSubsystem'"));
}

}  // namespace
}  // namespace tessaline::tools::log
