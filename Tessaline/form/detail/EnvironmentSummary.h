#pragma once

#include <platform/Screens.h>

#include <string>
#include <vector>

namespace tessaline::detail {

// "Nominal", "Fair", "Serious", "Critical" for 0 to 3; "Unknown" otherwise.
std::string thermalStateText(int state);
// Each screen as name, size and scale ("DP-1 2560x1440 (1x)"), joined by "; ".
std::string screensText(const std::vector<platform::Screen>& screens);
// Short version and build number, as in "2.4.1 (310)".
std::string applicationVersionText();

}  // namespace tessaline::detail
