#include <platform/SystemInfo.h>

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace tessaline::platform {

namespace {

std::optional<std::string> readFirstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  std::string line;
  std::getline(in, line);
  return line;
}

std::string osReleasePrettyName() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      constexpr std::string_view key = "PRETTY_NAME=";
      if (line.rfind(key, 0) != 0) {
        continue;
      }
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return "Linux";
}

}  // namespace

std::string removingControlCharacters(std::string text) {
  std::erase_if(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
  return text;
}

std::optional<std::string> SystemInfo::kernelOSVersion() {
  utsname name{};
  if (uname(&name) != 0) {
    return std::nullopt;
  }
  return std::string(name.release);
}

std::string SystemInfo::hardwareModel() {
  auto value = readFirstLine("/sys/devices/virtual/dmi/id/product_name");
  if (!value) {
    return "Unknown";
  }
  std::string model = removingControlCharacters(*value);
  while (!model.empty() && model.back() == ' ') {
    model.pop_back();
  }
  return model.empty() ? "Unknown" : model;
}

std::string SystemInfo::operatingSystemVersionString() {
  std::string text = osReleasePrettyName();
  if (auto kernel = kernelOSVersion()) {
    text += " " + *kernel;
  }
  return removingControlCharacters(text);
}

int SystemInfo::thermalState() {
  // The hottest zone against its own trip points: below the first passive trip nominal, at a
  // passive trip fair, at a hot trip serious, at a critical trip critical.
  namespace fs = std::filesystem;
  std::error_code ec;
  int state = -1;
  for (const auto& entry : fs::directory_iterator("/sys/class/thermal", ec)) {
    const auto name = entry.path().filename().string();
    if (name.rfind("thermal_zone", 0) != 0) {
      continue;
    }
    const auto temp = readFirstLine(entry.path() / "temp");
    if (!temp) {
      continue;
    }
    long long current = 0;
    try {
      current = std::stoll(*temp);
    } catch (...) {
      continue;
    }
    int zoneState = 0;
    for (int i = 0; i < 32; ++i) {
      const auto type = readFirstLine(entry.path() / ("trip_point_" + std::to_string(i) + "_type"));
      const auto tripTemp =
          readFirstLine(entry.path() / ("trip_point_" + std::to_string(i) + "_temp"));
      if (!type || !tripTemp) {
        break;
      }
      long long trip = 0;
      try {
        trip = std::stoll(*tripTemp);
      } catch (...) {
        continue;
      }
      if (trip <= 0 || current < trip) {
        continue;
      }
      if (*type == "critical") {
        zoneState = std::max(zoneState, 3);
      } else if (*type == "hot") {
        zoneState = std::max(zoneState, 2);
      } else if (*type == "passive" || *type == "active") {
        zoneState = std::max(zoneState, 1);
      }
    }
    state = std::max(state, zoneState);
  }
  return state;
}

double SystemInfo::systemUptime() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) {
    return 0;
  }
  return static_cast<double>(info.uptime);
}

std::int64_t SystemInfo::processorCount() {
  const long count = sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? count : 1;
}

std::uint64_t SystemInfo::physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

}  // namespace tessaline::platform
