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

#include "TextChecks.h"

#include <algorithm>
#include <initializer_list>

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

// The other direction: records a host fills with any text. Encoding fails, with an encoding
// error, exactly when some text is not UTF-8; otherwise the JSON decodes to the same record.
void hostText(std::string_view input) {
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const auto end = input.find('\0', start);
    fields.emplace_back(input.substr(start, end - start));
    if (end == std::string_view::npos || fields.size() == 6) {
      break;
    }
    start = end + 1;
  }
  fields.resize(6);
  const auto utf8 = [&fields](std::initializer_list<int> used) {
    return std::all_of(used.begin(), used.end(),
                       [&fields](int i) { return server::isValidUtf8(fields[i]); });
  };

  Feedback feedback;
  feedback.subject = fields[0];
  feedback.reason.title = fields[1];
  feedback.messages.push_back({Date{700000000.5}, Feedback::Message::Sender::user, fields[2], {}});
  if (auto url = Url::parse(fields[3])) {
    feedback.messages.back().attachments.push_back(*url);
  }
  feedback.contactInformation = Feedback::ContactInformation{fields[4], fields[5]};
  feedback.remoteId = fields[3];

  const auto encoded = feedback.toJson();
  require(encoded.ok() == utf8({0, 1, 2, 3, 4, 5}),
          "Feedback encodes exactly when its text is UTF-8",
          "input: " + shown(input) + "\nerror: " + (encoded ? "" : encoded.error().description()));
  if (!encoded) {
    require(encoded.error().kind() == Error::Kind::encoding,
            "a failed encoding is an encoding error", encoded.error().description());
  } else {
    const auto decoded = Feedback::fromJson(encoded.value());
    require(decoded.ok() && decoded.value() == feedback, "an encoded Feedback decodes to itself",
            shown(encoded.value()));
  }

  // The request leaves out the remote id and the URL; the first two texts name its attachment.
  const auto request = FeedbackReportRequest::make(feedback, {{fields[0], fields[1]}});
  const auto body = request.toJson();
  require(body.ok() == utf8({0, 1, 2, 4, 5}),
          "a report request encodes exactly when its text is UTF-8", "input: " + shown(input));
  if (body) {
    const auto decoded = FeedbackReportRequest::fromJson(body.value());
    require(decoded.ok() && decoded.value() == request, "a report request decodes to itself",
            shown(body.value()));
  }
}

}  // namespace

TESSALINE_FUZZ_TARGET("host-text",
                      "Feedback and FeedbackReportRequest filled with any text: encode", hostText);
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
