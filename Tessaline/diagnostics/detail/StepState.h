#pragma once

// Internal: the part of a diagnostics step that its queued jobs use. The step owns it through a
// shared_ptr and so do its jobs, so a job never needs a strong reference to the step itself: the
// step can be released by the host at any time, and its destructor (through cancel()) ends a tool
// that is still running.

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace tessaline::platform {
class Process;
}

namespace tessaline::detail {

class StepState {
 public:
  explicit StepState(std::string category)
      : log(std::string(platform::kLogSubsystem), std::move(category)) {}

  const platform::Logger log;
  std::atomic<bool> isRunning{false};

  void setCompletion(DiagnosisStep::Completion completion);
  DiagnosisStep::Completion completion() const;

  // Stores the process as the step's current tool and launches it. A stop() or cancel() that
  // came earlier ends it right after the launch; after cancel() nothing is launched any more.
  Result<Unit> launch(const std::shared_ptr<platform::Process>& process);
  // Terminates the current tool; one that has not been launched yet ends right after its launch.
  void stop();
  // The step is going away: like stop(), and no later launch; its jobs stop early and their
  // results are dropped.
  void cancel();
  const std::atomic<bool>& cancelled() const { return cancelled_; }

  // Calls the stored completion, if any, on the calling thread; a throwing handler is contained.
  void complete(const Result<Bytes>& result) const;

 private:
  mutable std::mutex mutex_;
  DiagnosisStep::Completion completion_;
  std::shared_ptr<platform::Process> process_;
  bool stopRequested_ = false;
  std::atomic<bool> cancelled_{false};
};

// How long the system profiler may run before it is terminated: its own limit of 60 s plus a
// grace. Tests shorten it.
std::chrono::milliseconds profilerTimeLimit();
void setProfilerTimeLimit(std::chrono::milliseconds limit);

// Hands a result to the completion stored in `state`, on the main queue, if the step still exists
// then; the result of a cancelled step is dropped.
inline void completeOnMainQueue(std::weak_ptr<const DiagnosisStep> step,
                                std::shared_ptr<StepState> state, Result<Bytes> result) {
  if (state->cancelled()) {
    return;
  }
  platform::MainQueue::async(
      [step = std::move(step), state = std::move(state), result = std::move(result)] {
        if (auto alive = step.lock()) {
          state->complete(result);
        }
      });
}

}  // namespace tessaline::detail
