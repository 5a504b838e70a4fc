#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

// A version of three numbers; in JSON a single string such as "1.2.3".
struct TESSALINE_EXPORT AppVersion {
  std::int64_t major = 0;
  std::int64_t minor = 0;
  std::int64_t patch = 0;

  // "1.x.3" gives 1.0.3, "3" gives 3.0.0, "7.2.1.9" gives 7.2.1; nothing when the first
  // component is not an integer.
  static std::optional<AppVersion> parse(std::string_view text);
  std::string description() const;  // "%d.%d.%d"
  // In JSON: the text "major.minor.patch", read by parse().
  static Result<AppVersion> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const AppVersion&, const AppVersion&) = default;
  friend auto operator<=>(const AppVersion&, const AppVersion&) = default;
};

// An integer text: an optional single "+" or "-", then ASCII digits only, fitting 64 bits.
TESSALINE_EXPORT std::optional<std::int64_t> parseIntegerText(std::string_view text);

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::AppVersion> {
  std::size_t operator()(const tessaline::AppVersion& value) const noexcept;
};
