#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessaline::demo {

// Exit statuses of the demo.
inline constexpr int kExitSubmitted = 0;
inline constexpr int kExitFailed = 1;  // the form failed, or the update check could not be made
inline constexpr int kExitUsage = 2;   // bad flags, an unknown id, or a form that is not valid

// What the command line asked for.
struct DemoOptions {
  std::string appVersion = "2.4.1";
  std::int64_t appBuild = 310;
  std::vector<std::string> logFiles;
  std::optional<std::int64_t> reason;
  std::optional<std::int64_t> frequency;
  std::optional<std::string> subject;
  std::optional<std::string> message;
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::vector<std::string> attachments;
  bool diagnostics = true;
  double stopCaptureAfterSeconds = 3;
  bool checkUpdates = false;
  std::string train = "stable";
  // Keep a report the service cannot receive in the outbox; send what the outbox holds.
  bool outbox = false;
  bool flushOutbox = false;
  // Ask for each field on the terminal instead of taking them from the flags.
  bool interactive = false;
};

}  // namespace tessaline::demo
