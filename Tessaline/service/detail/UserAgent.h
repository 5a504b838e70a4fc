#pragma once

// The User-Agent rule apart from the process-wide value, so that it can be tested.

#include <string>

namespace tessaline::detail {

// Builds the User-Agent text afresh from the bundle, the system and the user defaults.
std::string buildUserAgent();

}  // namespace tessaline::detail
