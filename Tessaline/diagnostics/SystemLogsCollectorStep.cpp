#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>

#include <Tessaline/diagnostics/Redactor.h>
#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessaline {

namespace {

const char* const kLogToolPath = "/usr/bin/log";

std::vector<std::string> logToolArguments() {
  return {"stream",
          "--color",
          "none",
          "--level",
          "debug",
          "--style",
          "compact",
          "--predicate",
          "process contains 'Pairloom' OR subsystem contains 'brisquet.OrvAudio' OR subsystem "
          "contains 'brisquet.OrvCore' OR subsystem contains 'brisquet.OrvUI' OR subsystem "
          "contains 'brisquet.Pairloom.WirelessInputService'"};
}

// The log tool's exit status when it could not read the system journal; its first lines say why.
constexpr int kJournalUnreadableStatus = 69;

// The capture with whole lines only: after the cap dropped its oldest bytes, the rest of the cut
// line goes too, and a first line says how much was dropped.
Bytes wholeLines(const Bytes& output, std::uint64_t dropped) {
  if (dropped == 0) {
    return output;
  }
  const auto text = output.view();
  const auto newline = text.find('\n');
  const auto kept = newline == std::string_view::npos ? text.size() : newline + 1;
  return Bytes("Tessaline: " + std::to_string(dropped + kept) +
               " bytes of earlier lines were dropped to keep the capture within " +
               std::to_string(SystemLogsCollectorStep::kCaptureLimit / (1024 * 1024)) + " MiB\n" +
               std::string(text.substr(kept)));
}

}  // namespace

SystemLogsCollectorStep::SystemLogsCollectorStep()
    : state_(std::make_shared<detail::StepState>("SystemLogsCollectorStep")),
      queue_(std::make_unique<platform::SerialQueue>("LogCollector",
                                                     platform::QualityOfService::userInitiated)) {}

SystemLogsCollectorStep::~SystemLogsCollectorStep() {
  // Never waits for the job: it ends early (its tool terminated, its loops stopped) by itself.
  state_->cancel();
  queue_->abandon();
  queue_.reset();
}

StepClassMembers& SystemLogsCollectorStep::classMembers() {
  static StepClassMembers members(50, "System Logs", "Click \"Done\" after reproducing the issue.");
  return members;
}

bool SystemLogsCollectorStep::shouldRun(const Feedback& feedback) {
  return feedback.reason.appLogs == Feedback::Requirement::required;
}

bool SystemLogsCollectorStep::isRunning() const {
  return state_->isRunning.load();
}

void SystemLogsCollectorStep::stop() {
  state_->stop();
}

std::shared_ptr<Progress> SystemLogsCollectorStep::run(const Feedback&, Completion completion) {
  state_->isRunning = true;
  state_->setCompletion(std::move(completion));
  std::weak_ptr<const DiagnosisStep> step = weak_from_this();
  queue_->async([step, state = state_] {
    if (!step.expired()) {
      onQueueCollectLogs(step, state);
    }
  });
  return nullptr;
}

void SystemLogsCollectorStep::onQueueCollectLogs(const std::weak_ptr<const DiagnosisStep>& step,
                                                 const std::shared_ptr<detail::StepState>& state) {
  state->log.debug("%{public}@", "onQueueCollectLogs()");
  auto process = std::make_shared<platform::Process>(kLogToolPath, logToolArguments());
  process->setOutputLimit(kCaptureLimit);
  if (auto launched = state->launch(process); !launched) {
    state->isRunning = false;
    state->log.error("Could not launch the log tool: %{public}@", launched.error().description());
    detail::completeOnMainQueue(step, state, launched.error());
    return;
  }
  // The tool streams until stop() terminates it; its output is drained meanwhile.
  const auto ended = process->waitUntilExit();
  state->isRunning = false;
  state->log.debug("Log collector done");
  if (ended.reason == platform::Process::Termination::Reason::exit &&
      ended.status == kJournalUnreadableStatus) {
    state->log.error("The system log capture could not read the system journal: %{public}@",
                     std::string(process->output().view().substr(0, 300)));
  }
  // Private details are rewritten before the capture leaves the step.
  detail::completeOnMainQueue(
      step, state,
      Bytes(Redactor::current()->apply(
          wholeLines(process->output(), process->droppedOutputBytes()).view())));
}

}  // namespace tessaline
