#include "ServiceCore.h"

#include "TextChecks.h"

#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Uuid.h>

#include <openssl/evp.h>
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

// --- Digests and keys

constexpr std::size_t kMaxKeyBytes = 255;

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes) { EVP_DigestUpdate(context_, bytes.data(), bytes.size()); }
  std::string finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
  }

 private:
  EVP_MD_CTX* context_;
};

std::string sha256(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char byte : bytes) {
    text += kDigits[static_cast<unsigned char>(byte) >> 4];
    text += kDigits[static_cast<unsigned char>(byte) & 15];
  }
  return text;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// The sha-256 member of a Repr-Digest dictionary (RFC 9530), if it has one; other algorithms
// are ignored.
Checked<std::optional<std::string>> sha256FromDigestField(std::string_view field) {
  std::optional<std::string> found;
  while (!field.empty()) {
    const std::size_t comma = field.find(',');
    std::string_view member = trimmed(field.substr(0, comma));
    field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
    const std::size_t equals = member.find('=');
    if (!equalsIgnoringCase(trimmed(member.substr(0, equals)), "sha-256")) {
      continue;
    }
    std::string_view value =
        equals == std::string_view::npos ? std::string_view() : member.substr(equals + 1);
    value = trimmed(value.substr(0, value.find(';')));
    std::optional<std::string> bytes;
    if (value.size() >= 2 && value.front() == ':' && value.back() == ':') {
      bytes = base64Decode(value.substr(1, value.size() - 2));
    }
    if (!bytes || bytes->size() != 32 || found) {
      return badRequest("Repr-Digest: sha-256 is not one byte sequence of 32 bytes");
    }
    found = std::move(bytes);
  }
  return found;
}

struct PostHeaders {
  std::optional<std::string> key;
  std::optional<std::string> expectedDigest;  // raw SHA-256
  std::string fingerprint;                    // the request apart from its body
};

ServiceResponse noSpace() {
  return ServiceCore::errorResponse(507, "the service has no room to store this now");
}

ServiceResponse storeFailure(const Error& error, const std::string& message) {
  if (Store::isUnavailable(error)) {
    return ServiceCore::errorResponse(503, "the service cannot reach its database now");
  }
  return Store::isNoSpace(error) ? noSpace() : ServiceCore::errorResponse(500, message);
}

}  // namespace

// --- Bodies

// What every POST shares: the Repr-Digest check and the Idempotency-Key, both over the body's
// SHA-256.
class PostExchange : public ServiceExchange {
 public:
  static Checked<PostHeaders> checkHeaders(const ServiceRequest& request) {
    PostHeaders headers;
    if (const auto key = request.header("Idempotency-Key")) {
      std::string_view text = *key;
      // A structured-field string, or the bare text.
      if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
      }
      const bool visible = std::all_of(text.begin(), text.end(),
                                       [](char c) { return c > 0x20 && c < 0x7f && c != '"'; });
      if (text.empty() || text.size() > kMaxKeyBytes || !visible) {
        return badRequest("Idempotency-Key is not 1 to " + std::to_string(kMaxKeyBytes) +
                          " visible ASCII characters");
      }
      headers.key = std::string(text);
    }
    if (const auto digest = request.header("Repr-Digest")) {
      auto expected = sha256FromDigestField(*digest);
      if (auto* refused = std::get_if<ServiceResponse>(&expected)) {
        return std::move(*refused);
      }
      headers.expectedDigest = std::move(std::get<std::optional<std::string>>(expected));
    }
    // What the key stands for: the endpoint and its query, apart from the body.
    headers.fingerprint = request.method + " " + request.path;
    auto query = request.query;
    std::sort(query.begin(), query.end());
    for (const auto& [name, value] : query) {
      headers.fingerprint += "\n" + std::to_string(name.size()) + ":" + name +
                             std::to_string(value.size()) + ":" + value;
    }
    return headers;
  }

  bool take(std::string_view chunk) final {
    if (refusal_) {
      return false;
    }
    hash_.update(chunk);
    return accept(chunk);
  }

  ServiceResponse finish(bool complete) final { return core_.logged(request_, answer(complete)); }

 protected:
  PostExchange(ServiceCore& core, const ServiceRequest& request, PostHeaders headers)
      : core_(core), headers_(std::move(headers)) {
    request_.method = request.method;
    request_.path = request.path;
  }

  // Takes body bytes; sets refusal_ and returns false to stop.
  virtual bool accept(std::string_view chunk) = 0;
  // Stores what arrived (with the key when there is one) and gives the answer.
  virtual ServiceResponse store(const IdempotencyKey* key) = 0;
  // The answer that what a key stored was given.
  virtual std::optional<ServiceResponse> replay(const KeyUse& use) const = 0;

  ServiceCore& core_;
  std::optional<ServiceResponse> refusal_;

 private:
  ServiceResponse answer(bool complete) {
    if (refusal_) {
      return std::move(*refusal_);
    }
    if (!complete) {
      return badRequest("the request body could not be read");
    }
    const std::string digest = hash_.finish();
    if (headers_.expectedDigest && *headers_.expectedDigest != digest) {
      return badRequest("the request body does not match its Repr-Digest");
    }
    if (!headers_.key) {
      return store(nullptr);
    }
    const IdempotencyKey key{*headers_.key, hex(sha256(headers_.fingerprint + "\n" + digest))};
    if (std::optional<ServiceResponse> earlier = answerSeen(key)) {
      return std::move(*earlier);
    }
    ServiceResponse stored = store(&key);
    // A request with the same key that was stored meanwhile wins; this one stored nothing.
    if (stored.status >= 500) {
      if (std::optional<ServiceResponse> earlier = answerSeen(key)) {
        return std::move(*earlier);
      }
    }
    return stored;
  }

  std::optional<ServiceResponse> answerSeen(const IdempotencyKey& key) {
    Result<std::optional<KeyUse>> use = core_.store_.keyUse(key.key);
    if (!use) {
      core_.log("cannot look up an idempotency key: " + use.error().description());
      return storeFailure(use.error(), "the request could not be checked");
    }
    if (!use.value()) {
      return std::nullopt;
    }
    if (use.value()->fingerprint != key.fingerprint) {
      return ServiceCore::errorResponse(422, "this Idempotency-Key was used for another request");
    }
    if (std::optional<ServiceResponse> earlier = replay(*use.value())) {
      return earlier;
    }
    return ServiceCore::errorResponse(422, "this Idempotency-Key was used for another endpoint");
  }

  ServiceRequest request_;  // method and path, for the log
  PostHeaders headers_;
  Sha256 hash_;
};

class UploadExchange final : public PostExchange {
 public:
  UploadExchange(ServiceCore& core, const ServiceRequest& request, PostHeaders headers,
                 AttachmentQuery query, Store::Upload upload)
      : PostExchange(core, request, std::move(headers)),
        query_(std::move(query)),
        upload_(std::move(upload)) {}

 private:
  bool accept(std::string_view chunk) override {
    const std::uint64_t limit = core_.options_.maxUploadBytes;
    if (upload_.size() + chunk.size() > limit) {
      refusal_ = ServiceCore::errorResponse(
          413, "the attachment is larger than " + std::to_string(limit) + " bytes");
      return false;
    }
    if (!upload_.append(chunk)) {
      core_.log("cannot write an upload: " + upload_.failure()->description());
      refusal_ = storeFailure(*upload_.failure(), "the attachment could not be stored");
      return false;
    }
    return true;
  }

  ServiceResponse store(const IdempotencyKey* key) override {
    Result<AttachmentRecord> committed =
        core_.store_.commitUpload(std::move(upload_), query_.localId, std::move(query_.fileId),
                                  std::move(query_.extension), key);
    if (!committed) {
      core_.log("cannot store an upload: " + committed.error().description());
      return storeFailure(committed.error(), "the attachment could not be stored");
    }
    return answerFor(committed.value());
  }

  std::optional<ServiceResponse> replay(const KeyUse& use) const override {
    return use.attachment ? std::optional(answerFor(*use.attachment)) : std::nullopt;
  }

  static ServiceResponse answerFor(const AttachmentRecord& record) {
    OrderedJson answer = OrderedJson::object();
    answer["localId"] = record.localId;
    answer["attachmentId"] = record.id;
    answer["name"] = record.name;
    return {201, dumpAnswer(answer)};
  }

  AttachmentQuery query_;
  Store::Upload upload_;
};

class ReportExchange final : public PostExchange {
 public:
  ReportExchange(ServiceCore& core, const ServiceRequest& request, PostHeaders headers)
      : PostExchange(core, request, std::move(headers)) {}

 private:
  bool accept(std::string_view chunk) override {
    const std::uint64_t limit = core_.options_.maxReportBytes;
    if (body_.size() + chunk.size() > limit) {
      refusal_ = ServiceCore::errorResponse(
          413, "the request body is larger than " + std::to_string(limit) + " bytes");
      return false;
    }
    body_.append(chunk);
    return true;
  }

  ServiceResponse store(const IdempotencyKey* key) override {
    auto decoded = decodeReport(body_, core_.config_.form);
    if (auto* refused = std::get_if<ServiceResponse>(&decoded)) {
      return std::move(*refused);
    }
    const NewReport& report = std::get<NewReport>(decoded);
    auto stored = core_.store_.insertReport(report, key);
    if (const auto* rejected = std::get_if<ReportRejected>(&stored)) {
      return ServiceCore::errorResponse(422, rejected->message);
    }
    if (const auto* error = std::get_if<Error>(&stored)) {
      core_.log("cannot store a report: " + error->description());
      return storeFailure(*error, "the report could not be stored");
    }
    const std::string& id = std::get<std::string>(stored);
    core_.log("stored report " + id + " with " + std::to_string(report.attachments.size()) +
              " attachment(s)");
    return answerFor(id);
  }

  std::optional<ServiceResponse> replay(const KeyUse& use) const override {
    return use.reportId ? std::optional(answerFor(*use.reportId)) : std::nullopt;
  }

  static ServiceResponse answerFor(const std::string& id) {
    OrderedJson answer = OrderedJson::object();
    answer["id"] = id;
    return {201, dumpAnswer(answer)};
  }

  std::string body_;
};

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
  auto begun = begin(request);
  if (auto* answered = std::get_if<ServiceResponse>(&begun)) {
    return std::move(*answered);
  }
  ServiceExchange& exchange = *std::get<std::unique_ptr<ServiceExchange>>(begun);
  const bool complete = !request.body || request.body([&exchange](std::string_view chunk) {
    return exchange.take(chunk);
  });
  return exchange.finish(complete);
}

ServiceResponse ServiceCore::logged(const ServiceRequest& request, ServiceResponse response) const {
  if (response.status >= 400) {
    log(request.method + " " + request.path + " refused (" + std::to_string(response.status) +
        "): " + response.body);
  }
  return response;
}

std::variant<ServiceResponse, std::unique_ptr<ServiceExchange>> ServiceCore::begin(
    const ServiceRequest& request) {
  if (std::optional<ServiceResponse> refused = refuseEarly(request)) {
    return logged(request, std::move(*refused));
  }
  if (request.path == kConfigPath) {
    return ServiceResponse{200, config_.formJson};
  }
  if (request.path == kUpdateCheckPath) {
    return logged(request, updateCheck(request));
  }
  auto checked = PostExchange::checkHeaders(request);
  if (auto* refused = std::get_if<ServiceResponse>(&checked)) {
    return logged(request, std::move(*refused));
  }
  PostHeaders& headers = std::get<PostHeaders>(checked);
  if (request.path == kAttachmentsPath) {
    auto query = attachmentQuery(request);
    if (auto* refused = std::get_if<ServiceResponse>(&query)) {
      return logged(request, std::move(*refused));
    }
    Result<Store::Upload> started = store_.beginUpload();
    if (!started) {
      log("cannot store an upload: " + started.error().description());
      return logged(request, storeFailure(started.error(), "the attachment could not be stored"));
    }
    return std::unique_ptr<ServiceExchange>(new UploadExchange(
        *this, request, std::move(headers), std::move(std::get<AttachmentQuery>(query)),
        std::move(started).value()));
  }
  return std::unique_ptr<ServiceExchange>(new ReportExchange(*this, request, std::move(headers)));
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

}  // namespace tessaline::server
