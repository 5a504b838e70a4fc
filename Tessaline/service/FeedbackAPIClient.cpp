#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/APIError.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/RequestIntegrity.h>
#include <Tessaline/service/detail/UserAgent.h>

#include <platform/HttpSession.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>
#include <platform/SystemInfo.h>
#include <platform/UserDefaults.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace tessaline {

namespace {

constexpr std::chrono::seconds kPostTimeout{60};

bool sameFieldName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// A deferred request that runs `request` on `session` and decodes the body as T. The HTTP status
// and headers are never looked at: an answer succeeds exactly when its body decodes.
template <class T>
Deferred<T> exchange(platform::HttpSession& session, platform::HttpRequest request) {
  return Deferred<T>([&session, request = std::move(request)](typename Deferred<T>::Sink sink) {
    const platform::HttpTask task =
        session.start(request, [sink = std::move(sink)](Result<platform::HttpResponse> response) {
          if (!response) {
            sink(response.error());
            return;
          }
          auto decoded = T::fromJson(response->body.view());
          if (!decoded) {
            std::string retryAfter;
            for (const auto& [name, value] : response->headers) {
              if (sameFieldName(name, "Retry-After")) {
                retryAfter = value;
              }
            }
            sink(decoded.error().withAnswer(response->status, std::move(retryAfter)));
            return;
          }
          sink(std::move(decoded));
        });
    return Cancellable([task] { task.cancel(); });
  });
}

// The base URL with one path component appended and its query replaced.
Result<Url> urlWithQuery(const Url& base, std::string_view endpoint, const std::string& query) {
  const auto components = Url::parse(base.appendingPathComponent(endpoint).absoluteString());
  if (!components) {
    return APIError(APIError::kFailedToConstructURLComponents).error();
  }
  const auto url = Url::parse(components->withPercentEncodedQuery(query).absoluteString());
  if (!url) {
    return APIError(APIError::kFailedToConstructURL).error();
  }
  return *url;
}

}  // namespace

namespace detail {

std::string buildUserAgent() {
  std::string text = "Pairloom " + appShortVersionString() + " (" +
                     std::to_string(appBuildNumber()) + ") - " +
                     platform::SystemInfo::operatingSystemVersionString();
  if (!platform::UserDefaults::standard().boolForKey("TSDisableDeviceModelInUserAgent")) {
    text += " - " + hardwareModelIdentifier();
  }
  return platform::removingControlCharacters(std::move(text));
}

}  // namespace detail

FeedbackAPIClient::FeedbackAPIClient(std::string releaseTrainID, Environment environment)
    : log_(std::string(platform::kLogSubsystem), "FeedbackAPIClient"),
      releaseTrainID_(std::move(releaseTrainID)),
      environment_(std::move(environment)),
      session_(&defaultSession()) {}

std::string FeedbackAPIClient::releaseTrainID() const {
  std::lock_guard lock(mutex_);
  return releaseTrainID_;
}

void FeedbackAPIClient::setReleaseTrainID(std::string releaseTrainID) {
  std::lock_guard lock(mutex_);
  releaseTrainID_ = std::move(releaseTrainID);
}

const std::string& FeedbackAPIClient::userAgent() {
  static const auto* text = new std::string(detail::buildUserAgent());  // lives until the end
  return *text;
}

platform::HttpSession& FeedbackAPIClient::defaultSession() {
  // Never destroyed: transfers may still run while the process ends.
  static auto* session =
      new platform::HttpSession(platform::HttpHeaders{{"User-Agent", userAgent()}});
  return *session;
}

Result<Url> FeedbackAPIClient::makeURL(const std::string& endpoint) const {
  return urlWithQuery(environment_.baseURL(), endpoint,
                      "buildNumber=" + std::to_string(appBuildNumber()) +
                          "&train=" + percentEncodeQueryValue(releaseTrainID()));
}

Deferred<Config> FeedbackAPIClient::fetchConfig() const {
  return exchange<Config>(
      *session_, platform::HttpRequest(environment_.baseURL().appendingPathComponent("config")));
}

Deferred<AttachmentUploadResponse> FeedbackAPIClient::postAttachment(
    const Feedback& feedback, const std::string& fileId, const std::string& fileExtension,
    AttachmentData data, UploadProgress progress) const {
  auto url = urlWithQuery(environment_.baseURL(), "attachments",
                          "fileId=" + percentEncodeQueryValue(fileId) +
                              "&localId=" + feedback.localId.uuidString() +
                              "&extension=" + percentEncodeQueryValue(fileExtension));
  if (!url) {
    return Deferred<AttachmentUploadResponse>::failed(url.error());
  }
  // The digest is taken before anything is sent: the service refuses a body that does not match
  // it, and the key makes a repeat of this upload recognisable.
  std::optional<Result<Sha256Digest>> digest;
  if (const auto* bytes = std::get_if<Bytes>(&data)) {
    digest = sha256(bytes->view());
  } else if (const auto& file = std::get<std::shared_ptr<platform::OpenFile>>(data)) {
    digest = sha256(*file);
  }
  if (digest && !*digest) {
    return Deferred<AttachmentUploadResponse>::failed(digest->error());
  }
  platform::HttpRequest request(std::move(url).value(), "POST");
  request.timeout = kPostTimeout;
  if (digest) {
    request.headers = {
        {std::string(kIdempotencyKeyField),
         idempotencyKeyFieldValue(uploadIdempotencyKey(feedback.localId, fileId, digest->value()))},
        {std::string(kReprDigestField), reprDigestFieldValue(digest->value())}};
  }
  std::visit([&](auto&& content) { request.body = std::move(content); }, std::move(data));
  request.uploadProgress = std::move(progress);
  return exchange<AttachmentUploadResponse>(*session_, std::move(request));
}

Deferred<FeedbackSubmissionResponse> FeedbackAPIClient::postReport(
    const Feedback& feedback,
    const std::vector<FeedbackReportRequest::Attachment>& attachments) const {
  auto body = FeedbackReportRequest::make(feedback, attachments).toJson();
  if (!body) {
    return Deferred<FeedbackSubmissionResponse>::failed(
        APIError(APIError::kFailedToConstructRequest).error());
  }
  platform::HttpRequest request(environment_.baseURL().appendingPathComponent("reports"), "POST");
  request.timeout = kPostTimeout;
  // The same report sent again (a retry, or from the outbox) is stored once.
  request.headers = {{"Content-Type", "application/json"},
                     {std::string(kIdempotencyKeyField),
                      idempotencyKeyFieldValue(reportIdempotencyKey(feedback.localId))}};
  request.body = Bytes(std::move(body).value());
  return exchange<FeedbackSubmissionResponse>(*session_, std::move(request));
}

void FeedbackAPIClient::checkForUpdates(
    std::function<void(Result<UpdateCheckResponse>)> completion) const {
  // The callback, and whatever the host captured in it, moves into the main-queue task: it runs
  // and is released there, never on the HTTP thread.
  auto held =
      std::make_shared<std::function<void(Result<UpdateCheckResponse>)>>(std::move(completion));
  auto deliver = [held](Result<UpdateCheckResponse> outcome) {
    platform::MainQueue::async(
        [completion = std::exchange(*held, nullptr), outcome = std::move(outcome)] {
          if (completion) {
            completion(outcome);
          }
        });
  };
  auto url = makeURL("updateCheck");
  if (!url) {
    deliver(url.error());
    return;
  }
  session_->start(platform::HttpRequest(std::move(url).value()),
                  [log = log_, deliver](Result<platform::HttpResponse> response) {
                    if (!response) {
                      deliver(response.error());
                      return;
                    }
                    if (!response->hasBody) {
                      log.error("No data returned from update check service");
                      deliver(UpdateCheckResponse::fallback());
                      return;
                    }
                    auto decoded = UpdateCheckResponse::fromJson(response->body.view());
                    if (!decoded) {
                      log.error("Failed to decode update check response: %{public}@",
                                decoded.error().description());
                      deliver(UpdateCheckResponse::fallback());
                      return;
                    }
                    deliver(std::move(decoded));
                  });
}

}  // namespace tessaline
