#pragma once

#include <Tessaline/Export.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessaline::platform {

// Byte counts for people. Decimal counts use units of 1000 (kB, MB, GB, ...); binary counts
// units of 1024 (KiB, MiB, GiB, ...).
class TESSALINE_EXPORT ByteCountFormatter {
 public:
  enum class CountStyle { decimal, binary };

  static std::string string(std::int64_t byteCount, CountStyle style = CountStyle::decimal);
};

// Durations for people in brief units, such as "3d 4hr 12min".
class TESSALINE_EXPORT DateComponentsFormatter {
 public:
  // Days, hours and minutes only; nothing for a negative or non-finite duration.
  static std::optional<std::string> briefDaysHoursMinutes(double seconds);
};

// The description of the user's current locale, such as "en_US (current)".
TESSALINE_EXPORT std::string currentLocaleDescription();

}  // namespace tessaline::platform
