#pragma once

#include <Tessaline/Export.h>

#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

// Standard Base64 (RFC 4648 alphabet) with "=" padding.
TESSALINE_EXPORT std::string base64Encode(std::string_view bytes);

// Strict decoding: the length is a multiple of four, only the standard alphabet, padding only at
// the end and exactly as the encoder writes it (unused bits zero), no white space. Nothing
// otherwise.
TESSALINE_EXPORT std::optional<std::string> base64Decode(std::string_view text);

}  // namespace tessaline
