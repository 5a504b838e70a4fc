#include <Tessaline/diagnostics/CollectCrashReportsStep.h>

#include <Tessaline/diagnostics/detail/StepState.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/records/detail/Utf8.h>
#include <platform/FileSystem.h>
#include <platform/MainQueue.h>
#include <platform/SerialQueue.h>

#include <algorithm>
#include <optional>

namespace tessaline {

namespace detail {

template <>
struct JsonCoding<CollectCrashReportsStep::Report> {
  static CollectCrashReportsStep::Report decode(const JsonReader& in) {
    return {in.required<std::string>("name"), in.required<Bytes>("payload")};
  }
  static OrderedJson encode(const CollectCrashReportsStep::Report& report) {
    OrderedJson object = OrderedJson::object();
    put(object, "name", report.name);
    put(object, "payload", report.payload);
    return object;
  }
};

}  // namespace detail

namespace {

using platform::FileSystem;

// A selected entry and its creation date, read once so that sorting sees stable values.
struct Candidate {
  std::string path;
  std::string name;
  std::optional<FileSystem::Time> created;
};

// Newest first; entries without a readable date after all others; equal dates by path, so the
// order is total.
bool newerFirst(const Candidate& a, const Candidate& b) {
  if (a.created.has_value() != b.created.has_value()) {
    return a.created.has_value();
  }
  if (a.created && *a.created != *b.created) {
    return *a.created > *b.created;
  }
  return a.path < b.path;
}

}  // namespace

// The per-instance values the queue computes on first use and keeps.
struct CollectCrashReportsStep::Scan {
  std::optional<std::string> directory;

  const std::string& directoryPath() {
    if (!directory) {
      directory = FileSystem::homeDirectory() + "/Library/Logs/DiagnosticReports";
    }
    return *directory;
  }
};

Result<std::string> CollectCrashReportsStep::Report::encodeList(
    const std::vector<Report>& reports) {
  return detail::encodeJson(reports);
}

Result<std::vector<CollectCrashReportsStep::Report>> CollectCrashReportsStep::Report::decodeList(
    std::string_view json) {
  return detail::decodeJson<std::vector<Report>>(json);
}

CollectCrashReportsStep::CollectCrashReportsStep()
    : state_(std::make_shared<detail::StepState>("CollectCrashReportsStep")),
      scan_(std::make_shared<Scan>()),
      queue_(std::make_unique<platform::SerialQueue>("CollectCrashReports",
                                                     platform::QualityOfService::userInitiated)) {}

CollectCrashReportsStep::~CollectCrashReportsStep() {
  // Never waits for the job: it ends early (its tool terminated, its loops stopped) by itself.
  state_->cancel();
  queue_->abandon();
  queue_.reset();
}

StepClassMembers& CollectCrashReportsStep::classMembers() {
  static StepClassMembers members(0, "Crash Logs");
  return members;
}

bool CollectCrashReportsStep::shouldRun(const Feedback& feedback) {
  return feedback.reason.crashLogs == Feedback::Requirement::required;
}

const std::vector<std::string>& CollectCrashReportsStep::tokens() {
  static const std::vector<std::string> list{"pairloom",           "pairloomhelper",
                                             "orvstatsservice",    "handsetlinkservice",
                                             "nearbypanelservice", "wirelessinputservice"};
  return list;
}

bool CollectCrashReportsStep::matchesReportName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  const auto& list = tokens();
  return std::any_of(list.begin(), list.end(), [&lower](const std::string& token) {
    return lower.find(token) != std::string::npos;
  });
}

bool CollectCrashReportsStep::isRunning() const {
  return state_->isRunning.load();
}

std::shared_ptr<Progress> CollectCrashReportsStep::run(const Feedback&, Completion completion) {
  state_->isRunning = true;
  state_->setCompletion(completion);
  std::weak_ptr<const DiagnosisStep> step = weak_from_this();
  queue_->async([step, state = state_, scan = scan_, completion = std::move(completion)] {
    if (step.expired()) {
      return;
    }
    // Encoded here, not on the main queue: four large reports take a while.
    auto encoded = Report::encodeList(onQueueCollectReports(*scan, *state));
    Result<Bytes> payload = Bytes();
    if (encoded) {
      payload = Bytes(std::move(encoded.value()));
    } else {
      state->log.error("Failed to encode crash logs: %{public}@", encoded.error().description());
      payload = encoded.error();
    }
    if (state->cancelled()) {
      return;
    }
    platform::MainQueue::async([step, state, completion, payload = std::move(payload)] {
      if (!step.lock()) {
        return;
      }
      state->isRunning = false;
      if (completion) {
        completion(payload);
      }
    });
  });
  return nullptr;
}

std::vector<CollectCrashReportsStep::Report> CollectCrashReportsStep::onQueueCollectReports(
    Scan& scan, const detail::StepState& state) {
  const auto& log = state.log;
  std::vector<Candidate> candidates;
  const auto listed = FileSystem::enumerate(
      scan.directoryPath(),
      [&candidates](const FileSystem::Entry& entry) {
        if (matchesReportName(entry.name)) {
          candidates.push_back({entry.path, entry.name, std::nullopt});
        }
      },
      [&log](const std::string& path, const Error& error) {
        log.debug("Skipping unreadable folder %@: %{public}@", path, error.description());
      });
  if (!listed) {
    return {};  // no reports folder: nothing to report
  }

  for (auto& candidate : candidates) {
    candidate.created = FileSystem::creationDate(candidate.path);
  }
  std::sort(candidates.begin(), candidates.end(), newerFirst);
  if (candidates.size() > kReportLimit) {
    log.debug("Found %d reports, limiting output to %d", candidates.size(), kReportLimit);
    candidates.resize(kReportLimit);
  }

  std::vector<Report> reports;
  for (const auto& candidate : candidates) {
    if (state.cancelled()) {
      return {};
    }
    // Only regular files, and only their first kReportByteLimit bytes: a FIFO or a link to a
    // device among the reports must neither block nor fill the memory.
    auto content = FileSystem::readFile(candidate.path, kReportByteLimit);
    if (!content) {
      log.error("Error reading file at %@: %{public}@", candidate.path,
                content.error().description());
      continue;
    }
    Bytes bytes = std::move(content.value().bytes);
    if (content.value().size > kReportByteLimit) {
      log.error("Crash report %@ has %d bytes; keeping the first %d", candidate.path,
                content.value().size, kReportByteLimit);
      bytes = Bytes(bytes.str() + "\n\n[Tessaline: this report has " +
                    std::to_string(content.value().size) + " bytes; only the first " +
                    std::to_string(kReportByteLimit) + " are kept]\n");
    }
    // A name that is not UTF-8 cannot travel in JSON; its report still does.
    reports.push_back({detail::replacingInvalidUtf8(candidate.name), std::move(bytes)});
  }
  log.debug("Produced %d report file(s)", reports.size());
  return reports;
}

}  // namespace tessaline

std::size_t std::hash<tessaline::CollectCrashReportsStep::Report>::operator()(
    const tessaline::CollectCrashReportsStep::Report& report) const noexcept {
  return tessaline::detail::hashValues(report.name, report.payload);
}
