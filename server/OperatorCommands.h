#pragma once

#include "Store.h"

#include <filesystem>
#include <ostream>
#include <string_view>

namespace tessaline::server {

// The operator's commands on a data folder. Each writes its result to out, problems to err, and
// returns the process exit code. Text the clients sent is printed with control characters
// escaped.

// One line per report, oldest first: id, time received, reason id, attachment count, subject,
// separated by tabs.
int listReports(Store& store, std::ostream& out, std::ostream& err);

// The report with its messages, contact fields and attachments (name, size, stored path).
int showReport(Store& store, std::string_view id, std::ostream& out, std::ostream& err);

// Writes outDir/report.json and outDir/attachments/<name> for every attachment. outDir must not
// exist yet or be empty; nothing there is overwritten.
int exportReport(Store& store, std::string_view id, const std::filesystem::path& outDir,
                 std::ostream& out, std::ostream& err);

// A time in milliseconds since the Unix epoch as ISO 8601 text in UTC, for example
// 2024-05-01T12:00:00.123Z.
std::string isoTime(std::int64_t unixMs);

}  // namespace tessaline::server
