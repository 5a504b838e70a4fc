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

// Times are printed in UTC, whatever the machine's zone.
[[maybe_unused]] const bool kUtc = (setenv("TZ", "UTC", 1), tzset(), true);

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

TEST(LogPredicateTest, KeysOperatorsModifiersAndPrecedence) {
  const auto pairloom = entry("Pairloom", "brisquet.OrvCore", "Audio", "Buffer underrun");
  const auto python = entry("python3", {}, {}, {}, "Pairloom");  // a process by its identifier
  const std::tuple<std::string, LogEntry, bool> cases[] = {
      {kCapturePredicate, entry("PairloomHelper"), true},
      {kCapturePredicate, python, true},
      {kCapturePredicate, entry("pairloom"), false},  // case matters without [c]
      {kCapturePredicate, entry("sshd", "brisquet.Tessaline"), false},
      {"process == 'python3'", python, true},
      {"process != 'Pairloom'", python, false},
      {"subsystem beginswith \"brisquet.Orv\"", pairloom, true},
      {"category ENDSWITH 'dio'", pairloom, true},
      {"category = 'Audio'", pairloom, true},
      {"category ==[c] 'audio'", pairloom, true},
      {"eventMessage contains[cd] 'UNDERRUN'", pairloom, true},
      {"category <> 'Video'", pairloom, true},
      {"eventMessage contains 'it\\'s' OR TRUEPREDICATE", pairloom, true},
      {"FALSEPREDICATE", pairloom, false},
      // NOT binds tighter than AND, which binds tighter than OR.
      {"category == 'Audio' AND category == 'x' OR process == 'Pairloom'", pairloom, true},
      {"category == 'Audio' && (category == 'x' || process == 'y')", pairloom, false},
      {"NOT category == 'Audio'", pairloom, false},
      {"! category == 'x' and not not process contains 'loom'", pairloom, true},
      {"((((subsystem contains 'Orv'))))", pairloom, true},
  };
  for (const auto& [predicate, e, matches] : cases) {
    EXPECT_EQ(parsed(predicate).matches(e), matches) << predicate;
  }
  EXPECT_EQ(parsed("process contains[c] 'A' or not (category == 'x' and subsystem endswith \"y\")")
                .description(),
            "(process CONTAINS[c] \"a\" OR NOT (category == \"x\" AND subsystem ENDSWITH \"y\"))");
}

TEST(LogPredicateTest, TextThatIsNotAPredicateIsRefusedWithItsPosition) {
  const std::pair<std::string, std::string> cases[] = {
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
      {"(process contains 'a'", "expected ')' but found end of predicate at character 22"},
      {"process contains 'a')", "unexpected ')' at character 21"},
      {"process contains 'a' process", "unexpected 'process' at character 22"},
      {"process # 'a'", "unexpected character '#' at character 9"},
      {"process contains[c 'a'", "unterminated modifier at character 17"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(parseError(text).value_or(Predicate::ParseError{}).message, message) << text;
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

TEST(LogStreamTest, JournalEntriesFromAFixturePassThroughTheCaptureFilter) {
  std::ifstream in(testing::fixtureData("journal.jsonl"));
  const auto [entries, error] = readJournalJsonLines(in);
  EXPECT_FALSE(error) << *error;
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

  std::size_t printed = 0;
  LogStream levelled(parsed("TRUEPREDICATE"), *priorityThreshold("default"),
                     [&printed](std::string_view) { ++printed; });
  for (const auto& e : entries) {
    levelled.add(e);
  }
  EXPECT_EQ(printed, 2u) << "the debug and info entries are left out";
  EXPECT_FALSE(priorityThreshold("verbose"));
}

TEST(LogStreamTest, ATimeTheClockCannotHoldReadsAsUnknown) {
  std::istringstream in(R"({"__REALTIME_TIMESTAMP":"17145585230456000","MESSAGE":"far"})"
                        "\n"
                        R"({"__REALTIME_TIMESTAMP":"-9223372036854775808","MESSAGE":"past"})");
  const auto read = readJournalJsonLines(in);
  ASSERT_EQ(read.entries.size(), 2u);
  for (const auto& e : read.entries) {
    EXPECT_EQ(e.time.time_since_epoch().count(), 0) << e.message;
    EXPECT_TRUE(formatCompact(e).starts_with("1970-01-01 00:00:00.000 ")) << formatCompact(e);
  }
  std::istringstream notAnObject("{\"MESSAGE\":\"ok\"}\n[1,2]\n");
  EXPECT_EQ(readJournalJsonLines(notAnObject).error, "line 2 is not a JSON object");
}

}  // namespace
}  // namespace tessaline::tools::log
