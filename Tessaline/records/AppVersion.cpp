#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/RecordCoding.h>

#include <charconv>
#include <vector>

namespace tessaline {

std::optional<std::int64_t> parseIntegerText(std::string_view text) {
  // from_chars reads no "+" and no white space; a lone sign or an empty text has no digits.
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '+' || negative)) {
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return std::nullopt;
  }
  // The magnitude of INT64_MIN does not fit the positive range, so parse it as unsigned.
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMax + 1) {
      return std::nullopt;
    }
    return magnitude == kMax + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(magnitude);
}

std::optional<AppVersion> AppVersion::parse(std::string_view text) {
  std::vector<std::string_view> components;
  for (;;) {
    const auto dot = text.find('.');
    components.push_back(text.substr(0, dot));
    if (dot == std::string_view::npos) {
      break;
    }
    text.remove_prefix(dot + 1);
  }
  const auto major = parseIntegerText(components[0]);
  if (!major) {
    return std::nullopt;
  }
  AppVersion version{*major, 0, 0};
  if (components.size() > 1) {
    version.minor = parseIntegerText(components[1]).value_or(0);
  }
  if (components.size() > 2) {
    version.patch = parseIntegerText(components[2]).value_or(0);
  }
  return version;
}

std::string AppVersion::description() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

Result<AppVersion> AppVersion::fromJson(std::string_view json) {
  return detail::decodeJson<AppVersion>(json);
}

Result<std::string> AppVersion::toJson() const {
  return detail::encodeJson(*this);
}

namespace detail {

AppVersion JsonCoding<AppVersion>::decode(const JsonReader& in) {
  if (auto version = AppVersion::parse(in.string())) {
    return *version;
  }
  // The text is the one callers and logs expect, without the key path.
  throw CodingFailure{Error(Error::Kind::decoding, "Invalid app version string")};
}

OrderedJson JsonCoding<AppVersion>::encode(const AppVersion& value) {
  return value.description();
}

}  // namespace detail

}  // namespace tessaline

std::size_t std::hash<tessaline::AppVersion>::operator()(
    const tessaline::AppVersion& value) const noexcept {
  return tessaline::detail::hashValues(value.major, value.minor, value.patch);
}
