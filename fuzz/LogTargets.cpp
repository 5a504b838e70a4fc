// tessaline-log: the predicate language of `log stream --predicate` and the journal fixture reader.

#include "FuzzTarget.h"

#include <tools/log/LogEntry.h>
#include <tools/log/Predicate.h>

#include <sstream>
#include <variant>

namespace tessaline::fuzz {

namespace {

using tools::log::LogEntry;
using tools::log::Predicate;

const std::vector<LogEntry>& fixedEntries() {
  static const std::vector<LogEntry> entries = [] {
    LogEntry host;
    host.command = "Pairloom";
    host.syslogIdentifier = "Pairloom";
    host.pid = 1234;
    host.tid = 1240;
    host.subsystem = "brisquet.Tessaline";
    host.category = "FeedbackFormViewModel";
    host.message = "Loading the form: \"config\" answered\nsecond line";
    LogEntry helper;
    helper.command = "pairloomhelper";
    helper.syslogIdentifier = "PairloomHelper";
    helper.subsystem = "brisquet.OrvCore";
    helper.category = "Audio";
    helper.message = "Device ready";
    return std::vector<LogEntry>{host, helper, LogEntry{}};
  }();
  return entries;
}

std::string matchesText(const Predicate& predicate) {
  std::string text;
  for (const LogEntry& entry : fixedEntries()) {
    text += predicate.matches(entry) ? '1' : '0';
  }
  return text;
}

bool nestedTooDeeply(const Predicate::ParseError& error) {
  return error.message.starts_with("predicate nested too deeply");
}

void logPredicate(std::string_view input) {
  auto parsed = Predicate::parse(input);
  if (const auto* error = std::get_if<Predicate::ParseError>(&parsed)) {
    require(!error->message.empty() && error->offset <= input.size(),
            "a refused predicate names what and where",
            "input: " + shown(input) + "\nmessage: " + shown(error->message) +
                "\noffset: " + std::to_string(error->offset));
    return;
  }
  const Predicate& predicate = std::get<Predicate>(parsed);
  const std::string matches = matchesText(predicate);

  // The normalised text parses to the same predicate.
  const std::string description = predicate.description();
  auto again = Predicate::parse(description);
  if (const auto* error = std::get_if<Predicate::ParseError>(&again)) {
    // The normal form brackets every AND and OR, so a long flat chain nests deeper than the
    // parser's limit; anything else is a fault.
    require(nestedTooDeeply(*error), "the description of a predicate parses",
            "input: " + shown(input) + "\ndescription: " + shown(description) +
                "\nerror: " + error->message);
  } else {
    const Predicate& reparsed = std::get<Predicate>(again);
    require(reparsed.description() == description, "the description is a normal form",
            "first: " + shown(description) + "\nagain: " + shown(reparsed.description()));
    require(matchesText(reparsed) == matches, "the description matches the same entries",
            "input: " + shown(input) + "\ndescription: " + shown(description));
  }

  // Negation and grouping.
  auto negated = Predicate::parse("NOT (" + std::string(input) + ")");
  if (const auto* error = std::get_if<Predicate::ParseError>(&negated)) {
    require(nestedTooDeeply(*error), "a predicate can be negated",
            "input: " + shown(input) + "\nerror: " + error->message);
    return;
  }
  std::string expected = matches;
  for (char& c : expected) {
    c = c == '1' ? '0' : '1';
  }
  require(matchesText(std::get<Predicate>(negated)) == expected,
          "NOT (p) matches exactly what p does not", "input: " + shown(input));
}

void journalLines(std::string_view input) {
  std::istringstream stream{std::string(input)};
  const auto fixture = tools::log::readJournalJsonLines(stream);
  if (fixture.error) {
    require(fixture.error->starts_with("line "), "a refused fixture names the line",
            *fixture.error);
  }
  for (const LogEntry& entry : fixture.entries) {
    const std::string line = tools::log::formatCompact(entry);
    require(line.ends_with('\n'), "an entry is printed as a line", shown(line));
    // Line breaks in the message are escaped; the other fields are printed as they are.
    const std::string fields =
        entry.command + entry.syslogIdentifier + entry.subsystem + entry.category;
    if (fields.find('\n') == std::string::npos) {
      require(line.find('\n') == line.size() - 1, "an entry is printed on exactly one line",
              shown(line));
    }
  }
}

}  // namespace

TESSALINE_FUZZ_TARGET("log-predicate", "tessaline-log --predicate: parse, evaluate, normal form",
                      logPredicate);
TESSALINE_FUZZ_TARGET("journal-lines", "tessaline-log's journal JSON-lines reader and printer",
                      journalLines);

}  // namespace tessaline::fuzz
