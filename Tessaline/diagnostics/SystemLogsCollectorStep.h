#pragma once

#include <Tessaline/Export.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Feedback.h>

#include <cstddef>
#include <memory>
#include <string>

namespace tessaline {

namespace platform {
class SerialQueue;
}
namespace detail {
class StepState;
}

// Captures the system log of the host's processes and subsystems while the user reproduces a
// problem, until stop() is called. The whole capture reaches the payload (the newest 64 MiB of
// whole lines when it is larger, after a first line that says how much was dropped); a journal
// that cannot be read is said so in the payload's first lines and logged as an error. The
// completion is called once, on the main queue. A stop() that arrives before the
// log tool has been launched ends the capture right after the launch. Instances are owned by
// std::shared_ptr; releasing the step terminates the tool.
class TESSALINE_EXPORT SystemLogsCollectorStep final
    : public DiagnosisStep,
      public std::enable_shared_from_this<SystemLogsCollectorStep> {
 public:
  SystemLogsCollectorStep();
  ~SystemLogsCollectorStep() override;
  SystemLogsCollectorStep(const SystemLogsCollectorStep&) = delete;
  SystemLogsCollectorStep& operator=(const SystemLogsCollectorStep&) = delete;

  // order 50, title "System Logs", explainer "Click \"Done\" after reproducing the issue.".
  static StepClassMembers& classMembers();
  // True when the reason requires the application logs.
  static bool shouldRun(const Feedback& feedback);
  static StepKind kind() { return stepKind<SystemLogsCollectorStep>(); }

  // The most of the capture that is kept: its newest bytes.
  static constexpr std::size_t kCaptureLimit = 64 * 1024 * 1024;

  bool isRunning() const override;
  bool isStoppable() const override { return true; }
  // Ends the capture (terminates the log tool). Safe from any thread, at any time.
  void stop() override;
  std::shared_ptr<Progress> run(const Feedback& feedback, Completion completion) override;

 private:
  static void onQueueCollectLogs(const std::weak_ptr<const DiagnosisStep>& step,
                                 const std::shared_ptr<detail::StepState>& state);

  std::shared_ptr<detail::StepState> state_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace tessaline
