#pragma once

// Internal: the private temporary folder below a given parent, so tests can check its rules
// without touching the shared /tmp.

#include <Tessaline/Error.h>

#include <string>

namespace tessaline::platform::detail {

// `parent` + "/tessaline-<uid>/", made with mode 0700 when missing; refused when another user
// owns it or it is not a real folder. Ends in "/".
Result<std::string> privateTemporaryDirectory(const std::string& parent, unsigned uid);

}  // namespace tessaline::platform::detail
