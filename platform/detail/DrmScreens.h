#pragma once

#include <platform/Screens.h>

#include <filesystem>
#include <vector>

namespace tessaline::platform::detail {

// The connected DRM connectors under a class folder such as /sys/class/drm, by folder name:
// "card0-eDP-1" gives the screen "eDP-1" with the size of its preferred mode (the first line of
// its "modes" file) in pixels and scale 1. A folder that cannot be read gives no screens.
std::vector<Screen> drmScreens(const std::filesystem::path& drmClassFolder);

}  // namespace tessaline::platform::detail
