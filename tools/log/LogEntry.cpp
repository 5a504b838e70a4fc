#include <tools/log/LogEntry.h>

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>

namespace tessaline::tools::log {

namespace {

std::int64_t number(const std::map<std::string, std::string, std::less<>>& fields,
                    std::string_view name, std::int64_t fallback) {
  const auto found = fields.find(name);
  if (found == fields.end()) {
    return fallback;
  }
  std::int64_t value = fallback;
  const auto& text = found->second;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : fallback;
}

std::string text(const std::map<std::string, std::string, std::less<>>& fields,
                 std::string_view name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

// The level column of the compact style.
const char* levelCode(int priority) {
  if (priority <= 2) {
    return "F ";
  }
  if (priority == 3) {
    return "E ";
  }
  if (priority <= 5) {
    return "Df";
  }
  return priority == 6 ? "I " : "Db";
}

}  // namespace

LogEntry entryFromFields(const std::map<std::string, std::string, std::less<>>& fields) {
  LogEntry entry;
  auto micros = number(fields, "__REALTIME_TIMESTAMP", 0);
  // The clock counts nanoseconds: a time it cannot hold (past the year 2262) reads as unknown,
  // like one that is not a number.
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 1000;
  if (micros > kLimit || micros < -kLimit) {
    micros = 0;
  }
  entry.time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::microseconds(micros)));
  entry.priority = static_cast<int>(number(fields, "PRIORITY", 6));
  entry.command = text(fields, "_COMM");
  entry.syslogIdentifier = text(fields, "SYSLOG_IDENTIFIER");
  entry.pid = number(fields, "_PID", 0);
  entry.tid = number(fields, "TID", number(fields, "_TID", 0));
  entry.subsystem = text(fields, "TESSALINE_SUBSYSTEM");
  entry.category = text(fields, "TESSALINE_CATEGORY");
  entry.message = text(fields, "MESSAGE");
  return entry;
}

FixtureEntries readJournalJsonLines(std::istream& input) {
  FixtureEntries result;
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(input, line)) {
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    const auto document = nlohmann::json::parse(line, nullptr, false);
    if (!document.is_object()) {
      result.error = "line " + std::to_string(lineNumber) + " is not a JSON object";
      return result;
    }
    std::map<std::string, std::string, std::less<>> fields;
    for (const auto& [name, value] : document.items()) {
      if (value.is_string()) {
        fields[name] = value.get<std::string>();
      } else if (value.is_number_integer()) {
        fields[name] = std::to_string(value.get<std::int64_t>());
      } else if (value.is_array()) {
        // journalctl writes binary field values as arrays of bytes.
        std::string bytes;
        for (const auto& byte : value) {
          if (byte.is_number_unsigned()) {
            bytes += static_cast<char>(byte.get<unsigned>() & 0xff);
          }
        }
        fields[name] = std::move(bytes);
      }
    }
    result.entries.push_back(entryFromFields(fields));
  }
  return result;
}

std::optional<int> priorityThreshold(std::string_view level) {
  if (level == "debug") {
    return 7;
  }
  if (level == "info") {
    return 6;
  }
  if (level == "default") {
    return 5;
  }
  return std::nullopt;
}

std::string compactHeader(std::string_view predicate) {
  return "Filtering the log data using \"" + std::string(predicate) +
         "\"\nTimestamp               Ty Process[PID:TID]\n";
}

std::string formatCompact(const LogEntry& entry) {
  using namespace std::chrono;
  const auto sinceEpoch = entry.time.time_since_epoch();
  auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
  auto millis = duration_cast<milliseconds>(sinceEpoch - seconds).count();
  if (millis < 0) {
    seconds -= std::chrono::seconds(1);
    millis += 1000;
  }
  const std::time_t clock = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&clock, &local);
  char stamp[64];
  const auto length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis));

  const std::string& process = !entry.syslogIdentifier.empty() ? entry.syslogIdentifier
                               : !entry.command.empty()        ? entry.command
                                                               : std::string("?");
  std::string line;
  line.reserve(64 + entry.message.size());
  line.append(stamp, length).append(fraction).append(" ").append(levelCode(entry.priority));
  line.append(" ").append(process).append("[").append(std::to_string(entry.pid));
  line.append(":").append(std::to_string(entry.tid)).append("] ");
  if (!entry.subsystem.empty() || !entry.category.empty()) {
    line.append("[").append(entry.subsystem).append(":").append(entry.category).append("] ");
  }
  std::string_view message = entry.message;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.remove_suffix(1);
  }
  for (char c : message) {
    if (c == '\n') {
      line += "\\n";
    } else if (c != '\r') {
      line += c;
    }
  }
  line += '\n';
  return line;
}

}  // namespace tessaline::tools::log
