#pragma once

#include <Tessaline/Export.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Feedback.h>

#include <memory>
#include <string>

namespace tessaline {

namespace platform {
class SerialQueue;
}
namespace detail {
class StepState;
}

// Runs the system profiler once, with JSON output, and delivers its standard output unchanged.
// The completion is called on the main queue; a profiler that cannot be launched, or that is
// still running 15 s after its own 60 s limit (and is then terminated), gives an error.
// Instances are owned by std::shared_ptr (the step kind makes them so); releasing the step while
// the profiler runs terminates it.
class TESSALINE_EXPORT SystemProfileStep final
    : public DiagnosisStep,
      public std::enable_shared_from_this<SystemProfileStep> {
 public:
  SystemProfileStep();
  ~SystemProfileStep() override;
  SystemProfileStep(const SystemProfileStep&) = delete;
  SystemProfileStep& operator=(const SystemProfileStep&) = delete;

  // order 100, title "System Profile", explainer "This step can take up to a minute, please be
  // patient.".
  static StepClassMembers& classMembers();
  // True when the reason requires a system profile.
  static bool shouldRun(const Feedback& feedback);
  static StepKind kind() { return stepKind<SystemProfileStep>(); }

  bool isRunning() const override;
  std::string preferredFileExtension() const override { return "json"; }
  std::shared_ptr<Progress> run(const Feedback& feedback, Completion completion) override;

 private:
  static void onQueueRunSystemProfiler(const std::weak_ptr<const DiagnosisStep>& step,
                                       const std::shared_ptr<detail::StepState>& state);

  std::shared_ptr<detail::StepState> state_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace tessaline
