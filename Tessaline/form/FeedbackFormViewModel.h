#pragma once

#include <Tessaline/Cancellable.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/Published.h>
#include <Tessaline/diagnostics/DiagnosisItem.h>
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/ReportAttachment.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

class DiagnosisRunner;
class FeedbackAPIClient;
namespace detail {
class UploadMeter;
}
class Outbox;
struct AttachmentUploadResponse;
namespace platform {
class Logger;
}

// Name of the notification posted on the main queue whenever the form's feedback record changes;
// its object is the current Feedback.
inline constexpr std::string_view feedbackFormDidUpdate =
    "brisquet.Tessaline.feedbackFormDidUpdate";

// The model that a host's feedback window binds to. Made with make(); every public operation is
// called on the main thread (the thread that runs platform::MainQueue).
class TESSALINE_EXPORT FeedbackFormViewModel
    : public std::enable_shared_from_this<FeedbackFormViewModel> {
 public:
  // Why the form cannot go on; each carries the message to show.
  struct TESSALINE_EXPORT Failure {
    enum class Kind { generic, osBlocked, outdatedApp };
    Kind kind = Kind::generic;
    std::string message;

    static Failure generic(std::string message) { return {Kind::generic, std::move(message)}; }
    static Failure osBlocked(std::string message) { return {Kind::osBlocked, std::move(message)}; }
    static Failure outdatedApp();
    std::string description() const;
    friend bool operator==(const Failure&, const Failure&) = default;
  };

  // Where the form stands.
  class TESSALINE_EXPORT State {
   public:
    enum class Case { failed, idle, loading, diagnosis, submitted };

    static State failed(Failure failure) { return State(Case::failed, std::move(failure)); }
    static State idle() { return State(Case::idle); }
    static State loading() { return State(Case::loading); }
    static State diagnosis() { return State(Case::diagnosis); }
    static State submitted() { return State(Case::submitted); }

    Case kind() const { return case_; }
    // The failure of a failed state.
    const std::optional<Failure>& failure() const { return failure_; }
    std::string description() const;
    friend bool operator==(const State&, const State&) = default;

   private:
    explicit State(Case c, std::optional<Failure> failure = std::nullopt)
        : case_(c), failure_(std::move(failure)) {}
    Case case_;
    std::optional<Failure> failure_;
  };

  // The upload phase's progress over all attachments of the report. An attachment whose upload
  // ended counts in full, sent or not, so a finished phase always stands at bytesToSend.
  struct UploadProgress {
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesToSend = 0;
    friend bool operator==(const UploadProgress&, const UploadProgress&) = default;
  };

  // The error of addCustomAttachment's own checks (Error::Kind::attachment).
  struct TESSALINE_EXPORT AttachmentError {
    std::string localizedDescription;
    Error error() const { return Error(Error::Kind::attachment, localizedDescription); }
  };

  static std::shared_ptr<FeedbackFormViewModel> make(std::vector<StepKind> steps,
                                                     std::shared_ptr<FeedbackAPIClient> client);
  ~FeedbackFormViewModel();
  FeedbackFormViewModel(const FeedbackFormViewModel&) = delete;
  FeedbackFormViewModel& operator=(const FeedbackFormViewModel&) = delete;

  // Announced before every change of a published property.
  Signal objectWillChange;

 private:
  // Storage of the published properties; the host reads them through the members below.
  Published<std::vector<DiagnosisItem>> diagnosticItems_{{}, &objectWillChange};
  Published<std::vector<Feedback::Reason>> reasons_{{}, &objectWillChange};
  Published<std::vector<Feedback::ReproductionFrequency>> frequencies_{{}, &objectWillChange};
  Published<std::vector<KnownIssue>> knownIssues_{{}, &objectWillChange};
  Published<std::string> stateDescription_{"", &objectWillChange};
  Published<std::vector<ReportAttachment>> customAttachments_{{}, &objectWillChange};
  Published<State> state_{State::idle(), &objectWillChange};
  Published<UploadProgress> uploadProgress_{{}, &objectWillChange};

 public:
  // Read-only published properties.
  const Published<std::vector<DiagnosisItem>>& diagnosticItems = diagnosticItems_;
  const Published<std::vector<Feedback::Reason>>& reasons = reasons_;
  const Published<std::vector<Feedback::ReproductionFrequency>>& frequencies = frequencies_;
  const Published<std::vector<KnownIssue>>& knownIssues = knownIssues_;
  const Published<std::string>& stateDescription = stateDescription_;
  const Published<std::vector<ReportAttachment>>& customAttachments = customAttachments_;
  const Published<State>& state = state_;
  // Set when the upload phase starts, then as bytes go out (on the main queue, at most about 20
  // times a second) and once more when every upload has ended.
  const Published<UploadProgress>& uploadProgress = uploadProgress_;

  // Published properties the host may set.
  Published<bool> knownIssuesAcknowledged{false, &objectWillChange};
  Published<bool> diagnosticsOptIn{true, &objectWillChange};
  Published<std::string> subject{"", &objectWillChange};
  Published<std::string> message{"Please describe the issue in as much detail as possible.",
                                 &objectWillChange};
  Published<std::string> name{"", &objectWillChange};
  Published<std::string> email{"", &objectWillChange};
  Published<Feedback> feedback{Feedback(), &objectWillChange};

  const std::shared_ptr<FeedbackAPIClient>& client() const { return client_; }

  // Downloads the configuration and applies its gates; does nothing once called before.
  void loadForm();

  // The form may be sent.
  bool isValid() const;
  // At least one requirement of the chosen reason is required.
  bool feedbackRequiresAnyDiagnostics() const;

  // Runs diagnostics (when required and opted in), uploads, then posts the report.
  void submit();
  // Starts the whole submission again with a fresh diagnosis.
  void retry();

  // From now on a report that cannot reach the service (no connection, a time-out, or a 429/5xx
  // status without a valid answer) is kept in `outbox` with its attachments, and the form ends
  // in `submitted` with a text that says so. Nothing is kept without an outbox (the default).
  void setOutbox(std::shared_ptr<Outbox> outbox) { outbox_ = std::move(outbox); }

  // Adds a user's file after checking it against the configured size limit.
  Result<Unit> addCustomAttachment(const ReportAttachment& attachment);
  // Removes the first equal entry; does nothing when there is none.
  void removeCustomAttachment(const ReportAttachment& attachment);
  // Lets the user pick files in the open panel; shows an alert for each rejected one.
  void addAttachment();

  // A plain-text description of this machine and the host, appended to every report.
  std::string basicEnvironmentInformation() const;
  // A process-wide text appended to every environment summary; initially "?".
  static std::string AwbazYLhws();
  static void setAwbazYLhws(std::string text);

 private:
  friend struct FormModelTestAccess;  // tests apply a configuration without the network

  FeedbackFormViewModel(std::vector<StepKind> steps, std::shared_ptr<FeedbackAPIClient> client);
  void start();
  void installRunner(std::shared_ptr<DiagnosisRunner> runner);
  void applyConfig(const Config& config);
  void bindFormFields();
  void uploadAttachments();
  void uploadAttachment(const ReportAttachment& attachment,
                        const std::shared_ptr<detail::UploadMeter>& meter);
  void checkUploadsFinished();
  void submitReport();
  void reportAccepted(const std::string& id);
  void reportFailed(const Error& error);
  void keepReport(const Feedback& report, const Error& error);
  const std::string& formattedMaxAttachmentSize();

  std::shared_ptr<FeedbackAPIClient> client_;
  std::shared_ptr<DiagnosisRunner> runner_;
  Cancellable runnerItemsSubscription_;
  std::unique_ptr<platform::Logger> log_;
  std::vector<Cancellable> cancellables_;
  std::optional<Config> config_;
  bool loadRequested_ = false;
  std::int64_t uploadableItemCount_ = 0;
  std::int64_t uploadedItemCount_ = 0;
  // Outcomes of an upload pass that retry() abandoned are not counted in the next one.
  std::uint64_t uploadPass_ = 0;
  std::vector<AttachmentUploadResponse> attachmentResponses_;
  std::shared_ptr<detail::UploadMeter> uploadMeter_;  // of the current upload pass
  std::shared_ptr<Outbox> outbox_;
  // The attachments of the current pass, and its first upload lost in transit, for the outbox.
  std::vector<ReportAttachment> passAttachments_;
  std::optional<Error> uploadTransportError_;
  std::optional<std::string> formattedMaxAttachmentSize_;
  // The record as last seen, to post notifications only for real changes.
  std::optional<Feedback> lastFeedback_;
};

}  // namespace tessaline
