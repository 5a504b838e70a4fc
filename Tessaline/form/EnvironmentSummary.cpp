// The plain-text description of the machine and the host appended to every report.
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/form/detail/EnvironmentSummary.h>
#include <Tessaline/records/Bundle.h>
#include <platform/Formatters.h>
#include <platform/Screens.h>
#include <platform/SystemInfo.h>

#include <cstdio>
#include <mutex>

namespace tessaline {

namespace {

struct SharedSuffix {
  std::mutex mutex;
  std::string text = "?";
};

SharedSuffix& sharedSuffix() {
  static auto* instance = new SharedSuffix();
  return *instance;
}

std::string formatted(const char* format, double a) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a);
  return buffer;
}

}  // namespace

namespace detail {

std::string thermalStateText(int state) {
  switch (state) {
    case 0:
      return "Nominal";
    case 1:
      return "Fair";
    case 2:
      return "Serious";
    case 3:
      return "Critical";
    default:
      return "Unknown";
  }
}

std::string screensText(const std::vector<platform::Screen>& screens) {
  std::string text;
  for (const auto& screen : screens) {
    if (!text.empty()) {
      text += "; ";
    }
    std::string size = "Unknown Size";
    if (screen.size) {
      size = formatted("%.0f", screen.size->first) + "x" + formatted("%.0f", screen.size->second);
    }
    text += screen.localizedName + " " + size + " (" +
            formatted("%.0fx", screen.backingScaleFactor) + ")";
  }
  return text;
}

std::string applicationVersionText() {
  return appShortVersionString() + " (" + std::to_string(appBuildNumber()) + ")";
}

}  // namespace detail

std::string FeedbackFormViewModel::AwbazYLhws() {
  auto& suffix = sharedSuffix();
  std::lock_guard lock(suffix.mutex);
  return suffix.text;
}

void FeedbackFormViewModel::setAwbazYLhws(std::string text) {
  auto& suffix = sharedSuffix();
  std::lock_guard lock(suffix.mutex);
  suffix.text = std::move(text);
}

std::string FeedbackFormViewModel::basicEnvironmentInformation() const {
  using platform::SystemInfo;
  const auto uptime =
      platform::DateComponentsFormatter::briefDaysHoursMinutes(SystemInfo::systemUptime());
  std::string text;
  text += "Operating System: " + SystemInfo::operatingSystemVersionString();
  text += "\nApplication Version: " + detail::applicationVersionText();
  text += "\nHardware: " + hardwareModelIdentifier();
  text += "\nThermal State: " + detail::thermalStateText(SystemInfo::thermalState());
  text += "\nUptime: " + uptime.value_or("Unknown");
  text += "\nProcessor Count: " + std::to_string(SystemInfo::processorCount());
  text += "\nMemory: " + platform::ByteCountFormatter::string(
                             static_cast<std::int64_t>(SystemInfo::physicalMemory()));
  text += "\nScreens: " + detail::screensText(platform::ScreenSource::current()->screens());
  text += "\nLocale: " + platform::currentLocaleDescription();
  text += "\n\n" + AwbazYLhws();
  return text;
}

}  // namespace tessaline
