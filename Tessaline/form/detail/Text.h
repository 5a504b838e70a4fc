#pragma once

#include <cstddef>
#include <string_view>

namespace tessaline::detail {

// The number of user-perceived characters (extended grapheme clusters); each byte of an invalid
// UTF-8 sequence counts as one character.
std::size_t graphemeCount(std::string_view text);

}  // namespace tessaline::detail
