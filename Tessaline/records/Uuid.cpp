#include <Tessaline/records/Uuid.h>

#include <uuid/uuid.h>

#include <chrono>
#include <cstring>

namespace tessaline {

Uuid Uuid::random() {
  uuid_t raw;
  uuid_generate_random(raw);
  Uuid uuid;
  std::memcpy(uuid.bytes_.data(), raw, uuid.bytes_.size());
  return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) {
    return std::nullopt;
  }
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  Uuid uuid;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') {
        return std::nullopt;
      }
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    uuid.bytes_[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return uuid;
}

std::string Uuid::uuidString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      text += '-';
    }
    text += kHex[bytes_[i] >> 4];
    text += kHex[bytes_[i] & 0x0F];
  }
  return text;
}

Date Date::now() {
  const std::chrono::duration<double> sinceUnixEpoch =
      std::chrono::system_clock::now().time_since_epoch();
  return Date{sinceUnixEpoch.count() - kUnixToReference};
}

}  // namespace tessaline
