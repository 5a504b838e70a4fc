#include <Tessaline/form/detail/Text.h>

#include <utf8proc.h>

namespace tessaline::detail {

std::size_t graphemeCount(std::string_view text) {
  std::size_t count = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes, remaining, &codepoint);
    if (length <= 0) {
      ++count;
      previous = -1;
      state = 0;
      ++bytes;
      --remaining;
      continue;
    }
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) {
      ++count;
    }
    previous = codepoint;
    bytes += length;
    remaining -= length;
  }
  return count;
}

}  // namespace tessaline::detail
