#include <Tessaline/diagnostics/detail/StepState.h>

#include <platform/Process.h>

#include <utility>

namespace tessaline::detail {

void StepState::setCompletion(DiagnosisStep::Completion completion) {
  DiagnosisStep::Completion previous;  // released outside the lock
  std::lock_guard lock(mutex_);
  previous = std::exchange(completion_, std::move(completion));
}

DiagnosisStep::Completion StepState::completion() const {
  std::lock_guard lock(mutex_);
  return completion_;
}

Result<Unit> StepState::launch(const std::shared_ptr<platform::Process>& process) {
  process->setRemembersTerminateBeforeLaunch(true);
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) {
      return Error(Error::Kind::process, "The step was cancelled before its tool was launched");
    }
    process_ = process;
    if (stopRequested_) {
      process->terminate();
    }
  }
  return process->launch();
}

void StepState::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  if (process_) {
    process_->terminate();
  }
}

void StepState::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  stopRequested_ = true;
  if (process_) {
    process_->terminate();
  }
}

void StepState::complete(const Result<Bytes>& result) const {
  if (auto handler = completion()) {
    try {
      handler(result);
    } catch (...) {
      // A host's handler must not unwind into a queue.
    }
  }
}

}  // namespace tessaline::detail
