#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline::server {

// True when the text is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view text);

// True when the text holds a C0 or C1 control character or DEL. Expects valid UTF-8.
bool hasControlCharacters(std::string_view text);

// An optional sign and one or more ASCII digits that fit a signed 64-bit integer; anything else
// (blanks, an empty text, a lone sign) gives nothing.
std::optional<std::int64_t> parseInteger(std::string_view text);

// A name that is safe as one path component: separators and control characters become "_",
// leading dots and blanks are dropped, and the result is at most maxBytes long (cut at a character
// boundary). An empty result becomes "attachment". Expects valid UTF-8.
std::string safeFileName(std::string_view name, std::size_t maxBytes = 200);

// Text for a terminal: control characters other than line breaks and tabs are written as \xNN or
// \u{NNNN}, so stored text can never drive the operator's terminal. Expects valid UTF-8.
std::string printable(std::string_view text, bool keepLineBreaks);

// The environment summary the library appends to a report's first message: where it starts
// (npos when there is none) and the facts the report list filters on.
struct EnvironmentFacts {
  std::optional<std::string> operatingSystem;
  std::optional<std::string> appVersion;
  std::optional<std::int64_t> appBuild;
};
std::size_t environmentSummaryStart(std::string_view message);
EnvironmentFacts environmentFacts(std::string_view firstMessage);

}  // namespace tessaline::server
