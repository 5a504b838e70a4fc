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
  return {id, "Reason " + std::to_string(id), systemProfile, appLogs, crashLogs, requiresFrequency};
}

// A configuration that accepts every host: version 0.0.0, build 0.
inline Config acceptingConfig() {
  constexpr auto notRequired = Feedback::Requirement::notRequired;
  Config config;
  config.minMessageLength = 10;
  config.maxMessageLength = 100;
  config.maxAttachmentSize = 1024 * 1024;
  config.reasons = {makeReason(1, notRequired, notRequired, notRequired, true)};
  config.frequencies = {{1, "Always"}, {2, "Sometimes"}};
  return config;
}

}  // namespace testing
}  // namespace tessaline
