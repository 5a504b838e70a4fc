#pragma once

#include <Tessaline/Export.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessaline::platform {

// Facts about this machine, read afresh on every call.
class TESSALINE_EXPORT SystemInfo {
 public:
  // The kernel's OS version value (the kernel release on Linux); nothing when it cannot be read.
  static std::optional<std::string> kernelOSVersion();
  // The hardware model identifier (the DMI product name on Linux), control characters removed;
  // "Unknown" when the system gives none.
  static std::string hardwareModel();
  // The human-readable operating-system version ("Debian GNU/Linux 12 (bookworm) 6.1.0-…").
  static std::string operatingSystemVersionString();
  // 0 nominal, 1 fair, 2 serious, 3 critical; -1 when unknown.
  static int thermalState();
  static double systemUptime();  // seconds
  static std::int64_t processorCount();
  static std::uint64_t physicalMemory();  // bytes
};

// Removes control characters (text bound for an HTTP header or a one-line label).
TESSALINE_EXPORT std::string removingControlCharacters(std::string text);

}  // namespace tessaline::platform
