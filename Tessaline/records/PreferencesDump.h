#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaline {

// The host's preference stores as opaque byte buffers; in JSON each buffer is Base64 text.
struct TESSALINE_EXPORT PreferencesDump {
  PreferencesDump(bool isUsingCloud, Bytes syncedDefaults, Bytes appGroupDefaults,
                  Bytes helperDefaults, std::optional<Bytes> batteryAlerts = std::nullopt)
      : isUsingCloud(isUsingCloud),
        syncedDefaults(std::move(syncedDefaults)),
        appGroupDefaults(std::move(appGroupDefaults)),
        helperDefaults(std::move(helperDefaults)),
        batteryAlerts(std::move(batteryAlerts)) {}

  bool isUsingCloud;
  Bytes syncedDefaults;
  Bytes appGroupDefaults;
  Bytes helperDefaults;
  std::optional<Bytes> batteryAlerts;

  static Result<PreferencesDump> fromJson(std::string_view json);
  Result<std::string> toJson() const;
};

}  // namespace tessaline
