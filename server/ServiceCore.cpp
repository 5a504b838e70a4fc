#include "ServiceCore.h"

#include "TextChecks.h"

#include <Tessaline/records/Uuid.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <variant>

namespace tessaline::server {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

constexpr std::string_view kConfigPath = "/v1/config";
constexpr std::string_view kAttachmentsPath = "/v1/attachments";
constexpr std::string_view kReportsPath = "/v1/reports";
constexpr std::string_view kUpdateCheckPath = "/v1/updateCheck";

constexpr std::size_t kMaxFileIdBytes = 255;
constexpr std::size_t kMaxExtensionBytes = 64;
constexpr std::size_t kMaxTrainBytes = 128;

template <class T>
using Checked = std::variant<T, ServiceResponse>;

ServiceResponse badRequest(const std::string& message) {
  return ServiceCore::errorResponse(400, message);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

std::string dumpAnswer(const OrderedJson& answer) {
  return answer.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

// The one value of a query item; missing, repeated and malformed values are refused.
Checked<std::string> queryText(const ServiceRequest& request, std::string_view name,
                               std::size_t maxBytes, bool mayBeEmpty) {
  const std::string* value = nullptr;
  for (const auto& [key, candidate] : request.query) {
    if (key == name) {
      if (value) {
        return badRequest("query item \"" + std::string(name) + "\" is given more than once");
      }
      value = &candidate;
    }
  }
  const std::string label = "query item \"" + std::string(name) + "\"";
  if (!value) {
    return badRequest(label + " is missing");
  }
  if (value->empty() && !mayBeEmpty) {
    return badRequest(label + " is empty");
  }
  if (value->size() > maxBytes) {
    return badRequest(label + " is longer than " + std::to_string(maxBytes) + " bytes");
  }
  if (!isValidUtf8(*value)) {
    return badRequest(label + " is not valid UTF-8");
  }
  if (hasControlCharacters(*value)) {
    return badRequest(label + " holds control characters");
  }
  return *value;
}

struct AttachmentQuery {
  std::string fileId;
  std::string localId;  // canonical upper-case text
  std::string extension;
};

Checked<AttachmentQuery> attachmentQuery(const ServiceRequest& request) {
  AttachmentQuery query;
  auto fileId = queryText(request, "fileId", kMaxFileIdBytes, false);
  if (auto* refused = std::get_if<ServiceResponse>(&fileId)) {
    return std::move(*refused);
  }
  auto localId = queryText(request, "localId", 36, false);
  if (auto* refused = std::get_if<ServiceResponse>(&localId)) {
    return std::move(*refused);
  }
  auto extension = queryText(request, "extension", kMaxExtensionBytes, true);
  if (auto* refused = std::get_if<ServiceResponse>(&extension)) {
    return std::move(*refused);
  }
  const std::optional<Uuid> uuid = Uuid::parse(std::get<std::string>(localId));
  if (!uuid) {
    return badRequest("query item \"localId\" is not a UUID");
  }
  query.fileId = std::move(std::get<std::string>(fileId));
  query.localId = uuid->uuidString();
  query.extension = std::move(std::get<std::string>(extension));
  return query;
}

struct UpdateQuery {
  std::int64_t buildNumber = 0;
  std::string train;
};

Checked<UpdateQuery> updateQuery(const ServiceRequest& request) {
  auto buildNumber = queryText(request, "buildNumber", 20, false);
  if (auto* refused = std::get_if<ServiceResponse>(&buildNumber)) {
    return std::move(*refused);
  }
  auto train = queryText(request, "train", kMaxTrainBytes, false);
  if (auto* refused = std::get_if<ServiceResponse>(&train)) {
    return std::move(*refused);
  }
  const std::optional<std::int64_t> number = parseInteger(std::get<std::string>(buildNumber));
  if (!number) {
    return badRequest("query item \"buildNumber\" is not an integer");
  }
  return UpdateQuery{*number, std::move(std::get<std::string>(train))};
}

// Reads the whole body, refusing it once it passes the limit.
Checked<std::string> readBody(const ServiceRequest& request, std::uint64_t limit) {
  std::string body;
  if (!request.body) {
    return body;
  }
  bool tooLarge = false;
  const bool complete = request.body([&](std::string_view chunk) {
    if (body.size() + chunk.size() > limit) {
      tooLarge = true;
      return false;
    }
    body.append(chunk);
    return true;
  });
  if (tooLarge) {
    return ServiceCore::errorResponse(
        413, "the request body is larger than " + std::to_string(limit) + " bytes");
  }
  if (!complete) {
    return badRequest("the request body could not be read");
  }
  return body;
}

// --- The report body

const Json* member(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() || found->is_null() ? nullptr : &*found;
}

Checked<std::string> requiredString(const Json& object, const char* key, const std::string& path) {
  const Json* value = member(object, key);
  if (!value || !value->is_string()) {
    return badRequest(path + key + ": expected a string");
  }
  return value->get<std::string>();
}

Checked<std::int64_t> requiredInteger(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (!value || !value->is_number_integer() ||
      (value->is_number_unsigned() && value->get<std::uint64_t>() > INT64_MAX)) {
    return badRequest(std::string(key) + ": expected a 64-bit integer");
  }
  return value->get<std::int64_t>();
}

Checked<std::optional<std::string>> optionalString(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (!value) {
    return std::optional<std::string>();
  }
  if (!value->is_string()) {
    return badRequest(std::string(key) + ": expected a string");
  }
  return std::optional<std::string>(value->get<std::string>());
}

#define TESSALINE_TAKE(target, checked)                         \
  do {                                                          \
    auto taken = (checked);                                     \
    if (auto* refused = std::get_if<ServiceResponse>(&taken)) { \
      return std::move(*refused);                               \
    }                                                           \
    (target) = std::move(std::get<0>(taken));                   \
  } while (false)

Checked<NewReport> decodeReport(const std::string& body, const Config& form) {
  if (!isValidUtf8(body)) {
    return badRequest("the request body is not valid UTF-8");
  }
  const Json document = Json::parse(body, nullptr, false);
  if (document.is_discarded()) {
    return badRequest("the request body is not valid JSON");
  }
  if (!document.is_object()) {
    return badRequest("the request body is not a JSON object");
  }
  NewReport report;
  std::string localId;
  TESSALINE_TAKE(localId, requiredString(document, "localId", ""));
  const std::optional<Uuid> uuid = Uuid::parse(localId);
  if (!uuid) {
    return badRequest("localId: expected a UUID");
  }
  report.localId = uuid->uuidString();
  TESSALINE_TAKE(report.reasonId, requiredInteger(document, "reasonId"));
  TESSALINE_TAKE(report.frequencyId, requiredInteger(document, "frequencyId"));
  TESSALINE_TAKE(report.subject, requiredString(document, "subject", ""));

  const Json* messages = member(document, "messages");
  if (!messages || !messages->is_array()) {
    return badRequest("messages: expected an array");
  }
  for (const Json& message : *messages) {
    if (!message.is_object()) {
      return badRequest("messages: expected objects with a \"body\"");
    }
    std::string text;
    TESSALINE_TAKE(text, requiredString(message, "body", "messages[]."));
    report.messages.push_back(std::move(text));
  }
  TESSALINE_TAKE(report.name, optionalString(document, "name"));
  TESSALINE_TAKE(report.email, optionalString(document, "email"));

  const Json* attachments = member(document, "attachments");
  if (!attachments || !attachments->is_array()) {
    return badRequest("attachments: expected an array");
  }
  for (const Json& attachment : *attachments) {
    if (!attachment.is_object()) {
      return badRequest("attachments: expected objects with \"id\" and \"name\"");
    }
    AttachmentReference reference;
    TESSALINE_TAKE(reference.id, requiredString(attachment, "id", "attachments[]."));
    TESSALINE_TAKE(reference.name, requiredString(attachment, "name", "attachments[]."));
    const bool listed = std::any_of(report.attachments.begin(), report.attachments.end(),
                                    [&](const auto& other) { return other.id == reference.id; });
    if (listed) {
      return badRequest("attachments: \"" + reference.id + "\" is listed more than once");
    }
    report.attachments.push_back(std::move(reference));
  }

  for (const auto& reason : form.reasons) {
    if (reason.id == report.reasonId) {
      report.reasonTitle = reason.title;
    }
  }
  for (const auto& frequency : form.frequencies) {
    if (frequency.id == report.frequencyId) {
      report.frequencyTitle = frequency.title;
    }
  }
  return report;
}

#undef TESSALINE_TAKE

}  // namespace

std::optional<std::string_view> ServiceRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) {
      return std::string_view(value);
    }
  }
  return std::nullopt;
}

BodyReader ServiceRequest::bodyOf(std::string bytes) {
  return [bytes = std::move(bytes)](const BodySink& sink) { return bytes.empty() || sink(bytes); };
}

ServiceCore::ServiceCore(ServiceConfig config, Store& store, ServiceOptions options)
    : config_(std::move(config)), store_(store), options_(std::move(options)) {}

ServiceResponse ServiceCore::errorResponse(int status, const std::string& message) {
  OrderedJson body = OrderedJson::object();
  body["error"] = message;
  return {status, dumpAnswer(body)};
}

void ServiceCore::log(const std::string& line) const {
  if (options_.log) {
    options_.log(line);
  }
}

std::optional<ServiceResponse> ServiceCore::refuseEarly(const ServiceRequest& request) const {
  const bool isGet = request.path == kConfigPath || request.path == kUpdateCheckPath;
  const bool isPost = request.path == kAttachmentsPath || request.path == kReportsPath;
  if (!isGet && !isPost) {
    return errorResponse(404, "no such endpoint");
  }
  if (request.method != (isGet ? "GET" : "POST")) {
    return errorResponse(405, "this endpoint takes " + std::string(isGet ? "GET" : "POST"));
  }
  // Bodies are taken byte for byte: a compressed one would turn a small request into an
  // unbounded amount of work and disk.
  if (const auto encoding = request.header("Content-Encoding");
      encoding && !equalsIgnoringCase(*encoding, "identity")) {
    return errorResponse(415, "compressed request bodies are not accepted");
  }
  std::optional<std::uint64_t> declaredLength;
  if (const auto length = request.header("Content-Length")) {
    const std::optional<std::int64_t> parsed = parseInteger(*length);
    if (!parsed || *parsed < 0 || length->front() == '+' || length->front() == '-') {
      return badRequest("Content-Length is not a byte count");
    }
    declaredLength = static_cast<std::uint64_t>(*parsed);
  }
  const bool hasBody =
      (declaredLength && *declaredLength > 0) || request.header("Transfer-Encoding").has_value();
  if (isGet) {
    if (hasBody) {
      return badRequest("this endpoint takes no request body");
    }
    if (request.path == kUpdateCheckPath) {
      auto query = updateQuery(request);
      if (auto* refused = std::get_if<ServiceResponse>(&query)) {
        return std::move(*refused);
      }
    }
    return std::nullopt;
  }
  const std::uint64_t limit =
      request.path == kAttachmentsPath ? options_.maxUploadBytes : options_.maxReportBytes;
  if (declaredLength && *declaredLength > limit) {
    return errorResponse(413,
                         "the request body is larger than " + std::to_string(limit) + " bytes");
  }
  if (request.path == kAttachmentsPath) {
    auto query = attachmentQuery(request);
    if (auto* refused = std::get_if<ServiceResponse>(&query)) {
      return std::move(*refused);
    }
  }
  return std::nullopt;
}

ServiceResponse ServiceCore::handle(const ServiceRequest& request) {
  ServiceResponse response;
  if (std::optional<ServiceResponse> refused = refuseEarly(request)) {
    response = std::move(*refused);
  } else if (request.path == kConfigPath) {
    response = {200, config_.formJson};
  } else if (request.path == kUpdateCheckPath) {
    response = updateCheck(request);
  } else if (request.path == kAttachmentsPath) {
    response = postAttachment(request);
  } else {
    response = postReport(request);
  }
  if (response.status >= 400) {
    log(request.method + " " + request.path + " refused (" + std::to_string(response.status) +
        "): " + response.body);
  }
  return response;
}

ServiceResponse ServiceCore::updateCheck(const ServiceRequest& request) const {
  auto checked = updateQuery(request);
  if (auto* refused = std::get_if<ServiceResponse>(&checked)) {
    return std::move(*refused);
  }
  const UpdateQuery& query = std::get<UpdateQuery>(checked);
  const auto train = config_.trains.find(query.train);
  if (train == config_.trains.end()) {
    return errorResponse(404, "unknown release train \"" + query.train + "\"");
  }
  const Release& release = train->second;
  OrderedJson answer = OrderedJson::object();
  answer["beta"] = release.beta;
  answer["latestBuild"] = release.latestBuild;
  answer["updateAvailable"] = query.buildNumber < release.latestBuild;
  if (release.message) {
    answer["message"] = *release.message;
  }
  return {200, dumpAnswer(answer)};
}

ServiceResponse ServiceCore::postAttachment(const ServiceRequest& request) {
  auto checked = attachmentQuery(request);
  if (auto* refused = std::get_if<ServiceResponse>(&checked)) {
    return std::move(*refused);
  }
  AttachmentQuery& query = std::get<AttachmentQuery>(checked);

  Result<Store::Upload> started = store_.beginUpload();
  if (!started) {
    log("cannot store an upload: " + started.error().description());
    return errorResponse(500, "the attachment could not be stored");
  }
  Store::Upload upload = std::move(started).value();
  bool tooLarge = false;
  bool writeFailed = false;
  const bool complete = !request.body || request.body([&](std::string_view chunk) {
    if (upload.size() + chunk.size() > options_.maxUploadBytes) {
      tooLarge = true;
      return false;
    }
    writeFailed = !upload.append(chunk);
    return !writeFailed;
  });
  if (tooLarge) {
    return errorResponse(
        413, "the attachment is larger than " + std::to_string(options_.maxUploadBytes) + " bytes");
  }
  if (writeFailed) {
    log("cannot write an upload: disk refused the bytes");
    return errorResponse(500, "the attachment could not be stored");
  }
  if (!complete) {
    return badRequest("the request body could not be read");
  }
  Result<AttachmentRecord> committed = store_.commitUpload(
      std::move(upload), query.localId, std::move(query.fileId), std::move(query.extension));
  if (!committed) {
    log("cannot store an upload: " + committed.error().description());
    return errorResponse(500, "the attachment could not be stored");
  }
  OrderedJson answer = OrderedJson::object();
  answer["localId"] = committed->localId;
  answer["attachmentId"] = committed->id;
  answer["name"] = committed->name;
  return {201, dumpAnswer(answer)};
}

ServiceResponse ServiceCore::postReport(const ServiceRequest& request) {
  auto body = readBody(request, options_.maxReportBytes);
  if (auto* refused = std::get_if<ServiceResponse>(&body)) {
    return std::move(*refused);
  }
  auto decoded = decodeReport(std::get<std::string>(body), config_.form);
  if (auto* refused = std::get_if<ServiceResponse>(&decoded)) {
    return std::move(*refused);
  }
  const NewReport& report = std::get<NewReport>(decoded);
  auto stored = store_.insertReport(report);
  if (const auto* rejected = std::get_if<ReportRejected>(&stored)) {
    return errorResponse(422, rejected->message);
  }
  if (const auto* error = std::get_if<Error>(&stored)) {
    log("cannot store a report: " + error->description());
    return errorResponse(500, "the report could not be stored");
  }
  const std::string& id = std::get<std::string>(stored);
  log("stored report " + id + " with " + std::to_string(report.attachments.size()) +
      " attachment(s)");
  OrderedJson answer = OrderedJson::object();
  answer["id"] = id;
  return {201, dumpAnswer(answer)};
}

}  // namespace tessaline::server
