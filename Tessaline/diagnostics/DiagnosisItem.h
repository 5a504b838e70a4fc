#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Export.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tessaline {

// One diagnostics step of one run: the step instance, where it is, and what the host shows with
// it. Items are identified by `id`, the title of the step kind when the item was made.
struct TESSALINE_EXPORT DiagnosisItem {
  // Where a step is. States only move forward: idle, running, then finished or failed.
  class TESSALINE_EXPORT State {
   public:
    enum class Case { idle, running, finished, failed };

    State() = default;  // idle
    static State idle() { return State(Case::idle, Bytes()); }
    static State running() { return State(Case::running, Bytes()); }
    static State finished(Bytes payload) { return State(Case::finished, std::move(payload)); }
    // The step reported an error; the error itself is not kept.
    static State failed() { return State(Case::failed, Bytes()); }

    Case kind() const { return case_; }
    bool isIdle() const { return case_ == Case::idle; }
    bool isRunning() const { return case_ == Case::running; }
    bool isFinished() const { return case_ == Case::finished; }
    bool isFailed() const { return case_ == Case::failed; }
    // Idle or running: the step has not delivered its result yet.
    bool isPending() const { return isIdle() || isRunning(); }
    // The payload of a finished step; null in every other state.
    const Bytes* payload() const { return isFinished() ? &payload_ : nullptr; }

    friend bool operator==(const State&, const State&) = default;

   private:
    State(Case c, Bytes payload) : case_(c), payload_(std::move(payload)) {}

    Case case_ = Case::idle;
    Bytes payload_;
  };

  // Fills fileExtension from the step's preferredFileExtension(). A null step is refused with
  // std::invalid_argument. An empty `stop` means the step offers no stop action.
  DiagnosisItem(std::shared_ptr<DiagnosisStep> step, std::string id, State state,
                std::optional<std::string> instructions, std::function<void()> stop);

  std::shared_ptr<DiagnosisStep> step;
  std::string id;
  State state;
  std::optional<std::string> instructions;
  // Present only for a stoppable step; calling it calls the step's stop(). It holds the step.
  std::function<void()> stop;
  std::string fileExtension;
};

// Field by field; the step by identity and the stop action by presence, since actions cannot be
// compared.
TESSALINE_EXPORT bool operator==(const DiagnosisItem& a, const DiagnosisItem& b);

}  // namespace tessaline
