#pragma once

#include <Tessaline/Export.h>
#include <Tessaline/Published.h>
#include <Tessaline/diagnostics/DiagnosisItem.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Feedback.h>
#include <platform/Logger.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessaline {

// Selects the diagnostics steps that a report needs, starts them all and completes once none is
// idle or running. Used on the main thread only: run(), every change of `items` and the
// completion happen there; step results are moved to the main queue before they are applied.
class TESSALINE_EXPORT DiagnosisRunner : public std::enable_shared_from_this<DiagnosisRunner> {
  struct Token {
    explicit Token() = default;
  };

 public:
  // Null step kinds are refused with std::invalid_argument.
  static std::shared_ptr<DiagnosisRunner> make(std::vector<StepKind> steps);
  DiagnosisRunner(Token, std::vector<StepKind> steps);
  DiagnosisRunner(const DiagnosisRunner&) = delete;
  DiagnosisRunner& operator=(const DiagnosisRunner&) = delete;

  // The completion of the current run; kept after it has been called.
  std::function<void()> completionHandler;
  // The items of the current (or last) run.
  Published<std::vector<DiagnosisItem>> items;
  // The step kinds this runner may use, in the host's order; items follow this order.
  Published<std::vector<StepKind>> steps;

  // Makes one item per step kind that applies to the feedback and starts every step; returns
  // before any of them finishes, except that with no applicable step the completion is called
  // before run() returns. A step kind whose class members or constructor throw is left out (with
  // an error log line); a step whose run() throws fails its item.
  void run(const Feedback& feedback, std::function<void()> completion);

 private:
  std::vector<DiagnosisItem> makeItems(const Feedback& feedback) const;
  void start(std::uint64_t runId, std::size_t index, const std::shared_ptr<DiagnosisStep>& step,
             const std::string& id, const Feedback& feedback);
  void receive(std::uint64_t runId, std::size_t index, const std::string& id,
               const Result<Bytes>& result);
  void checkCompletion();

  platform::Logger log_;
  // Counts runs, so that results of an earlier run are recognised and dropped.
  std::uint64_t runCount_ = 0;
};

}  // namespace tessaline
