#pragma once

namespace tessaline::detail {

// How many times this process has asked the system for the OS build code (tests check that the
// cached value is read only once).
int operatingSystemBuildCodeReadCount();

}  // namespace tessaline::detail
