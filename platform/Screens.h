#pragma once

#include <Tessaline/Export.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaline::platform {

struct Screen {
  std::string localizedName;
  // Width and height in points; none when the display does not say.
  std::optional<std::pair<double, double>> size;
  double backingScaleFactor = 1;
};

// Where the attached screens come from. The default asks XRandR when a display is reachable,
// else the DRM connectors under /sys/class/drm. Tests install their own.
class TESSALINE_EXPORT ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  virtual std::vector<Screen> screens() const = 0;

  static std::shared_ptr<const ScreenSource> current();
  // Installs a source; an empty pointer restores the default.
  static void install(std::shared_ptr<const ScreenSource> source);
};

}  // namespace tessaline::platform
