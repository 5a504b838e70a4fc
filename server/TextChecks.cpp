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

}  // namespace tessaline::server
