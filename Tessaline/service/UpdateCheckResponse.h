#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

// The service's answer to an update check.
struct TESSALINE_EXPORT UpdateCheckResponse {
  bool beta = false;
  std::int64_t latestBuild = 0;  // the newest build on the host's release train
  bool updateAvailable = false;
  std::optional<std::string> message;  // for the user; absent or null in JSON gives none

  // The answer used when the service gives no usable one: no update.
  static UpdateCheckResponse fallback() { return {}; }

  static Result<UpdateCheckResponse> fromJson(std::string_view json);
  // Compact JSON in field order; "message" is left out when there is none.
  Result<std::string> toJson() const;

  friend bool operator==(const UpdateCheckResponse&, const UpdateCheckResponse&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::UpdateCheckResponse> {
  std::size_t operator()(const tessaline::UpdateCheckResponse& value) const noexcept;
};
