#pragma once

#include <Tessaline/Export.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

// A 128-bit random identifier, written as 36 upper-case hexadecimal characters with hyphens.
class TESSALINE_EXPORT Uuid {
 public:
  static Uuid random();
  // Accepts the 8-4-4-4-12 hyphenated form in either letter case.
  static std::optional<Uuid> parse(std::string_view text);

  std::string uuidString() const;  // upper case
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

// A point in time as seconds since 2001-01-01T00:00:00Z, kept exactly as it travels in JSON.
struct TESSALINE_EXPORT Date {
  double timeIntervalSinceReferenceDate = 0;

  static Date now();
  // Seconds between the Unix epoch and the reference date.
  static constexpr double kUnixToReference = 978307200.0;

  friend bool operator==(const Date&, const Date&) = default;
};

}  // namespace tessaline

template <>
struct std::hash<tessaline::Uuid> {
  std::size_t operator()(const tessaline::Uuid& uuid) const noexcept {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(uuid.bytes().data()), uuid.bytes().size()));
  }
};

template <>
struct std::hash<tessaline::Date> {
  std::size_t operator()(const tessaline::Date& date) const noexcept {
    return std::hash<double>{}(date.timeIntervalSinceReferenceDate);
  }
};
