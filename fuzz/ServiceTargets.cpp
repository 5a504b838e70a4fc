// tessaline-service: its request core (query values, report bodies, upload bodies) over a real
// store in a temporary data folder made once per process, and the operator's configuration file.

#include "FuzzTarget.h"

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"
#include "TextChecks.h"

#include <Tessaline/records/Uuid.h>
#include <Tessaline/service/AttachmentUploadResponse.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>
#include <Tessaline/service/UpdateCheckResponse.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace tessaline::fuzz {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using server::ServiceConfig;
using server::ServiceCore;
using server::ServiceRequest;
using server::ServiceResponse;
using server::Store;

using Items = std::vector<std::pair<std::string, std::string>>;

// Report bodies may name the upload made at start-up by these placeholders.
constexpr std::string_view kAttachmentIdPlaceholder = "@ATTACHMENT_ID@";
constexpr std::string_view kAttachmentNamePlaceholder = "@ATTACHMENT_NAME@";
constexpr std::string_view kLocalId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

// A data folder on a memory file system when there is one, since every stored request is synced.
fs::path makeDataFolder() {
  std::string base = "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/tessaline-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    violated("cannot create a temporary data folder", pattern);
  }
  return fs::path(pattern);
}

struct Service {
  fs::path folder;
  std::unique_ptr<Store> store;
  std::unique_ptr<ServiceCore> core;
  ServiceConfig config;
  std::string attachmentId;
  std::string attachmentName;

  Service() : folder(makeDataFolder()) {
    std::ifstream file(TESSALINE_FUZZ_SERVICE_CONFIG, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    auto loaded = ServiceConfig::fromJson(text);
    require(loaded.ok(), "the sample service configuration loads");
    config = loaded.value();
    auto opened = Store::open(folder / "data", Store::Mode::service);
    require(opened.ok(), "the store opens", opened ? "" : opened.error().description());
    store = std::move(opened).value();
    // Small limits, so that the size checks are reached.
    core =
        std::make_unique<ServiceCore>(config, *store, server::ServiceOptions{4096, 8192, nullptr});
    const ServiceResponse uploaded = post(
        "/v1/attachments",
        {{"fileId", "System Profile"}, {"localId", std::string(kLocalId)}, {"extension", "spx"}},
        "profile");
    require(uploaded.status == 201, "the start-up upload is stored", uploaded.body);
    const Json answer = Json::parse(uploaded.body);
    attachmentId = answer["attachmentId"];
    attachmentName = answer["name"];
  }
  ~Service() {
    core.reset();
    store.reset();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  ServiceResponse post(std::string path, Items query, std::string body, Items headers = {}) {
    ServiceRequest request;
    request.method = "POST";
    request.path = std::move(path);
    request.query = std::move(query);
    request.headers = std::move(headers);
    request.body = ServiceRequest::bodyOf(std::move(body));
    return core->handle(request);
  }
};

Service& service() {
  static Service instance;
  return instance;
}

// Every answer is a JSON object; a refusal is {"error": text} and nothing else, and never decodes
// as one of the client's answer records. The store never fails here, so a 500 is a fault.
void checkAnswer(const ServiceResponse& response, std::string_view input) {
  const std::string context = "status " + std::to_string(response.status) +
                              "\nbody: " + shown(response.body) + "\ninput: " + shown(input);
  require(response.status != 500, "the service answers without an internal error", context);
  const Json body = Json::parse(response.body, nullptr, false);
  require(body.is_object(), "the answer is a JSON object", context);
  if (response.status >= 400) {
    require(body.size() == 1 && body.contains("error") && body["error"].is_string(),
            "a refusal is {\"error\": text}", context);
    require(!AttachmentUploadResponse::fromJson(response.body).ok() &&
                !FeedbackSubmissionResponse::fromJson(response.body).ok() &&
                !UpdateCheckResponse::fromJson(response.body).ok(),
            "a refusal never decodes as an answer record", context);
  }
}

// The request pieces: one per line, a query item "name=value" (a line without "=" is a name with
// an empty value) or a header "@Name: value".
struct Pieces {
  Items query;
  Items headers;
};

Pieces requestPieces(std::string_view input) {
  Pieces pieces;
  while (!input.empty()) {
    const auto end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    const bool header = line.starts_with('@');
    if (header) {
      line.remove_prefix(1);
    }
    const auto separator = line.find(header ? ':' : '=');
    std::string value;
    if (separator != std::string_view::npos) {
      value = line.substr(separator + 1);
      if (header && value.starts_with(' ')) {
        value.erase(0, 1);
      }
    }
    (header ? pieces.headers : pieces.query)
        .emplace_back(std::string(line.substr(0, separator)), std::move(value));
  }
  return pieces;
}

std::optional<std::string> single(const Items& items, std::string_view name) {
  std::optional<std::string> found;
  for (const auto& [key, value] : items) {
    if (key == name) {
      if (found) {
        return std::nullopt;
      }
      found = value;
    }
  }
  return found;
}

void serviceQuery(std::string_view input) {
  Service& s = service();
  const auto [items, headers] = requestPieces(input);

  ServiceRequest check;
  check.method = "GET";
  check.path = "/v1/updateCheck";
  check.query = items;
  check.headers = headers;
  const ServiceResponse update = s.core->handle(check);
  checkAnswer(update, input);
  if (update.status == 200) {
    auto answer = UpdateCheckResponse::fromJson(update.body);
    require(answer.ok(), "an update answer decodes", update.body);
    const auto train = s.config.trains.find(single(items, "train").value_or(""));
    require(train != s.config.trains.end(), "an update answer is for a known train", update.body);
    const auto build = server::parseInteger(single(items, "buildNumber").value_or(""));
    require(build && answer->latestBuild == train->second.latestBuild &&
                answer->updateAvailable == (*build < train->second.latestBuild),
            "an update is available exactly below the latest build",
            update.body + "\ninput: " + shown(input));
  }

  const ServiceResponse upload = s.post("/v1/attachments", items, "bytes", headers);
  checkAnswer(upload, input);
  if (upload.status == 201) {
    auto answer = AttachmentUploadResponse::fromJson(upload.body);
    require(answer.ok(), "an upload answer decodes", upload.body);
    const auto localId = Uuid::parse(single(items, "localId").value_or(""));
    require(localId && answer->localId == localId->uuidString(),
            "an upload answer carries the canonical local id", upload.body);
    require(!answer->name.empty() && answer->name.find('/') == std::string::npos &&
                answer->name != "." && answer->name != ".." &&
                !server::hasControlCharacters(answer->name),
            "an upload's name is safe as a file name", upload.body);
    auto record = s.store->attachment(answer->attachmentId);
    require(record.ok() && record.value() && record.value()->size == 5 &&
                record.value()->fileId == single(items, "fileId") &&
                record.value()->extension == single(items, "extension"),
            "the upload is stored as sent", upload.body + "\ninput: " + shown(input));
  }
}

std::string replaced(std::string text, std::string_view placeholder, const std::string& value) {
  for (auto at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
  return text;
}

std::optional<std::string> optionalText(const Json& document, const char* key) {
  const auto found = document.find(key);
  if (found == document.end() || found->is_null()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

void serviceReport(std::string_view input) {
  Service& s = service();
  std::string body = replaced(std::string(input), kAttachmentIdPlaceholder, s.attachmentId);
  body = replaced(std::move(body), kAttachmentNamePlaceholder, s.attachmentName);
  const ServiceResponse response = s.post("/v1/reports", {}, body);
  checkAnswer(response, input);
  if (response.status != 201) {
    return;
  }
  auto answer = FeedbackSubmissionResponse::fromJson(response.body);
  require(answer.ok(), "a report answer decodes", response.body);
  auto stored = s.store->report(answer->id);
  require(stored.ok() && stored.value(), "a stored report can be read back", response.body);
  const server::StoredReport& report = *stored.value();

  // What was stored is what was sent.
  const Json sent = Json::parse(body);
  const std::string context = "input: " + shown(input);
  require(report.localId == Uuid::parse(sent["localId"].get<std::string>())->uuidString(),
          "the stored local id is the canonical one", context);
  require(report.reasonId == sent["reasonId"].get<std::int64_t>() &&
              report.frequencyId == sent["frequencyId"].get<std::int64_t>(),
          "the stored ids are the ones sent", context);
  require(report.subject == sent["subject"].get<std::string>(), "the subject is stored whole",
          context + "\nstored: " + shown(report.subject));
  require(report.name == optionalText(sent, "name") && report.email == optionalText(sent, "email"),
          "the contact is stored whole", context);
  require(report.messages.size() == sent["messages"].size(), "every message is stored", context);
  for (std::size_t i = 0; i < report.messages.size(); ++i) {
    require(report.messages[i] == sent["messages"][i]["body"].get<std::string>(),
            "a message is stored whole", context + "\nstored: " + shown(report.messages[i]));
  }
  require(report.attachments.size() == sent["attachments"].size(), "every attachment is linked",
          context);
  for (const auto& attachment : report.attachments) {
    require(attachment.localId == report.localId, "a report links only its own uploads", context);
  }
}

void serviceUpload(std::string_view input) {
  Service& s = service();
  const ServiceResponse response =
      s.post("/v1/attachments",
             {{"fileId", "Custom"}, {"localId", std::string(kLocalId)}, {"extension", "bin"}},
             std::string(input));
  checkAnswer(response, input);
  if (input.size() > 4096) {
    require(response.status == 413, "an upload above the limit is refused", response.body);
    return;
  }
  require(response.status == 201, "an upload within the limit is stored", response.body);
  auto answer = AttachmentUploadResponse::fromJson(response.body);
  require(answer.ok(), "an upload answer decodes", response.body);
  std::ifstream file(s.store->attachmentPath(answer->attachmentId), std::ios::binary);
  const std::string stored{std::istreambuf_iterator<char>(file), {}};
  require(stored == input, "the uploaded bytes are stored unchanged", shown(stored));
  // The file is not needed again; keep the memory file system small.
  std::error_code ignored;
  fs::remove(s.store->attachmentPath(answer->attachmentId), ignored);
}

void serviceConfig(std::string_view input) {
  auto config = ServiceConfig::fromJson(input);
  if (!config) {
    require(!config.error().description().empty(), "a refused configuration says why");
    return;
  }
  auto form = Config::fromJson(config->formJson);
  require(form.ok() && form.value() == config->form,
          "the form is answered as the library encodes it", shown(config->formJson));
  for (const auto& [name, release] : config->trains) {
    require(!name.empty() && !server::hasControlCharacters(name), "train names are printable",
            shown(name));
  }
}

}  // namespace

TESSALINE_FUZZ_TARGET("service-query",
                      "tessaline-service: updateCheck and attachments query items (name=value "
                      "lines)",
                      serviceQuery);
TESSALINE_FUZZ_TARGET("service-report", "tessaline-service: report bodies (POST /v1/reports)",
                      serviceReport);
TESSALINE_FUZZ_TARGET("service-upload", "tessaline-service: upload bodies (POST /v1/attachments)",
                      serviceUpload);
TESSALINE_FUZZ_TARGET("service-config", "tessaline-service: the operator's configuration file",
                      serviceConfig);

}  // namespace tessaline::fuzz
