#pragma once

// One system-log entry as the capture sees it, where it comes from (the journal, or a fixture of
// `journalctl -o json` lines), and how it is printed in the compact style.

#include <chrono>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::tools::log {

struct LogEntry {
  std::chrono::system_clock::time_point time;
  int priority = 6;              // syslog priority: 0 emergency ... 7 debug
  std::string command;           // _COMM
  std::string syslogIdentifier;  // SYSLOG_IDENTIFIER
  std::int64_t pid = 0;
  std::int64_t tid = 0;
  std::string subsystem;  // TESSALINE_SUBSYSTEM
  std::string category;   // TESSALINE_CATEGORY
  std::string message;    // MESSAGE
};

// Builds an entry from journal fields (names as journald writes them).
LogEntry entryFromFields(const std::map<std::string, std::string, std::less<>>& fields);

// Reads journal entries exported as JSON, one object per line (`journalctl -o json`); blank lines
// are skipped. An error text names the first line that is not such an object.
struct FixtureEntries {
  std::vector<LogEntry> entries;
  std::optional<std::string> error;
};
FixtureEntries readJournalJsonLines(std::istream& input);

// The lowest priority `--level` lets through: "debug" 7, "info" 6, "default" 5; nothing for
// another name.
std::optional<int> priorityThreshold(std::string_view level);

// The two lines the tool prints before any entry.
std::string compactHeader(std::string_view predicate);
// One entry in the compact style, ending in a line break:
//   2024-05-01 10:15:23.456 Df Pairloom[1234:1240] [brisquet.OrvCore:Audio] message
// Time in local time; line breaks inside the message are written as "\n".
std::string formatCompact(const LogEntry& entry);

}  // namespace tessaline::tools::log
