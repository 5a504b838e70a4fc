#pragma once

// Internal seam of the HTTP layer for tests, not part of the library's interface.

#include <chrono>
#include <optional>

namespace tessaline::platform::detail {

// Replaces the time-out of every request started afterwards (tests wait seconds, not a minute).
// Nothing restores requests' own time-outs but a call with nullopt.
void setRequestTimeoutOverride(std::optional<std::chrono::seconds> timeout);

}  // namespace tessaline::platform::detail
