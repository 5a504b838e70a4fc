#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/records/Config.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline::server {

// What the service tells the hosts of one release train.
struct Release {
  std::int64_t latestBuild = 0;
  bool beta = false;
  std::optional<std::string> message;

  friend bool operator==(const Release&, const Release&) = default;
};

// The operator's file: the form configuration the clients download and the newest release of
// each train, for example
//   {"form": {...Config...}, "trains": {"stable": {"latestBuild": 320, "beta": false}}}
struct ServiceConfig {
  Config form;
  std::string formJson;  // the form as answered, encoded once by the library's own coder
  std::map<std::string, Release, std::less<>> trains;

  // Fails with the decoder's message when the document or the form does not decode.
  static Result<ServiceConfig> fromJson(std::string_view json);
  static Result<ServiceConfig> load(const std::filesystem::path& path);
};

}  // namespace tessaline::server
