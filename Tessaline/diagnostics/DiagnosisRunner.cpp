#include <Tessaline/diagnostics/DiagnosisRunner.h>

#include <platform/MainQueue.h>

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace tessaline {

std::shared_ptr<DiagnosisRunner> DiagnosisRunner::make(std::vector<StepKind> steps) {
  if (std::any_of(steps.begin(), steps.end(), [](const StepKind& kind) { return !kind; })) {
    throw std::invalid_argument("DiagnosisRunner: a step kind is null");
  }
  return std::make_shared<DiagnosisRunner>(Token(), std::move(steps));
}

DiagnosisRunner::DiagnosisRunner(Token, std::vector<StepKind> steps)
    : items(std::vector<DiagnosisItem>()),
      steps(std::move(steps)),
      log_(std::string(platform::kLogSubsystem), "DiagnosisRunner") {}

void DiagnosisRunner::run(const Feedback& feedback, std::function<void()> completion) {
  log_.debug("%{public}@ with %d item(s)", "run(for:completion:)", items.get().size());
  auto newItems = makeItems(feedback);
  completionHandler = completion;
  const auto thisRun = ++runCount_;
  items.set(newItems);

  if (newItems.empty()) {
    log_.debug("No diagnostics required, skipping collection");
    if (completion) {
      completion();
    }
    return;
  }

  std::string ids;
  for (const auto& item : newItems) {
    ids += (ids.empty() ? "" : ", ") + item.id;
  }
  log_.debug("Will collect diagnostics: %{public}@", ids);

  for (std::size_t i = 0; i < newItems.size(); ++i) {
    if (thisRun != runCount_) {
      return;  // a subscriber started a newer run, which starts its own steps
    }
    items.modify([i](std::vector<DiagnosisItem>& list) {
      if (i < list.size()) {
        list[i].state = DiagnosisItem::State::running();
      }
    });
    start(thisRun, i, newItems[i].step, newItems[i].id, feedback);
  }
}

std::vector<DiagnosisItem> DiagnosisRunner::makeItems(const Feedback& feedback) const {
  std::vector<DiagnosisItem> made;
  const auto kinds = steps.get();
  for (std::size_t index = 0; index < kinds.size(); ++index) {
    const auto& kind = kinds[index];
    // A host's step kind that throws is left out, so the run (and the submission) still completes.
    try {
      if (!kind->shouldRun(feedback)) {
        continue;
      }
      std::shared_ptr<DiagnosisStep> step = kind->make();
      if (!step) {
        throw std::invalid_argument("it made no step");
      }
      std::function<void()> stop;
      if (step->isStoppable()) {
        stop = [step] { step->stop(); };
      }
      made.emplace_back(step, kind->title(), DiagnosisItem::State::idle(), kind->explainer(),
                        std::move(stop));
    } catch (const std::exception& error) {
      log_.error("Skipping diagnostic step kind %d: %{public}@", index, std::string(error.what()));
    } catch (...) {
      log_.error("Skipping diagnostic step kind %d: %{public}@", index, "unknown exception");
    }
  }
  return made;
}

void DiagnosisRunner::start(std::uint64_t runId, std::size_t index,
                            const std::shared_ptr<DiagnosisStep>& step, const std::string& id,
                            const Feedback& feedback) {
  // The handler carries the item's id, not the item: the item holds the step, and the step holds
  // this handler, so a copy of the item would keep every step alive for ever.
  DiagnosisStep::Completion handler = [weak = weak_from_this(), runId, index,
                                       id](Result<Bytes> result) {
    // On the step's thread: never take ownership of the runner here, so that it is only ever
    // destroyed on the main queue.
    if (weak.expired()) {
      return;
    }
    platform::MainQueue::async([weak, runId, index, id, result = std::move(result)] {
      if (auto runner = weak.lock()) {
        runner->receive(runId, index, id, result);
      }
    });
  };
  try {
    (void)step->run(feedback, handler);
  } catch (const std::exception& error) {
    handler(Error(Error::Kind::generic, error.what()));
  } catch (...) {
    handler(Error(Error::Kind::generic, "Unknown exception"));
  }
}

void DiagnosisRunner::receive(std::uint64_t runId, std::size_t index, const std::string& id,
                              const Result<Bytes>& result) {
  // A result of an earlier run, or a second result of the same step, must not touch the items.
  if (runId != runCount_) {
    return;
  }
  const auto current = items.get();
  if (index >= current.size() || !current[index].state.isPending()) {
    return;
  }
  auto state = DiagnosisItem::State::failed();
  if (result.ok()) {
    log_.error("Diagnostic step \"%{public}@\" finished. Payload size = %{public}d", id,
               result.value().size());
    state = DiagnosisItem::State::finished(result.value());
  } else {
    log_.error("Diagnostic step \"%{public}@\" failed with error \"%{public}@\"", id,
               result.error().description());
  }
  items.modify([&](std::vector<DiagnosisItem>& list) { list[index].state = state; });
  if (runId == runCount_) {  // unless a subscriber has started a newer run meanwhile
    checkCompletion();
  }
}

void DiagnosisRunner::checkCompletion() {
  log_.debug("%{public}@", "checkCompetion()");
  const auto current = items.get();
  const bool pending = std::any_of(current.begin(), current.end(), [](const DiagnosisItem& item) {
    return item.state.isPending();
  });
  if (pending) {
    return;
  }
  log_.debug("Runner completed");
  // A copy: the handler may start a new run, which replaces completionHandler.
  if (auto handler = completionHandler) {
    handler();
  }
}

}  // namespace tessaline
