#include <Tessaline/diagnostics/SystemProfileStep.h>

#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaline {

namespace {

const char* const kProfilerPath = "/usr/sbin/system_profiler";

std::vector<std::string> profilerArguments() {
  return {"SPUniversalAccessDataType",
          "SPAudioDataType",
          "SPBluetoothDataType",
          "SPEthernetDataType",
          "SPDisplaysDataType",
          "SPHardwareDataType",
          "SPInternationalDataType",
          "SPPowerDataType",
          "SPAirPortDataType",
          "SPSoftwareDataType",
          "-timeout",
          "60",
          "-json"};
}

std::atomic<std::int64_t> timeLimitMs{75 * 1000};

}  // namespace

namespace detail {

std::chrono::milliseconds profilerTimeLimit() {
  return std::chrono::milliseconds(timeLimitMs.load());
}

void setProfilerTimeLimit(std::chrono::milliseconds limit) {
  timeLimitMs = limit.count();
}

}  // namespace detail

SystemProfileStep::SystemProfileStep()
    : state_(std::make_shared<detail::StepState>("SystemProfileStep")),
      queue_(std::make_unique<platform::SerialQueue>("SystemProfiler",
                                                     platform::QualityOfService::userInitiated)) {}

SystemProfileStep::~SystemProfileStep() {
  // Never waits for the job: it ends early (its tool terminated, its loops stopped) by itself.
  state_->cancel();
  queue_->abandon();
  queue_.reset();
}

StepClassMembers& SystemProfileStep::classMembers() {
  static StepClassMembers members(100, "System Profile",
                                  "This step can take up to a minute, please be patient.");
  return members;
}

bool SystemProfileStep::shouldRun(const Feedback& feedback) {
  return feedback.reason.systemProfile == Feedback::Requirement::required;
}

bool SystemProfileStep::isRunning() const {
  return state_->isRunning.load();
}

std::shared_ptr<Progress> SystemProfileStep::run(const Feedback&, Completion completion) {
  state_->isRunning = true;
  state_->setCompletion(std::move(completion));
  std::weak_ptr<const DiagnosisStep> step = weak_from_this();
  queue_->async([step, state = state_] {
    if (!step.expired()) {
      onQueueRunSystemProfiler(step, state);
    }
  });
  return nullptr;
}

void SystemProfileStep::onQueueRunSystemProfiler(const std::weak_ptr<const DiagnosisStep>& step,
                                                 const std::shared_ptr<detail::StepState>& state) {
  state->log.debug("%{public}@", "onQueueRunSystemProfiler()");
  auto process = std::make_shared<platform::Process>(kProfilerPath, profilerArguments());
  // "-timeout 60" is a request the tool may ignore; past it (and a grace) the step ends it.
  const auto limit = detail::profilerTimeLimit();
  process->setTimeLimit(limit);
  if (auto launched = state->launch(process); !launched) {
    state->isRunning = false;
    state->log.error("Could not launch the system profiler: %{public}@",
                     launched.error().description());
    detail::completeOnMainQueue(step, state, launched.error());
    return;
  }
  // Reads standard output while the profiler runs; its exit status does not matter.
  const auto ended = process->waitUntilExit();
  state->isRunning = false;
  state->log.debug("System profiler done");
  if (ended.exceededTimeLimit) {
    const Error error(Error::Kind::process,
                      "The system profiler did not finish within " +
                          std::to_string(std::chrono::ceil<std::chrono::seconds>(limit).count()) +
                          " seconds and was terminated");
    state->log.error("%{public}@", error.description());
    detail::completeOnMainQueue(step, state, error);
    return;
  }
  detail::completeOnMainQueue(step, state, process->output());
}

}  // namespace tessaline
