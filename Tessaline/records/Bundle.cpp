#include <Tessaline/records/Bundle.h>
#include <Tessaline/records/detail/Utf8.h>
#include <platform/MainBundle.h>
#include <platform/SystemInfo.h>

#include <variant>

namespace tessaline {

namespace {

std::optional<std::string> infoString(const std::string& key) {
  const auto value = platform::MainBundle::object(key);
  if (const auto* text = value ? std::get_if<std::string>(&*value) : nullptr) {
    return *text;
  }
  return std::nullopt;
}

}  // namespace

std::string appShortVersionString() {
  return infoString("CFBundleShortVersionString").value_or("Unknown");
}

std::int64_t appBuildNumber() {
  const auto text = infoString("CFBundleVersion");
  return text ? parseIntegerText(*text).value_or(-1) : -1;
}

Result<AppVersion> appVersion() {
  const std::string text = appShortVersionString();
  if (auto version = AppVersion::parse(text)) {
    return *version;
  }
  // A fault of the host; it fails the form instead of ending the host's process.
  return Error(Error::Kind::generic, "Invalid app version: " + text);
}

std::optional<std::string> operatingSystemBuildCode() {
  // Read once per process, also when several threads ask first at the same time; a failed read
  // stays cached as none.
  static const std::optional<std::string> code = []() -> std::optional<std::string> {
    auto value = platform::SystemInfo::kernelOSVersion();
    if (!value) {
      return std::nullopt;
    }
    return detail::replacingInvalidUtf8(*value);
  }();
  return code;
}

std::string hardwareModelIdentifier() {
  return detail::replacingInvalidUtf8(platform::SystemInfo::hardwareModel());
}

}  // namespace tessaline
