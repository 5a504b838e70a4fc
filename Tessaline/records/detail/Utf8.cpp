#include <Tessaline/records/detail/Utf8.h>

namespace tessaline::detail {

std::string replacingInvalidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
      high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    std::size_t valid = length == 0 ? 0 : 1;
    while (valid > 0 && valid < length && i + valid < text.size()) {
      const auto byte = static_cast<unsigned char>(text[i + valid]);
      const unsigned char min = valid == 1 ? low : 0x80;
      const unsigned char max = valid == 1 ? high : 0xBF;
      if (byte < min || byte > max) {
        break;
      }
      ++valid;
    }
    if (length > 0 && valid == length) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      i += valid == 0 ? 1 : valid;  // a truncated sequence is replaced once
    }
  }
  return out;
}

}  // namespace tessaline::detail
