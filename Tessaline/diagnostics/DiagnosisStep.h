#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/Url.h>
#include <Tessaline/records/Feedback.h>

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tessaline {

// Progress of a step's work; the library's own steps report none.
struct TESSALINE_EXPORT Progress {
  double fractionCompleted = 0;
};

// A diagnostics collector. It runs its blocking work on a serial queue of its own and calls its
// completion once, with the payload bytes or an error.
class TESSALINE_EXPORT DiagnosisStep {
 public:
  using Completion = std::function<void(Result<Bytes>)>;

  virtual ~DiagnosisStep() = default;

  // The step has been started and its work is under way.
  virtual bool isRunning() const = 0;
  // The step runs until stop() is called.
  virtual bool isStoppable() const { return false; }
  // File extension of the payload, without the dot.
  virtual std::string preferredFileExtension() const { return "txt"; }
  // Asks a stoppable step to end its capture.
  virtual void stop() {}
  // Starts the work and returns at once.
  virtual std::shared_ptr<Progress> run(const Feedback& feedback, Completion completion) = 0;
};

// The class-level members of a step class, which the host may reassign before a run.
class TESSALINE_EXPORT StepClassMembers {
 public:
  StepClassMembers(std::int64_t order, std::string title,
                   std::optional<std::string> explainer = std::nullopt,
                   std::optional<Url> url = std::nullopt)
      : order_(order),
        title_(std::move(title)),
        explainer_(std::move(explainer)),
        url_(std::move(url)) {}

  std::int64_t order() const {
    std::lock_guard lock(mutex_);
    return order_;
  }
  std::string title() const {
    std::lock_guard lock(mutex_);
    return title_;
  }
  std::optional<std::string> explainer() const {
    std::lock_guard lock(mutex_);
    return explainer_;
  }
  std::optional<Url> url() const {
    std::lock_guard lock(mutex_);
    return url_;
  }
  void setOrder(std::int64_t order) {
    std::lock_guard lock(mutex_);
    order_ = order;
  }
  void setTitle(std::string title) {
    std::lock_guard lock(mutex_);
    title_ = std::move(title);
  }
  void setExplainer(std::optional<std::string> explainer) {
    std::lock_guard lock(mutex_);
    explainer_ = std::move(explainer);
  }
  void setUrl(std::optional<Url> url) {
    std::lock_guard lock(mutex_);
    url_ = std::move(url);
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t order_;
  std::string title_;
  std::optional<std::string> explainer_;
  std::optional<Url> url_;
};

// A step kind: makes fresh instances of one step class and reads its class-level members without
// an instance.
class TESSALINE_EXPORT DiagnosisStepKind {
 public:
  virtual ~DiagnosisStepKind() = default;

  virtual std::shared_ptr<DiagnosisStep> make() const = 0;
  virtual std::int64_t order() const = 0;
  virtual std::string title() const = 0;
  virtual std::optional<std::string> explainer() const = 0;
  virtual std::optional<Url> url() const = 0;
  // Whether the step applies to this feedback; true unless the class says otherwise.
  virtual bool shouldRun(const Feedback& feedback) const = 0;
};

using StepKind = std::shared_ptr<const DiagnosisStepKind>;

// A step class for stepKind<Step>(): default-constructible, derived from DiagnosisStep, with
// `static StepClassMembers& classMembers()` and optionally `static bool shouldRun(const
// Feedback&)`.
template <class Step>
concept DiagnosisStepClass =
    std::derived_from<Step, DiagnosisStep> && std::default_initializable<Step> && requires {
  { Step::classMembers() } -> std::same_as<StepClassMembers&>;
};

template <DiagnosisStepClass Step>
class StepKindOf final : public DiagnosisStepKind {
 public:
  std::shared_ptr<DiagnosisStep> make() const override { return std::make_shared<Step>(); }
  std::int64_t order() const override { return Step::classMembers().order(); }
  std::string title() const override { return Step::classMembers().title(); }
  std::optional<std::string> explainer() const override { return Step::classMembers().explainer(); }
  std::optional<Url> url() const override { return Step::classMembers().url(); }
  bool shouldRun(const Feedback& feedback) const override {
    if constexpr (requires {
                    { Step::shouldRun(feedback) } -> std::convertible_to<bool>;
                  }) {
      return Step::shouldRun(feedback);
    } else {
      return true;
    }
  }
};

// The kind of a step class; one shared descriptor per class.
template <DiagnosisStepClass Step>
StepKind stepKind() {
  static const StepKind kind = std::make_shared<const StepKindOf<Step>>();
  return kind;
}

}  // namespace tessaline
