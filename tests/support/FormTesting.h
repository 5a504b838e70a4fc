#pragma once

#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/records/Config.h>

namespace tessaline {

// Applies a configuration as a successful load would, without the network.
struct FormModelTestAccess {
  static void applyConfig(FeedbackFormViewModel& model, const Config& config) {
    model.applyConfig(config);
  }
};

namespace testing {

inline Feedback::Reason makeReason(std::int64_t id, Feedback::Requirement systemProfile,
                                   Feedback::Requirement appLogs, Feedback::Requirement crashLogs,
                                   std::optional<bool> requiresFrequency = std::nullopt) {
  Feedback::Reason reason;
  reason.id = id;
  reason.title = "Reason " + std::to_string(id);
  reason.systemProfile = systemProfile;
  reason.appLogs = appLogs;
  reason.crashLogs = crashLogs;
  reason.requiresFrequency = requiresFrequency;
  return reason;
}

// A configuration that accepts every host: version 0.0.0, build 0.
inline Config acceptingConfig() {
  Config config;
  config.minVersion = AppVersion{0, 0, 0};
  config.minBuildNumber = 0;
  config.minBuildNumberBeta = 0;
  config.minMessageLength = 10;
  config.maxMessageLength = 100;
  config.maxAttachmentSize = 1024 * 1024;
  config.reasons = {makeReason(1, Feedback::Requirement::notRequired,
                               Feedback::Requirement::notRequired,
                               Feedback::Requirement::notRequired, true)};
  config.frequencies = {{1, "Always"}, {2, "Sometimes"}};
  return config;
}

}  // namespace testing
}  // namespace tessaline
