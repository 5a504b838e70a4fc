#pragma once

#include <Tessaline/Export.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace tessaline::platform {

// One value of the host's Info dictionary.
using InfoValue = std::variant<std::string, std::int64_t, bool>;

// The host application's Info dictionary (keys such as "CFBundleShortVersionString" and
// "CFBundleVersion"), set by the host at start-up. Unset keys read as absent.
class TESSALINE_EXPORT MainBundle {
 public:
  static void setInfoDictionary(std::map<std::string, InfoValue> dictionary);
  static std::map<std::string, InfoValue> infoDictionary();
  static std::optional<InfoValue> object(const std::string& key);
};

}  // namespace tessaline::platform
