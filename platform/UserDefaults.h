#pragma once

#include <Tessaline/Export.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tessaline::platform {

// The host's user defaults: values the host sets in the process, over those of the optional file
// $XDG_CONFIG_HOME/tessaline/defaults.json (default ~/.config), a JSON object of booleans.
class TESSALINE_EXPORT UserDefaults {
 public:
  static UserDefaults& standard();

  // Absent keys read as false.
  bool boolForKey(const std::string& key) const;
  std::optional<bool> objectForKey(const std::string& key) const;
  void setBool(const std::string& key, bool value);
  void removeObject(const std::string& key);

 private:
  UserDefaults();
  mutable std::mutex mutex_;
  std::map<std::string, bool> fileValues_;
  std::map<std::string, bool> values_;
};

}  // namespace tessaline::platform
