#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/AttachmentUploadResponse.h>
#include <Tessaline/service/Deferred.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackReportRequest.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>
#include <Tessaline/service/UpdateCheckResponse.h>

#include <platform/Logger.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace tessaline {

namespace platform {
class HttpSession;
class OpenFile;
}  // namespace platform

// The content of one attachment upload: bytes in memory, or an open file streamed from its
// descriptor.
using AttachmentData = std::variant<Bytes, std::shared_ptr<platform::OpenFile>>;
// Bytes of an upload's content sent so far, and its size.
using UploadProgress = std::function<void(std::uint64_t sent, std::uint64_t total)>;

// The client of the feedback service. Held in a std::shared_ptr by the host and the form model.
// Every client uses the one process-wide HTTP session; outcomes of its deferred requests arrive
// on that session's worker thread.
class TESSALINE_EXPORT FeedbackAPIClient {
 public:
  FeedbackAPIClient(std::string releaseTrainID, Environment environment);
  FeedbackAPIClient(const FeedbackAPIClient&) = delete;
  FeedbackAPIClient& operator=(const FeedbackAPIClient&) = delete;

  // The host's release train, sent by the update check.
  std::string releaseTrainID() const;
  void setReleaseTrainID(std::string releaseTrainID);
  const Environment& environment() const { return environment_; }
  platform::HttpSession& session() const { return *session_; }

  // The session of every client, created on first use with the "User-Agent" field and never
  // released.
  static platform::HttpSession& defaultSession();
  // "Pairloom <short version> (<build>) - <OS version>", then " - <model>" unless the user
  // default "TSDisableDeviceModelInUserAgent" is true; built once per process.
  static const std::string& userAgent();

  // GET config.
  Deferred<Config> fetchConfig() const;
  // POST attachments?fileId=…&localId=…&extension=… with the raw content as body; the feedback
  // supplies only its localId. `progress`, when given, hears on the HTTP thread how much of the
  // content has gone out (see HttpRequest::uploadProgress).
  Deferred<AttachmentUploadResponse> postAttachment(const Feedback& feedback,
                                                    const std::string& fileId,
                                                    const std::string& fileExtension,
                                                    AttachmentData data,
                                                    UploadProgress progress = {}) const;
  // POST reports with the JSON report; fails at once with an APIError when it cannot be encoded.
  Deferred<FeedbackSubmissionResponse> postReport(
      const Feedback& feedback,
      const std::vector<FeedbackReportRequest::Attachment>& attachments) const;
  // GET updateCheck?buildNumber=…&train=…, started at once. The completion runs later on the
  // main queue (never inside this call) with the answer, the fallback answer when the service
  // gives none that decodes, or the transport error.
  void checkForUpdates(std::function<void(Result<UpdateCheckResponse>)> completion) const;

 private:
  Result<Url> makeURL(const std::string& endpoint) const;

  platform::Logger log_;
  mutable std::mutex mutex_;  // guards releaseTrainID_, which the host may set from any thread
  std::string releaseTrainID_;
  Environment environment_;
  platform::HttpSession* session_;
};

}  // namespace tessaline
