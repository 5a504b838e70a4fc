#include "ServiceConfig.h"

#include "TextChecks.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace tessaline::server {

namespace {

Error invalid(const std::string& message) {
  return Error(Error::Kind::decoding, message);
}

Result<Release> decodeRelease(const std::string& train, const nlohmann::json& value) {
  const std::string where = "trains." + train;
  if (!value.is_object()) {
    return invalid(where + ": expected an object");
  }
  Release release;
  const auto latest = value.find("latestBuild");
  if (latest == value.end() || !latest->is_number_integer()) {
    return invalid(where + ".latestBuild: expected an integer");
  }
  if (latest->is_number_unsigned() && latest->get<std::uint64_t>() > INT64_MAX) {
    return invalid(where + ".latestBuild: out of range");
  }
  release.latestBuild = latest->get<std::int64_t>();
  if (const auto beta = value.find("beta"); beta != value.end() && !beta->is_null()) {
    if (!beta->is_boolean()) {
      return invalid(where + ".beta: expected a boolean");
    }
    release.beta = beta->get<bool>();
  }
  if (const auto message = value.find("message"); message != value.end() && !message->is_null()) {
    if (!message->is_string()) {
      return invalid(where + ".message: expected a string");
    }
    release.message = message->get<std::string>();
  }
  return release;
}

}  // namespace

Result<ServiceConfig> ServiceConfig::fromJson(std::string_view json) {
  // The form goes to the library's decoder as text, and writing a value out recurses once per
  // level: a document nested deeper than any configuration is refused before that.
  constexpr int kMaxDepth = 64;
  if (json.find('\0') != std::string_view::npos) {
    return invalid("not a valid JSON document: it holds a NUL byte");  // the parser stops there
  }
  bool tooDeep = false;
  const nlohmann::json document = nlohmann::json::parse(
      json,
      [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        tooDeep = tooDeep || depth > kMaxDepth;
        return !tooDeep;
      },
      false);
  if (tooDeep) {
    return invalid("nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  if (document.is_discarded()) {
    return invalid("not a valid JSON document");
  }
  if (!document.is_object()) {
    return invalid("expected a JSON object with \"form\" and \"trains\"");
  }
  const auto form = document.find("form");
  if (form == document.end()) {
    return invalid("form: missing");
  }
  ServiceConfig config;
  Result<Config> decoded = Config::fromJson(form->dump());
  if (!decoded) {
    return invalid("form: " + decoded.error().description());
  }
  config.form = std::move(decoded).value();
  Result<std::string> encoded = config.form.toJson();
  if (!encoded) {
    return invalid("form: " + encoded.error().description());
  }
  config.formJson = std::move(encoded).value();

  const auto trains = document.find("trains");
  if (trains == document.end() || !trains->is_object()) {
    return invalid("trains: expected an object of release trains");
  }
  for (const auto& [name, value] : trains->items()) {
    if (name.empty() || hasControlCharacters(name)) {
      return invalid("trains: a train name is empty or holds control characters");
    }
    Result<Release> release = decodeRelease(name, value);
    if (!release) {
      return release.error();
    }
    config.trains.emplace(name, std::move(release).value());
  }
  return config;
}

Result<ServiceConfig> ServiceConfig::load(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return Error(Error::Kind::fileSystem, "cannot read " + path.string());
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return Error(Error::Kind::fileSystem, "cannot read " + path.string());
  }
  return fromJson(text.str());
}

}  // namespace tessaline::server
