#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Feedback.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

namespace platform {
class SerialQueue;
}
namespace detail {
class StepState;
}

// Gathers the newest crash and diagnostic reports of the host and its companion processes from
// $HOME/Library/Logs/DiagnosticReports (searched at any depth), and delivers them as a JSON array
// of {"name", "payload" (Base64)} objects, newest first, at most 4. No reports, or no folder, give
// "[]". Only regular files are read, each up to kReportByteLimit bytes; a name that is not UTF-8
// travels with U+FFFD in place of its bad bytes. The payload is encoded on the step's queue and
// the completion called on the main queue. Instances are owned by std::shared_ptr; releasing one
// never waits for its scan.
class TESSALINE_EXPORT CollectCrashReportsStep final
    : public DiagnosisStep,
      public std::enable_shared_from_this<CollectCrashReportsStep> {
 public:
  // One report file.
  struct TESSALINE_EXPORT Report {
    std::string name;  // the file's last path component
    Bytes payload;     // its whole content

    friend bool operator==(const Report&, const Report&) = default;
    static Result<std::string> encodeList(const std::vector<Report>& reports);
    static Result<std::vector<Report>> decodeList(std::string_view json);
  };

  // The most reports one run delivers.
  static constexpr std::size_t kReportLimit = 4;
  // The most bytes kept of one report (they are tens of KiB); a longer one is cut, with a note.
  static constexpr std::uint64_t kReportByteLimit = 8 * 1024 * 1024;

  CollectCrashReportsStep();
  ~CollectCrashReportsStep() override;
  CollectCrashReportsStep(const CollectCrashReportsStep&) = delete;
  CollectCrashReportsStep& operator=(const CollectCrashReportsStep&) = delete;

  // order 0, title "Crash Logs", no explainer.
  static StepClassMembers& classMembers();
  // True when the reason requires crash logs.
  static bool shouldRun(const Feedback& feedback);
  static StepKind kind() { return stepKind<CollectCrashReportsStep>(); }

  // Lower-case fragments of the report file names that are collected.
  static const std::vector<std::string>& tokens();
  // Whether a file name (compared in lower case) contains one of the tokens.
  static bool matchesReportName(std::string_view name);

  bool isRunning() const override;
  std::string preferredFileExtension() const override { return "json"; }
  std::shared_ptr<Progress> run(const Feedback& feedback, Completion completion) override;

 private:
  struct Scan;
  static std::vector<Report> onQueueCollectReports(Scan& scan, const detail::StepState& state);

  std::shared_ptr<detail::StepState> state_;
  std::shared_ptr<Scan> scan_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::CollectCrashReportsStep::Report> {
  std::size_t operator()(const tessaline::CollectCrashReportsStep::Report& report) const noexcept;
};
