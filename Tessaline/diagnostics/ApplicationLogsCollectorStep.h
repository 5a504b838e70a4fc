#pragma once

#include <Tessaline/Export.h>
#include <Tessaline/Url.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Feedback.h>

#include <memory>
#include <string>
#include <vector>

namespace tessaline {

namespace platform {
class SerialQueue;
}
namespace detail {
class StepState;
}

// Packs the host's registered log files into a zip archive and delivers its bytes. The files are
// copied into a staging folder "PairloomLogs-<T>" in the temporary directory, which is zipped into
// "PairloomLogArchive-<T>.zip" there (T: whole seconds since 2001-01-01 UTC) and then removed; the
// archive stays. Two runs in one second get "-2", "-3", ... after T. Only regular files and
// folders are copied. The completion is called on the step's own queue, not the main queue.
// Instances are owned by std::shared_ptr; releasing one cancels its copy and zip and never waits.
class TESSALINE_EXPORT ApplicationLogsCollectorStep final
    : public DiagnosisStep,
      public std::enable_shared_from_this<ApplicationLogsCollectorStep> {
 public:
  ApplicationLogsCollectorStep();
  ~ApplicationLogsCollectorStep() override;
  ApplicationLogsCollectorStep(const ApplicationLogsCollectorStep&) = delete;
  ApplicationLogsCollectorStep& operator=(const ApplicationLogsCollectorStep&) = delete;

  // order 50, title "App Logs", no explainer.
  static StepClassMembers& classMembers();
  // True when the reason requires the application logs.
  static bool shouldRun(const Feedback& feedback);
  static StepKind kind() { return stepKind<ApplicationLogsCollectorStep>(); }

  // Adds log files (or folders) to the process-wide set that every run archives; a URL already
  // registered is kept once. Safe from any thread.
  static void registerLogFileURLs(const std::vector<Url>& urls);
  // The registered URLs, in the order they were first registered.
  static std::vector<Url> registeredLogFileURLs();

  bool isRunning() const override;
  // "txt", although the payload is a zip archive: the service expects it so.
  std::string preferredFileExtension() const override { return "txt"; }
  std::shared_ptr<Progress> run(const Feedback& feedback, Completion completion) override;

 private:
  static void onQueueCollectLogs(const std::shared_ptr<detail::StepState>& state);
  static void copyIntoStaging(const std::string& source, const std::string& destination,
                              const detail::StepState& state);

  std::shared_ptr<detail::StepState> state_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace tessaline
