// The service's request handling and storage, driven directly (no HTTP): every refusal, what is
// stored, orphan removal and the schema guard.

#include "OperatorCommands.h"
#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Config.h>
#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace tessaline::server {
namespace {

using nlohmann::json;
using tessaline::testing::storeLocation;
using tessaline::testing::TemporaryDirectory;
using namespace std::string_literals;
using Query = std::vector<std::pair<std::string, std::string>>;

Query operator+(Query query, const Query& more) {
  query.insert(query.end(), more.begin(), more.end());
  return query;
}

const std::string kSampleConfig = TESSALINE_SOURCE_DIR "/server/sample-service-config.json";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An error answer is {"error": "..."} and nothing else, so the client can never take it for an
// answer record.
void expectRefusal(const ServiceResponse& response, int status, const std::string& fragment = "") {
  EXPECT_EQ(response.status, status) << response.body;
  const json body = json::parse(response.body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << response.body;
  ASSERT_EQ(body.size(), 1u) << response.body;
  ASSERT_TRUE(body.contains("error") && body["error"].is_string()) << response.body;
  EXPECT_NE(body["error"].get<std::string>().find(fragment), std::string::npos) << response.body;
}

class ServiceCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { open(ServiceOptions{}); }

  void open(ServiceOptions options) {
    core_.reset();
    store_.reset();
    Result<std::unique_ptr<Store>> store =
        Store::open(storeLocation(dataDir()), Store::Mode::service);
    ASSERT_TRUE(store) << store.error().description();
    store_ = std::move(store).value();
    Result<ServiceConfig> config = ServiceConfig::load(kSampleConfig);
    ASSERT_TRUE(config) << config.error().description();
    config_ = config.value();
    core_ = std::make_unique<ServiceCore>(config.value(), *store_, std::move(options));
  }

  std::filesystem::path dataDir() const { return directory_.path() / "data"; }
  std::filesystem::path attachmentsDir() const { return dataDir() / "attachments"; }

  // Removes, and counts, the uploads no report uses and whatever an upload left behind.
  int sweptUploads() {
    const Result<OrphanSweep> sweep = store_->removeOrphans(std::chrono::milliseconds(0), false);
    EXPECT_TRUE(sweep) << sweep.error().description();
    return sweep ? sweep->attachmentsRemoved + sweep->strayFilesRemoved : -1;
  }
  std::string bytesOf(const std::string& attachmentId) {
    Result<std::shared_ptr<const AttachmentFile>> file = store_->attachmentFile(attachmentId);
    return file ? readFile(file.value()->path) : "(" + file.error().description() + ")";
  }

  ServiceResponse get(const std::string& path, Query query = {}) {
    ServiceRequest request;
    request.method = "GET";
    request.path = path;
    request.query = std::move(query);
    return core_->handle(request);
  }

  ServiceResponse post(const std::string& path, Query query, std::string body,
                       std::vector<std::pair<std::string, std::string>> headers = {}) {
    ServiceRequest request;
    request.method = "POST";
    request.path = path;
    request.query = std::move(query);
    request.headers = std::move(headers);
    request.body = ServiceRequest::bodyOf(std::move(body));
    return core_->handle(request);
  }

  // Uploads and returns the answer's fields.
  json upload(const std::string& localId, const std::string& bytes,
              const std::string& fileId = "System Profile", const std::string& extension = "spx") {
    const ServiceResponse response =
        post("/v1/attachments",
             {{"fileId", fileId}, {"localId", localId}, {"extension", extension}}, bytes);
    EXPECT_EQ(response.status, 201) << response.body;
    return json::parse(response.body);
  }

  static json reportBody(const std::string& localId, const json& attachments = json::array()) {
    return {{"localId", localId},
            {"reasonId", 2},
            {"frequencyId", 1},
            {"subject", "Crackling audio"},
            {"messages", {{{"body", "It crackles after sleep.\n\nMacBookPro18,1"}}}},
            {"name", "Ann Example"},
            {"email", "ann@example.org"},
            {"attachments", attachments}};
  }

  TemporaryDirectory directory_{"tessaline-service-core"};
  std::unique_ptr<Store> store_;
  ServiceConfig config_;
  std::unique_ptr<ServiceCore> core_;
  const std::string localId_ = Uuid::random().uuidString();
};

TEST_F(ServiceCoreTest, TheConfigurationAndUpdateAnswersComeFromTheOperatorsFile) {
  const ServiceResponse response = get("/v1/config");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(Config::fromJson(response.body).value(), config_.form);
  json answer =
      json::parse(get("/v1/updateCheck", {{"buildNumber", "310"}, {"train", "stable"}}).body);
  EXPECT_EQ(answer, json::parse(R"({"beta": false, "latestBuild": 320, "updateAvailable": true,
      "message": "Version 2.5 is ready: faster exports and a new mixer."})"));
  answer = json::parse(get("/v1/updateCheck", {{"buildNumber", "320"}, {"train", "stable"}}).body);
  EXPECT_FALSE(answer["updateAvailable"].get<bool>());
  // A train without a message answers without the key; an unknown build number is -1.
  answer = json::parse(get("/v1/updateCheck", {{"buildNumber", "-1"}, {"train", "nightly"}}).body);
  EXPECT_EQ(answer, json::parse(R"({"beta": true, "latestBuild": 340, "updateAvailable": true})"));
}

TEST_F(ServiceCoreTest, UploadStoresTheBytesUnderAServiceChosenName) {
  const std::string bytes("\0\x01binary\xff payload\r\n", 19);
  const json answer = upload(Uuid::parse(localId_)->uuidString(), bytes);
  EXPECT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer["localId"], localId_);
  EXPECT_EQ(answer["name"], "System Profile.spx");
  const std::string id = answer["attachmentId"];
  ASSERT_TRUE(Uuid::parse(id));
  EXPECT_EQ(bytesOf(id), bytes);

  // The local id is taken in either letter case and answered in canonical form; an empty body
  // and an empty extension are fine.
  std::string lower = localId_;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const json empty = upload(lower, "", "notes", "");
  EXPECT_EQ(empty["localId"], localId_);
  EXPECT_EQ(empty["name"], "notes");
  EXPECT_EQ(bytesOf(empty["attachmentId"]), "");

  // Client names never become paths.
  const json named = upload(localId_, "x", "../../etc/passwd", "sh/../x");
  const std::string name = named["name"];
  EXPECT_EQ(name.find('/'), std::string::npos) << name;
  EXPECT_NE(name.rfind(".", 0), 0u) << name;
  EXPECT_EQ(sweptUploads(), 3);
  EXPECT_FALSE(std::filesystem::exists(directory_.path() / "etc"));
}

TEST_F(ServiceCoreTest, BadQueryValuesAndRoutesAreRefusedAndStoreNothing) {
  const std::string id = localId_;
  const Query upload{{"fileId", "a"}, {"localId", id}, {"extension", "spx"}};
  const Query check{{"buildNumber", "310"}, {"train", "stable"}};
  // The query with one item replaced, or removed when the value is absent.
  const auto with = [](Query query, const std::string& key, std::optional<std::string> value) {
    std::erase_if(query, [&](const auto& item) { return item.first == key; });
    if (value) {
      query.emplace_back(key, *value);
    }
    return query;
  };
  struct Case {
    std::string method, path;
    Query query;
    int status;
    std::string fragment;
  };
  const Case cases[] = {
      {"GET", "/v1/updateCheck", with(check, "buildNumber", {}), 400, "\"buildNumber\" is missing"},
      {"GET", "/v1/updateCheck", with(check, "train", {}), 400, "\"train\" is missing"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", ""), 400, "is empty"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", "31a"), 400, "not an integer"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", " 310"), 400, "not an integer"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", "+"), 400, "not an integer"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", "99999999999999999999"), 400,
       "not an integer"},
      {"GET", "/v1/updateCheck", with(check, "train", "sta\nble"), 400, "control characters"},
      {"GET", "/v1/updateCheck",
       with(check, "train",
            "sta\xc2\x85"
            "ble"),
       400, "control characters"},
      {"GET", "/v1/updateCheck", with(check, "train", "st\xff"), 400, "not valid UTF-8"},
      {"GET", "/v1/updateCheck", with(check, "train", std::string(129, 's')), 400,
       "longer than 128 bytes"},
      {"GET", "/v1/updateCheck", with(check, "buildNumber", "1") + Query{{"buildNumber", "2"}}, 400,
       "more than once"},
      {"GET", "/v1/updateCheck", with(check, "train", "canary"), 404, "unknown release train"},
      {"POST", "/v1/attachments", with(upload, "fileId", {}), 400, "\"fileId\" is missing"},
      {"POST", "/v1/attachments", with(upload, "localId", {}), 400, "\"localId\" is missing"},
      {"POST", "/v1/attachments", with(upload, "extension", {}), 400, "\"extension\" is missing"},
      {"POST", "/v1/attachments", with(upload, "fileId", ""), 400, "is empty"},
      {"POST", "/v1/attachments", with(upload, "localId", "not-a-uuid"), 400, "not a UUID"},
      {"POST", "/v1/attachments", with(upload, "localId", id + "0"), 400, "longer than 36"},
      {"POST", "/v1/attachments", with(upload, "localId", "{" + id.substr(1)), 400, "not a UUID"},
      {"POST", "/v1/attachments", with(upload, "fileId", std::string("a\0b", 3)), 400,
       "control characters"},
      {"POST", "/v1/attachments", with(upload, "extension", "s\x7fx"), 400, "control characters"},
      {"POST", "/v1/attachments", with(upload, "fileId", "\xc0\xaf"), 400, "not valid UTF-8"},
      {"POST", "/v1/attachments", with(upload, "fileId", "\xed\xa0\x80"), 400, "not valid UTF-8"},
      {"POST", "/v1/attachments", with(upload, "fileId", std::string(256, 'f')), 400,
       "longer than 255"},
      {"POST", "/v1/attachments", with(upload, "extension", std::string(65, 'e')), 400,
       "longer than 64"},
      {"POST", "/v1/attachments", upload + Query{{"fileId", "b"}}, 400, "more than once"},
      {"GET", "/v1/nothing", {}, 404, ""},
      {"GET", "/v1/config/", {}, 404, ""},
      {"GET", "/v1/reports", {}, 405, ""},
      {"POST", "/v1/config", {}, 405, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.fragment);
    expectRefusal(c.method == "GET" ? get(c.path, c.query) : post(c.path, c.query, "bytes"),
                  c.status, c.fragment);
  }
  ServiceRequest request;
  request.method = "GET";
  request.path = "/v1/config";
  request.headers = {{"Content-Length", "5"}};
  expectRefusal(core_->handle(request), 400, "no request body");
  request.headers = {{"Content-Length", "-5"}};
  expectRefusal(core_->handle(request), 400, "Content-Length");
  EXPECT_EQ(sweptUploads(), 0);
}

TEST_F(ServiceCoreTest, BodiesTooLargeCompressedOrCutShortAreRefusedAndLeaveNothing) {
  ServiceOptions options;
  options.maxUploadBytes = 1000;
  open(options);
  const Query query{{"fileId", "log"}, {"localId", localId_}, {"extension", "txt"}};
  // Streams 300-byte chunks until refused, counting them; -1 chunks means the stream breaks.
  const auto chunks = [](int* read, int count) {
    return [read, count](const BodySink& sink) {
      for (int chunk = 0; chunk < std::abs(count); ++chunk) {
        ++*read;
        if (!sink(std::string(300, 'x'))) {
          return false;
        }
      }
      return count > 0;
    };
  };
  struct Case {
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    int chunks;
    int status;
    std::string fragment;
    int chunksRead;
  };
  const Case cases[] = {
      // Without a declared length: refused once the streamed bytes pass the limit.
      {"/v1/attachments", {}, 100, 413, "larger than 1000 bytes", 4},
      // With a declared length, or compressed: refused before a byte is read.
      {"/v1/attachments", {{"content-length", "1001"}}, 100, 413, "larger than 1000 bytes", 0},
      {"/v1/reports",
       {{"Content-Length", std::to_string(1024 * 1024 + 1)}},
       100,
       413,
       "larger than 1048576 bytes",
       0},
      {"/v1/attachments", {{"Content-Encoding", "gzip"}}, 1, 415, "compressed", 0},
      {"/v1/reports", {{"Content-Encoding", "gzip"}}, 1, 415, "compressed", 0},
      // The connection broke.
      {"/v1/attachments", {}, -1, 400, "could not be read", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.fragment);
    int read = 0;
    ServiceRequest request;
    request.method = "POST";
    request.path = c.path;
    request.query = query;
    request.headers = c.headers;
    request.body = chunks(&read, c.chunks);
    EXPECT_EQ(core_->refuseEarly(request).has_value(), c.chunksRead == 0);
    expectRefusal(core_->handle(request), c.status, c.fragment);
    EXPECT_EQ(read, c.chunksRead);
  }
  EXPECT_EQ(sweptUploads(), 0);
  json body = reportBody(localId_);
  body["messages"][0]["body"] = std::string(1024 * 1024, 'm');
  expectRefusal(post("/v1/reports", {}, body.dump()), 413, "larger than 1048576 bytes");
  EXPECT_TRUE(store_->listReports().value().empty());

  // Exactly at the limit is fine, and "identity" is no compression.
  EXPECT_EQ(
      post("/v1/attachments", query, std::string(1000, 'x'), {{"content-encoding", "identity"}})
          .status,
      201);
  EXPECT_EQ(sweptUploads(), 1);
}

TEST_F(ServiceCoreTest, AReportIsStoredWithItsMessagesContactAndAttachments) {
  const json first = upload(localId_, "profile bytes");
  const json second = upload(localId_, "log bytes", "App Logs", "zip");
  const json attachments = {{{"id", second["attachmentId"]}, {"name", second["name"]}},
                            {{"id", first["attachmentId"]}, {"name", first["name"]}}};
  const ServiceResponse response =
      post("/v1/reports", {}, reportBody(localId_, attachments).dump());
  ASSERT_EQ(response.status, 201) << response.body;
  const json answer = json::parse(response.body);
  ASSERT_EQ(answer.size(), 1u);
  const std::string id = answer["id"];

  Result<std::optional<StoredReport>> stored = store_->report(id);
  ASSERT_TRUE(stored && stored.value());
  const StoredReport& report = *stored.value();
  EXPECT_EQ(report.localId, localId_);
  EXPECT_EQ(report.reasonId, 2);
  EXPECT_EQ(report.reasonTitle, "Audio sounds wrong");
  EXPECT_EQ(report.frequencyTitle, "Always");
  EXPECT_EQ(report.subject, "Crackling audio");
  EXPECT_EQ(report.messages,
            std::vector<std::string>{"It crackles after sleep.\n\nMacBookPro18,1"});
  EXPECT_EQ(report.name, "Ann Example");
  EXPECT_EQ(report.email, "ann@example.org");
  ASSERT_EQ(report.attachments.size(), 2u);
  EXPECT_EQ(report.attachments[0].name, "App Logs.zip");
  EXPECT_EQ(report.attachments[0].size, 9);
  EXPECT_EQ(report.attachments[1].id, first["attachmentId"]);

  // Without contact or attachments they stay absent.
  json body = reportBody(localId_);
  body.erase("name");
  body["email"] = nullptr;
  body["messages"] = json::array();
  body["reasonId"] = 99;  // not in the configuration: stored without a title
  const ServiceResponse bare = post("/v1/reports", {}, body.dump());
  ASSERT_EQ(bare.status, 201) << bare.body;
  stored = store_->report(json::parse(bare.body)["id"].get<std::string>());
  ASSERT_TRUE(stored && stored.value());
  EXPECT_FALSE(stored.value()->name);
  EXPECT_FALSE(stored.value()->email);
  EXPECT_FALSE(stored.value()->reasonTitle);
  EXPECT_TRUE(stored.value()->messages.empty());
}

TEST_F(ServiceCoreTest, MalformedReportsAreRefusedAndNothingIsStored) {
  const json valid = reportBody(localId_);
  auto with = [&](const std::string& key, const json& value) {
    json body = valid;
    body[key] = value;
    return body.dump();
  };
  auto without = [&](const std::string& key) {
    json body = valid;
    body.erase(key);
    return body.dump();
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"localId\": ", "not valid JSON"},
      {"", "not valid JSON"},
      {"[1, 2]", "not a JSON object"},
      {"{\"subject\": \"\xff\"}", "not valid UTF-8"},
      {"{\"subject\": \"\xed\xa0\x80\"}", "not valid UTF-8"},
      {R"({"localId": "\ud800"})", "not valid JSON"},
      {without("localId"), "localId"},
      {with("localId", "123"), "localId: expected a UUID"},
      {with("localId", 5), "localId"},
      {without("reasonId"), "reasonId"},
      {with("reasonId", "2"), "reasonId"},
      {with("reasonId", 2.5), "reasonId"},
      {with("reasonId", 18446744073709551615ull), "reasonId"},
      {with("frequencyId", nullptr), "frequencyId"},
      {without("subject"), "subject"},
      {with("subject", json::array()), "subject"},
      {without("messages"), "messages"},
      {with("messages", json::object()), "messages"},
      {with("messages", json::array({"text"})), "messages"},
      {with("messages", json::array({json::object()})), "messages[].body"},
      {with("name", 7), "name"},
      {with("email", false), "email"},
      {without("attachments"), "attachments"},
      {with("attachments", json::array({{{"id", "A"}}})), "attachments[].name"},
      {with("attachments",
            json::array({{{"id", "A"}, {"name", "a"}}, {{"id", "A"}, {"name", "a"}}})),
       "more than once"},
  };
  for (const auto& [body, fragment] : cases) {
    SCOPED_TRACE(body);
    expectRefusal(post("/v1/reports", {}, body), 400, fragment);
  }
  const Result<std::vector<ReportSummary>> reports = store_->listReports();
  ASSERT_TRUE(reports);
  EXPECT_TRUE(reports.value().empty());
}

TEST_F(ServiceCoreTest, ReportsMayOnlyUseTheirOwnUploads) {
  const json mine = upload(localId_, "mine");
  const json theirs = upload(Uuid::random().uuidString(), "theirs");
  expectRefusal(
      post("/v1/reports", {},
           reportBody(localId_, {{{"id", Uuid::random().uuidString()}, {"name", "x"}}}).dump()),
      422, "unknown attachment id");
  expectRefusal(
      post("/v1/reports", {},
           reportBody(localId_, {{{"id", theirs["attachmentId"]}, {"name", theirs["name"]}}})
               .dump()),
      422, "uploaded for another report");
  expectRefusal(
      post("/v1/reports", {},
           reportBody(localId_, {{{"id", mine["attachmentId"]}, {"name", "other.txt"}}}).dump()),
      422, "is named");
  // A refused report leaves no part behind: not even the links of the attachments listed before
  // the bad one.
  expectRefusal(post("/v1/reports", {},
                     reportBody(localId_, {{{"id", mine["attachmentId"]}, {"name", mine["name"]}},
                                           {{"id", "missing"}, {"name", "x"}}})
                         .dump()),
                422);
  const Result<std::vector<ReportSummary>> reports = store_->listReports();
  ASSERT_TRUE(reports);
  EXPECT_TRUE(reports.value().empty());
  Result<OrphanSweep> sweep = store_->removeOrphans(std::chrono::milliseconds(0), false);
  ASSERT_TRUE(sweep);
  EXPECT_EQ(sweep->attachmentsRemoved, 2);
}

TEST_F(ServiceCoreTest, OrphanedUploadsAndStrayFilesAreRemoved) {
  const json orphan = upload(localId_, "orphan");
  const json kept = upload(localId_, "kept");
  ASSERT_EQ(
      post("/v1/reports", {},
           reportBody(localId_, {{{"id", kept["attachmentId"]}, {"name", kept["name"]}}}).dump())
          .status,
      201);
  // A file a crash left without its record, and a file that is not the service's.
  const std::string stray = Uuid::random().uuidString();
  std::ofstream(attachmentsDir() / stray) << "stray";
  std::ofstream(attachmentsDir() / "README") << "operator's note";
  // An upload still in flight.
  Result<Store::Upload> inFlight = store_->beginUpload();
  ASSERT_TRUE(inFlight);
  ASSERT_TRUE(inFlight->append("streaming"));

  // Within the grace period nothing goes, except stray files at start.
  Result<OrphanSweep> sweep = store_->removeOrphans(std::chrono::hours(1), true);
  ASSERT_TRUE(sweep) << sweep.error().description();
  EXPECT_EQ(sweep->attachmentsRemoved, 0);
  EXPECT_EQ(sweep->strayFilesRemoved, 1);
  EXPECT_FALSE(std::filesystem::exists(attachmentsDir() / stray));

  sweep = store_->removeOrphans(std::chrono::milliseconds(0), false);
  ASSERT_TRUE(sweep);
  EXPECT_EQ(sweep->attachmentsRemoved, 1);
  const std::string orphanId = orphan["attachmentId"];
  EXPECT_FALSE(std::filesystem::exists(store_->attachmentPath(orphanId)));
  const auto orphanRecord = store_->attachment(orphanId);
  ASSERT_TRUE(orphanRecord);
  EXPECT_FALSE(orphanRecord.value());
  EXPECT_TRUE(
      std::filesystem::exists(store_->attachmentPath(kept["attachmentId"].get<std::string>())));
  EXPECT_TRUE(std::filesystem::exists(attachmentsDir() / "README"));
  EXPECT_TRUE(std::filesystem::exists(store_->attachmentPath(inFlight->id())));

  Result<AttachmentRecord> committed =
      store_->commitUpload(std::move(inFlight).value(), localId_, "late", "txt");
  ASSERT_TRUE(committed);
  EXPECT_EQ(readFile(store_->attachmentPath(committed->id)), "streaming");

  // An upload dropped before its commit removes its file.
  std::string dropped;
  {
    Result<Store::Upload> upload = store_->beginUpload();
    ASSERT_TRUE(upload && upload->append("partial"));
    dropped = upload->id();
    EXPECT_TRUE(std::filesystem::exists(store_->attachmentPath(dropped)));
  }
  EXPECT_FALSE(std::filesystem::exists(store_->attachmentPath(dropped)));
}

// The lock and the schema guard are checked on the binary, where an operator meets them.
TEST_F(ServiceCoreTest, OperatorsReadWhileTheServiceRunsButNeverWithoutADatabase) {
  Result<std::unique_ptr<Store>> reader =
      Store::open(storeLocation(dataDir()), Store::Mode::readOnly);
  ASSERT_TRUE(reader) << reader.error().description();
  Result<std::unique_ptr<Store>> missing =
      Store::open(storeLocation(directory_.path() / "elsewhere"), Store::Mode::readOnly);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().description().find("no reports database"), std::string::npos);
  if (testing::usesPostgres()) {  // SQLite's schema guard is checked on the binary
    testing::PostgresClient(storeLocation(dataDir()))
        .query("UPDATE tessaline_schema SET version = 9");
    Result<std::unique_ptr<Store>> newer =
        Store::open(storeLocation(dataDir()), Store::Mode::service);
    ASSERT_FALSE(newer);
    EXPECT_NE(newer.error().description().find("version 9, newer than"), std::string::npos);
  }
}

TEST_F(ServiceCoreTest, OperatorCommandsShowEscapedTextAndExportCopies) {
  const json first = upload(localId_, "first", "crash", "ips");
  const json second = upload(localId_, "second", "crash", "ips");
  json body = reportBody(localId_, {{{"id", first["attachmentId"]}, {"name", first["name"]}},
                                    {{"id", second["attachmentId"]}, {"name", second["name"]}}});
  body["subject"] = "red \x1b[31m alert";
  body["name"] = "O'Brien; UPDATE reports SET subject='x' --";
  body["messages"][0]["body"] = "line one\nline two\x07";
  const ServiceResponse response = post("/v1/reports", {}, body.dump());
  ASSERT_EQ(response.status, 201);
  const std::string id = json::parse(response.body)["id"];

  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(showReport(*store_, id, out, err), 0) << err.str();
  const std::string shown = out.str();
  EXPECT_EQ(shown.find('\x1b'), std::string::npos);
  EXPECT_EQ(shown.find('\x07'), std::string::npos);
  EXPECT_NE(shown.find("Subject:     red \\x1B[31m alert"), std::string::npos) << shown;
  EXPECT_NE(shown.find("line one\nline two\\x07"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Name:        O'Brien; UPDATE reports SET subject='x' --\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("crash.ips  5 bytes  " +
                       store_->attachmentPath(first["attachmentId"].get<std::string>()).string()),
            std::string::npos)
      << shown;

  const std::filesystem::path exported = directory_.path() / "export";
  EXPECT_EQ(exportReport(*store_, id, exported, out, err), 0) << err.str();
  const json document = json::parse(readFile(exported / "report.json"));
  EXPECT_EQ(document["subject"], "red \x1b[31m alert");
  ASSERT_EQ(document["attachments"].size(), 2u);
  // Two attachments with one name are both exported, under different file names.
  const std::string firstFile = document["attachments"][0]["file"];
  const std::string secondFile = document["attachments"][1]["file"];
  EXPECT_NE(firstFile, secondFile);
  EXPECT_EQ(readFile(exported / firstFile), "first");
  EXPECT_EQ(readFile(exported / secondFile), "second");

  // Nothing is overwritten.
  EXPECT_EQ(exportReport(*store_, id, exported, out, err), 1);
  EXPECT_NE(err.str().find("is not empty"), std::string::npos);
  for (const char* missing : {"no-such-report", "%", "_", "' OR '1'='1"}) {
    EXPECT_EQ(showReport(*store_, missing, out, err), 1) << missing;
  }
}

// A connection lost in the middle of a request (a real one, cut by the server): that request is
// answered 503 and stores nothing; the next one connects again.
TEST_F(ServiceCoreTest, ALostDatabaseConnectionFailsOnlyTheRequestInFlight) {
  if (!testing::usesPostgres()) {
    GTEST_SKIP() << "a PostgreSQL store only";
  }
  testing::PostgresClient blocker(storeLocation(dataDir()));
  blocker.query("BEGIN");
  blocker.query("SELECT pg_advisory_xact_lock(7461002)");  // the lock every report insert takes
  ServiceResponse lost;
  std::thread request([&] { lost = post("/v1/reports", {}, reportBody(localId_).dump()); });
  const std::string waiting =
      "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND "
      "application_name = 'tessaline-service' AND wait_event_type = 'Lock'";
  for (int tries = 0; tries < 600 && blocker.query(waiting).empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(blocker.query("SELECT count(pg_terminate_backend(pid)) FROM (" + waiting + ") w"), "1");
  blocker.query("ROLLBACK");
  request.join();
  expectRefusal(lost, 503, "cannot reach its database");
  EXPECT_EQ(post("/v1/reports", {}, reportBody(localId_).dump()).status, 201);
  EXPECT_EQ(store_->listReports().value().size(), 1u);
}

TEST(ServiceConfigTest, ABadFileIsRefusedWithTheDecodersMessage) {
  const std::string sample = readFile(kSampleConfig);
  ASSERT_TRUE(ServiceConfig::fromJson(sample));

  json document = json::parse(sample);
  document["form"].erase("minBuildNumberBeta");
  const Result<Config> libraryVerdict = Config::fromJson(document["form"].dump());
  ASSERT_FALSE(libraryVerdict);
  const Result<ServiceConfig> verdict = ServiceConfig::fromJson(document.dump());
  ASSERT_FALSE(verdict);
  EXPECT_EQ(verdict.error().description(), "form: " + libraryVerdict.error().description());

  // The sample with its trains replaced.
  const auto trains = [&](const json& value) {
    json broken = json::parse(sample);
    broken["trains"] = value;
    return broken.dump();
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{", "not a valid JSON document"},
      {"[]", "expected a JSON object"},
      {R"({"trains": {}})", "form: missing"},
      {R"({"form": 3, "trains": {}})", "form: "},
      // Refused as such, not by exhausting the stack.
      {R"({"trains": {}, "form": )" + std::string(100000, '[') + std::string(100000, ']') + "}",
       "nested deeper than 64 levels"},
      {trains(nullptr), "trains: expected an object"},
      {trains({{"stable", {{"latestBuild", "320"}}}}), "trains.stable.latestBuild"},
      {trains({{"stable", {{"beta", true}}}}), "trains.stable.latestBuild"},
      {trains({{"stable", {{"latestBuild", 320}, {"beta", "no"}}}}), "trains.stable.beta"},
      {trains({{"stable", {{"latestBuild", 320}, {"message", 1}}}}), "trains.stable.message"},
      {trains({{"stable", 320}}), "trains.stable: expected an object"},
  };
  for (const auto& [text, fragment] : cases) {
    const Result<ServiceConfig> refused = ServiceConfig::fromJson(text);
    ASSERT_FALSE(refused) << fragment;
    EXPECT_NE(refused.error().description().find(fragment), std::string::npos)
        << refused.error().description();
  }
}

}  // namespace
}  // namespace tessaline::server
