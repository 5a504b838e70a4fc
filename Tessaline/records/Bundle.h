#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/AppVersion.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessaline {

// The host's "CFBundleShortVersionString" when it is a string; otherwise "Unknown".
TESSALINE_EXPORT std::string appShortVersionString();
// The host's "CFBundleVersion" as an integer text; -1 when absent, not a string or not an integer.
TESSALINE_EXPORT std::int64_t appBuildNumber();
// The host's version. A short version string that does not parse is a fault of the host, reported
// as the error "Invalid app version: " + the string.
TESSALINE_EXPORT Result<AppVersion> appVersion();

// The operating-system build code, read once per process; nothing when it cannot be read.
TESSALINE_EXPORT std::optional<std::string> operatingSystemBuildCode();
// The hardware model identifier, read afresh on every call.
TESSALINE_EXPORT std::string hardwareModelIdentifier();

}  // namespace tessaline
