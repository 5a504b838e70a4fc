#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Feedback.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// One known issue, shown only where it applies.
struct TESSALINE_EXPORT KnownIssue {
  std::string id;
  std::vector<std::int64_t> affectedAppBuilds;  // empty: every build
  std::vector<std::string> affectedOSBuilds;    // empty: every OS build
  std::string message;

  static Result<KnownIssue> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const KnownIssue&, const KnownIssue&) = default;
};

// One blocked operating-system build.
struct TESSALINE_EXPORT OSBuild {
  std::string id;  // the OS build code it blocks
  std::string name;
  std::string message;

  static Result<OSBuild> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const OSBuild&, const OSBuild&) = default;
};

// The remote form configuration.
struct TESSALINE_EXPORT Config {
  AppVersion minVersion;
  std::int64_t minBuildNumber = 0;
  std::int64_t minBuildNumberBeta = 0;
  std::int64_t minMessageLength = 0;
  std::int64_t maxMessageLength = 0;
  std::int64_t maxAttachmentSize = 0;
  std::vector<Feedback::Reason> reasons;
  std::vector<Feedback::ReproductionFrequency> frequencies;
  std::vector<OSBuild> blockedOSBuilds;
  std::vector<KnownIssue> knownIssues;

  static Result<Config> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const Config&, const Config&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::KnownIssue> {
  std::size_t operator()(const tessaline::KnownIssue& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::OSBuild> {
  std::size_t operator()(const tessaline::OSBuild& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::Config> {
  std::size_t operator()(const tessaline::Config& value) const noexcept;
};
