#include <Tessaline/diagnostics/DiagnosisItem.h>

#include <stdexcept>
#include <utility>

namespace tessaline {

namespace {

std::shared_ptr<DiagnosisStep> requireStep(std::shared_ptr<DiagnosisStep> step) {
  if (!step) {
    throw std::invalid_argument("DiagnosisItem needs a step");
  }
  return step;
}

}  // namespace

DiagnosisItem::DiagnosisItem(std::shared_ptr<DiagnosisStep> step, std::string id, State state,
                             std::optional<std::string> instructions, std::function<void()> stop)
    : step(requireStep(std::move(step))),
      id(std::move(id)),
      state(std::move(state)),
      instructions(std::move(instructions)),
      stop(std::move(stop)),
      fileExtension(this->step->preferredFileExtension()) {}

bool operator==(const DiagnosisItem& a, const DiagnosisItem& b) {
  return a.step == b.step && a.id == b.id && a.state == b.state &&
         a.instructions == b.instructions &&
         static_cast<bool>(a.stop) == static_cast<bool>(b.stop) &&
         a.fileExtension == b.fileExtension;
}

}  // namespace tessaline
