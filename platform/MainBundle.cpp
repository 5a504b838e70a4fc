#include <platform/MainBundle.h>

#include <mutex>

namespace tessaline::platform {

namespace {

struct Bundle {
  std::mutex mutex;
  std::map<std::string, InfoValue> dictionary;
};

Bundle& bundle() {
  static auto* instance = new Bundle();
  return *instance;
}

}  // namespace

void MainBundle::setInfoDictionary(std::map<std::string, InfoValue> dictionary) {
  auto& b = bundle();
  std::lock_guard lock(b.mutex);
  b.dictionary = std::move(dictionary);
}

std::map<std::string, InfoValue> MainBundle::infoDictionary() {
  auto& b = bundle();
  std::lock_guard lock(b.mutex);
  return b.dictionary;
}

std::optional<InfoValue> MainBundle::object(const std::string& key) {
  auto& b = bundle();
  std::lock_guard lock(b.mutex);
  const auto found = b.dictionary.find(key);
  if (found == b.dictionary.end()) {
    return std::nullopt;
  }
  return found->second;
}

}  // namespace tessaline::platform
