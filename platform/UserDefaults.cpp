#include <platform/UserDefaults.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace tessaline::platform {

namespace {

std::string defaultsFilePath() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
    return std::string(config) + "/tessaline/defaults.json";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.config/tessaline/defaults.json";
  }
  return {};
}

}  // namespace

UserDefaults::UserDefaults() {
  const auto path = defaultsFilePath();
  if (path.empty()) {
    return;
  }
  std::ifstream in(path);
  if (!in) {
    return;
  }
  // A damaged file is ignored rather than failing the host; a NUL byte (where the parser would
  // stop reading) makes it damaged.
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (text.find('\0') != std::string::npos) {
    return;
  }
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) {
    return;
  }
  for (const auto& [key, value] : document.items()) {
    if (value.is_boolean()) {
      fileValues_[key] = value.get<bool>();
    }
  }
}

UserDefaults& UserDefaults::standard() {
  static auto* instance = new UserDefaults();
  return *instance;
}

std::optional<bool> UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  if (auto found = values_.find(key); found != values_.end()) {
    return found->second;
  }
  if (auto found = fileValues_.find(key); found != fileValues_.end()) {
    return found->second;
  }
  return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  return objectForKey(key).value_or(false);
}

void UserDefaults::setBool(const std::string& key, bool value) {
  std::lock_guard lock(mutex_);
  values_[key] = value;
}

void UserDefaults::removeObject(const std::string& key) {
  std::lock_guard lock(mutex_);
  values_.erase(key);
}

}  // namespace tessaline::platform
