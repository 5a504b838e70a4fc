#include "TextChecks.h"

#include <utf8proc.h>

#include <charconv>
#include <cstdio>

namespace tessaline::server {

namespace {

// Calls visit(codepoint, bytes) for every character; false when the text is not valid UTF-8.
template <class Visit>
bool forEachCodepoint(std::string_view text, Visit&& visit) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t offset = 0;
  const auto length = static_cast<utf8proc_ssize_t>(text.size());
  while (offset < length) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes + offset, length - offset, &codepoint);
    if (used <= 0 || codepoint < 0) {
      return false;
    }
    visit(codepoint, text.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(used)));
    offset += used;
  }
  return true;
}

bool isControl(utf8proc_int32_t codepoint) {
  return codepoint < 0x20 || codepoint == 0x7f || (codepoint >= 0x80 && codepoint <= 0x9f);
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  return forEachCodepoint(text, [](utf8proc_int32_t, std::string_view) {});
}

bool hasControlCharacters(std::string_view text) {
  bool found = false;
  const bool valid = forEachCodepoint(text, [&](utf8proc_int32_t codepoint, std::string_view) {
    found = found || isControl(codepoint);
  });
  return found || !valid;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return std::nullopt;
  }
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  // Parse with the sign so that the most negative value fits.
  const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
  std::int64_t value = 0;
  const auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) {
    return std::nullopt;
  }
  return value;
}

std::string safeFileName(std::string_view name, std::size_t maxBytes) {
  std::string result;
  forEachCodepoint(name, [&](utf8proc_int32_t codepoint, std::string_view character) {
    if (result.empty() && (codepoint == '.' || codepoint == ' ')) {
      return;
    }
    if (result.size() + character.size() > maxBytes) {
      return;
    }
    if (isControl(codepoint) || codepoint == '/' || codepoint == '\\') {
      result += '_';
    } else {
      result += character;
    }
  });
  return result.empty() ? "attachment" : result;
}

std::string printable(std::string_view text, bool keepLineBreaks) {
  std::string result;
  result.reserve(text.size());
  const bool valid =
      forEachCodepoint(text, [&](utf8proc_int32_t codepoint, std::string_view character) {
        if (keepLineBreaks && (codepoint == '\n' || codepoint == '\t')) {
          result += character;
        } else if (isControl(codepoint)) {
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, codepoint < 0x80 ? "\\x%02X" : "\\u{%04X}",
                        static_cast<unsigned>(codepoint));
          result += escaped;
        } else {
          result += character;
        }
      });
  return valid ? result : std::string("<invalid UTF-8>");
}

std::size_t environmentSummaryStart(std::string_view message) {
  // The summary comes last, after a blank line; text the user typed may imitate it earlier.
  constexpr std::string_view kFirstLabel = "Operating System: ";
  const std::size_t found = message.rfind(std::string("\n\n").append(kFirstLabel));
  if (found != std::string_view::npos) {
    return found + 2;
  }
  return message.starts_with(kFirstLabel) ? 0 : std::string_view::npos;
}

EnvironmentFacts environmentFacts(std::string_view firstMessage) {
  EnvironmentFacts facts;
  const std::size_t start = environmentSummaryStart(firstMessage);
  if (start == std::string_view::npos) {
    return facts;
  }
  std::string_view rest = firstMessage.substr(start);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.starts_with("Operating System: ") && !facts.operatingSystem) {
      facts.operatingSystem = std::string(line.substr(18));
    } else if (line.starts_with("Application Version: ") && !facts.appVersion) {
      // "2.4.1 (310)": the version, then the build in parentheses.
      std::string_view value = line.substr(21);
      const std::size_t open = value.rfind(" (");
      if (open != std::string_view::npos && value.ends_with(')')) {
        facts.appBuild = parseInteger(value.substr(open + 2, value.size() - open - 3));
        if (facts.appBuild) {
          value = value.substr(0, open);
        }
      }
      facts.appVersion = std::string(value);
    }
  }
  return facts;
}

}  // namespace tessaline::server
