#pragma once

#include "Store.h"

#include <string>
#include <vector>

namespace tessaline::server {

// Selected reports as a download: JSON (every field, messages, notes and attachment names) or
// CSV (one line per report) that a spreadsheet opens without running any cell as a formula.
std::string exportJson(const std::vector<StoredReport>& reports);
std::string exportCsv(const std::vector<StoredReport>& reports);
// One CSV field: quoted, and with a leading ' when a spreadsheet would take it for a formula.
std::string csvField(std::string_view text);

}  // namespace tessaline::server
