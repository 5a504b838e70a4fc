// The JSON records: the library's own, the client's answer records and the crash report payload.

#include "FuzzTarget.h"
#include "RoundTrip.h"

#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/RemoteFeedback.h>
#include <Tessaline/service/AttachmentUploadResponse.h>
#include <Tessaline/service/FeedbackReportRequest.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>
#include <Tessaline/service/UpdateCheckResponse.h>

namespace tessaline::fuzz {

namespace {

// The coding of a record with fromJson/toJson, equality and hashing.
template <class T>
Coding<T> recordCoding(const char* name) {
  return {name, [](std::string_view json) { return T::fromJson(json); },
          [](const T& value) { return value.toJson(); },
          [](const T& a, const T& b) { return a == b; },
          [](const T& value) { return std::hash<T>{}(value); }};
}

void config(std::string_view input) {
  static const auto coding = recordCoding<Config>("Config");
  checkRoundTrip(coding, input);
}

void feedback(std::string_view input) {
  static const auto feedbackCoding = recordCoding<Feedback>("Feedback");
  static const auto reason = recordCoding<Feedback::Reason>("Feedback::Reason");
  static const auto frequency =
      recordCoding<Feedback::ReproductionFrequency>("Feedback::ReproductionFrequency");
  static const auto message = recordCoding<Feedback::Message>("Feedback::Message");
  checkRoundTrip(feedbackCoding, input);
  checkRoundTrip(reason, input);
  checkRoundTrip(frequency, input);
  checkRoundTrip(message, input);
  if (auto decoded = Feedback::fromJson(input)) {
    // The log form stays on one line whatever the texts hold.
    const std::string description = decoded->description();
    require(
        description.find('\n') == std::string::npos && description.find('\r') == std::string::npos,
        "Feedback::description is one line", shown(description));
  }
}

void remoteFeedback(std::string_view input) {
  static const auto item = recordCoding<RemoteFeedback>("RemoteFeedback");
  static const auto attachment =
      recordCoding<RemoteFeedback::Attachment>("RemoteFeedback::Attachment");
  checkRoundTrip(item, input);
  checkRoundTrip(attachment, input);
}

void preferencesDump(std::string_view input) {
  static const Coding<PreferencesDump> coding{
      "PreferencesDump", [](std::string_view json) { return PreferencesDump::fromJson(json); },
      [](const PreferencesDump& value) { return value.toJson(); },
      [](const PreferencesDump& a, const PreferencesDump& b) {
        return a.isUsingCloud == b.isUsingCloud && a.syncedDefaults == b.syncedDefaults &&
               a.appGroupDefaults == b.appGroupDefaults && a.helperDefaults == b.helperDefaults &&
               a.batteryAlerts == b.batteryAlerts;
      },
      nullptr};
  checkRoundTrip(coding, input);
}

void serviceAnswers(std::string_view input) {
  static const auto upload = recordCoding<AttachmentUploadResponse>("AttachmentUploadResponse");
  static const auto submission =
      recordCoding<FeedbackSubmissionResponse>("FeedbackSubmissionResponse");
  static const auto update = recordCoding<UpdateCheckResponse>("UpdateCheckResponse");
  static const auto request = recordCoding<FeedbackReportRequest>("FeedbackReportRequest");
  checkRoundTrip(upload, input);
  checkRoundTrip(submission, input);
  checkRoundTrip(update, input);
  checkRoundTrip(request, input);
}

void crashReports(std::string_view input) {
  using Report = CollectCrashReportsStep::Report;
  static const Coding<std::vector<Report>> coding{
      "CollectCrashReportsStep::Report list",
      [](std::string_view json) { return Report::decodeList(json); },
      [](const std::vector<Report>& reports) { return Report::encodeList(reports); },
      [](const std::vector<Report>& a, const std::vector<Report>& b) { return a == b; },
      [](const std::vector<Report>& reports) {
        std::size_t hash = reports.size();
        for (const Report& report : reports) {
          hash = hash * 31 + std::hash<Report>{}(report);
        }
        return hash;
      }};
  checkRoundTrip(coding, input);
}

}  // namespace

TESSALINE_FUZZ_TARGET("config", "Config JSON: decode, encode, decode again", config);
TESSALINE_FUZZ_TARGET("feedback", "Feedback, Reason, ReproductionFrequency, Message JSON",
                      feedback);
TESSALINE_FUZZ_TARGET("remote-feedback", "RemoteFeedback and its Attachment JSON", remoteFeedback);
TESSALINE_FUZZ_TARGET("preferences-dump", "PreferencesDump JSON (Base64 buffers)", preferencesDump);
TESSALINE_FUZZ_TARGET("service-answers",
                      "AttachmentUploadResponse, FeedbackSubmissionResponse, "
                      "UpdateCheckResponse, FeedbackReportRequest JSON",
                      serviceAnswers);
TESSALINE_FUZZ_TARGET("crash-reports", "the crash report payload (JSON list of Base64 files)",
                      crashReports);

}  // namespace tessaline::fuzz
