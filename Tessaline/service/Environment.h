#pragma once

#include <Tessaline/Export.h>
#include <Tessaline/Url.h>

#include <cstddef>
#include <functional>

namespace tessaline {

// Where the feedback service lives. The only environment a host can obtain is current().
class TESSALINE_EXPORT Environment {
 public:
  // The production service, created on first use and kept for the whole process. Its base URL is
  // fixed when the library is built; the environment variable TESSALINE_SERVICE_URL, read once,
  // can point a process at another service (https, or http to this machine only; a value that
  // is not acceptable is ignored with an error in the log).
  static const Environment& current();

  // Every endpoint path is appended to it.
  const Url& baseURL() const { return baseURL_; }

  friend bool operator==(const Environment&, const Environment&) = default;

 private:
  explicit Environment(Url baseURL) : baseURL_(std::move(baseURL)) {}
  static Environment production();

  Url baseURL_;
};

}  // namespace tessaline

template <>
struct std::hash<tessaline::Environment> {
  std::size_t operator()(const tessaline::Environment& environment) const noexcept {
    return std::hash<tessaline::Url>{}(environment.baseURL());
  }
};
