#pragma once

// How the service's base URL is chosen, apart from the process-wide value so that it can be
// tested.

#include <Tessaline/Error.h>
#include <Tessaline/Url.h>

#include <string_view>

namespace tessaline::detail {

// Accepts an absolute https URL with a host, or an http URL whose host is this machine
// (127.0.0.0/8, ::1, localhost); no query, fragment or user information. Otherwise an Error that
// says what is wrong.
Result<Url> parseServiceURL(std::string_view text);

}  // namespace tessaline::detail
