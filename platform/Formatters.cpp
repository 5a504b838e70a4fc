#include <platform/Formatters.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tessaline::platform {

namespace {

// Fixed-point text with at most `decimals` digits after the point and no trailing zeros. Written
// with to_chars, so the host's C locale never turns the point into a comma.
std::string trimmedDecimal(double value, int decimals) {
  std::array<char, 64> buffer{};
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                          std::chars_format::fixed, decimals);
  if (error != std::errc()) {
    return "0";
  }
  std::string text(buffer.data(), end);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') {
      text.pop_back();
    }
    if (text.back() == '.') {
      text.pop_back();
    }
  }
  return text;
}

double parsedDecimal(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

std::string ByteCountFormatter::string(std::int64_t byteCount, CountStyle style) {
  // The magnitude as unsigned, so that the most negative count has one too.
  const bool negative = byteCount < 0;
  const std::uint64_t magnitude = negative
                                      ? std::uint64_t{0} - static_cast<std::uint64_t>(byteCount)
                                      : static_cast<std::uint64_t>(byteCount);
  const std::string sign = negative ? "-" : "";

  const bool binary = style == CountStyle::binary;
  const double base = binary ? 1024.0 : 1000.0;
  if (static_cast<double>(magnitude) < base) {
    return sign + std::to_string(magnitude) + (magnitude == 1 ? " byte" : " bytes");
  }

  static constexpr std::array<std::string_view, 6> decimalUnits{"kB", "MB", "GB", "TB", "PB", "EB"};
  static constexpr std::array<std::string_view, 6> binaryUnits{"KiB", "MiB", "GiB",
                                                               "TiB", "PiB", "EiB"};
  const auto& units = binary ? binaryUnits : decimalUnits;

  // Kilobytes without decimals, megabytes with one, larger units with two.
  double value = static_cast<double>(magnitude) / base;
  std::size_t unit = 0;
  while (value >= base && unit + 1 < units.size()) {
    value /= base;
    ++unit;
  }
  auto text = trimmedDecimal(value, unit == 0 ? 0 : unit == 1 ? 1 : 2);
  // Rounding may reach the next unit: 999,999 bytes are "1 MB", not "1000 kB".
  if (parsedDecimal(text) >= base && unit + 1 < units.size()) {
    ++unit;
    text = trimmedDecimal(value / base, unit == 1 ? 1 : 2);
  }
  return sign + text + " " + std::string(units[unit]);
}

std::optional<std::string> DateComponentsFormatter::briefDaysHoursMinutes(double seconds) {
  // Beyond 2^63 seconds there is no whole number of minutes to show.
  if (!std::isfinite(seconds) || seconds < 0 || seconds >= 9.2e18) {
    return std::nullopt;
  }
  const auto totalMinutes = static_cast<std::int64_t>(seconds) / 60;
  const auto days = totalMinutes / (24 * 60);
  const auto hours = totalMinutes / 60 % 24;
  const auto minutes = totalMinutes % 60;

  std::string text;
  const auto append = [&text](std::int64_t count, const char* unit) {
    if (!text.empty()) {
      text += ' ';
    }
    text += std::to_string(count) + unit;
  };
  if (days > 0) {
    append(days, "d");
  }
  if (hours > 0) {
    append(hours, "hr");
  }
  if (minutes > 0 || text.empty()) {
    append(minutes, "min");
  }
  return text;
}

std::string currentLocaleDescription() {
  // The first of these that is set names the locale, as for the C library's messages.
  std::string_view value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* set = std::getenv(name);
    if (set != nullptr && *set != '\0') {
      value = set;
      break;
    }
  }
  // "de_DE.UTF-8@euro" is the identifier "de_DE".
  const auto identifier = value.substr(0, value.find_first_of(".@"));
  const bool plausible = !identifier.empty() && identifier.size() <= 64 &&
                         identifier.find_first_not_of(
                             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                             "0123456789_-") == std::string_view::npos;
  if (!plausible || identifier == "C" || identifier == "POSIX") {
    return "en_US_POSIX (current)";
  }
  return std::string(identifier) + " (current)";
}

}  // namespace tessaline::platform
