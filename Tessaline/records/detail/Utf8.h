#pragma once

#include <string>
#include <string_view>

namespace tessaline::detail {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD (one replacement per maximal
// ill-formed subpart). System values that end up in JSON or in headers must be valid text.
std::string replacingInvalidUtf8(std::string_view text);

}  // namespace tessaline::detail
