// The service's request handling and storage, driven directly (no HTTP): the answers, every
// refusal, what is stored (hostile names included), and a PostgreSQL store's failures.

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

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace tessaline::server {
namespace {

using nlohmann::json;
using tessaline::testing::listed;
using tessaline::testing::reportBody;
using tessaline::testing::storeLocation;
using namespace std::string_literals;
using Query = std::vector<std::pair<std::string, std::string>>;

using tessaline::testing::kSampleConfig;

std::string readFile(const std::filesystem::path& path) {
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

// An error answer is {"error": "..."} and nothing else, so the client can never take it for an
// answer record.
void expectRefusal(const ServiceResponse& response, int status, const std::string& fragment = "") {
  EXPECT_EQ(response.status, status) << response.body;
  const json body = json::parse(response.body, nullptr, false);
  ASSERT_TRUE(body.is_object() && body.size() == 1 && body.contains("error") &&
              body["error"].is_string())
      << response.body;
  EXPECT_NE(body["error"].get<std::string>().find(fragment), std::string::npos) << response.body;
}

class ServiceCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<std::unique_ptr<Store>> store =
        Store::open(storeLocation(dataDir()), Store::Mode::service);
    ASSERT_TRUE(store) << store.error().description();
    store_ = std::move(store).value();
    core_ = std::make_unique<ServiceCore>(ServiceConfig::load(kSampleConfig).value(), *store_,
                                          ServiceOptions{});
  }

  std::filesystem::path dataDir() const { return directory_.path() / "data"; }

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

  ServiceResponse get(const std::string& path, Query query = {}, Query headers = {}) {
    return core_->handle({"GET", path, std::move(query), std::move(headers), {}});
  }
  ServiceResponse post(const std::string& path, Query query, std::string body) {
    return core_->handle({"POST", path, std::move(query), {}, ServiceRequest::bodyOf(body)});
  }

  json upload(const std::string& localId, const std::string& bytes,
              const std::string& fileId = "System Profile", const std::string& extension = "spx") {
    const ServiceResponse response =
        post("/v1/attachments",
             {{"fileId", fileId}, {"localId", localId}, {"extension", extension}}, bytes);
    EXPECT_EQ(response.status, 201) << response.body;
    return json::parse(response.body);
  }

  testing::TemporaryDirectory directory_{"tessaline-service-core"};
  std::unique_ptr<Store> store_;
  std::unique_ptr<ServiceCore> core_;
  const std::string localId_ = Uuid::random().uuidString();
};

// The other answers are checked end to end, through the demo.
TEST_F(ServiceCoreTest, AnUpdateAnswerLeavesOutWhatTheTrainDoesNotSay) {
  // A train without a message answers without the key; an unknown build number is -1.
  EXPECT_EQ(json::parse(get("/v1/updateCheck", {{"buildNumber", "-1"}, {"train", "nightly"}}).body),
            json::parse(R"({"beta": true, "latestBuild": 340, "updateAvailable": true})"));
}

// Uploads keep their bytes under a name of the service's, whatever path or SQL metacharacters the
// client's names hold; a report keeps its fields and links in order; the operator's commands show
// its text escaped and export copies, all within their folders.
TEST_F(ServiceCoreTest, ReportsAreStoredAsSentAndNamesNeverBecomePaths) {
  const std::filesystem::path& root = directory_.path();
  std::filesystem::create_directories(root / "outside");
  std::ofstream(root / "outside" / "sentinel") << "untouched";
  const std::string bytes("\0\x01binary\xff payload\r\n", 19);
  std::string lower = localId_;  // taken in either letter case, answered in canonical form
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const json first = upload(lower, bytes, "crash", "ips");
  EXPECT_EQ(first.size(), 3u);
  EXPECT_EQ(first["localId"], localId_);
  EXPECT_EQ(bytesOf(first["attachmentId"]), bytes);
  const json second = upload(localId_, "second", "crash", "ips");
  const json notes = upload(localId_, "", "notes", "");  // listed by no report
  EXPECT_EQ(notes["name"], "notes");
  EXPECT_EQ(bytesOf(notes["attachmentId"]), "");
  const std::string fileId = "x'); DROP TABLE attachments; --";
  const json sql = upload(localId_, "payload", fileId, "%_'\"");
  EXPECT_EQ(sql["name"], fileId + ".%_'\"");
  json attachments = {listed(second), listed(first), listed(sql)};
  for (const std::string& value :
       {"../escaped"s, "../../outside/escaped"s, ".."s, "a/../../../escaped"s,
        "....//....//escaped"s, "..\\..\\escaped"s, "\\\\server\\share\\escaped"s,
        "/tmp/tessaline-abuse-escaped"s, (root / "outside" / "absolute").string(),
        "%2e%2e%2fescaped"s, "escaped\0.txt"s}) {
    for (const char* key : {"fileId", "extension", "localId"}) {
      Query query{{"fileId", "log"}, {"localId", localId_}, {"extension", "txt"}};
      std::ranges::find(query, key, &Query::value_type::first)->second = value;
      const ServiceResponse response = post("/v1/attachments", query, "payload");
      if (response.status != 201) {
        expectRefusal(response, 400);
        continue;
      }
      const json answer = json::parse(response.body);
      const std::string name = answer["name"];
      EXPECT_EQ(name.find_first_of("/\0"s), std::string::npos) << name;
      EXPECT_NE(name.front(), '.') << name;
      attachments.push_back(listed(answer));
    }
  }

  json body = reportBody(localId_, attachments);
  body["subject"] = "red \x1b[31m alert'); DROP TABLE reports;--";
  body["name"] = "O'Brien; UPDATE reports SET subject='x' --";
  body["messages"][0]["body"] = "line one\nline two\x07'; DELETE FROM report_messages /* %_ */";
  const ServiceResponse response = post("/v1/reports", {}, body.dump());
  ASSERT_EQ(response.status, 201) << response.body;
  ASSERT_EQ(json::parse(response.body).size(), 1u);
  const std::string id = json::parse(response.body)["id"];
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(showReport(*store_, id, out, err), 0) << err.str();
  const std::string shown = out.str();
  EXPECT_EQ(shown.find_first_of("\x1b\x07"), std::string::npos);
  for (const std::string& line :
       {"Subject:     red \\x1B[31m alert'); DROP TABLE reports;--\n"s,
        "line one\nline two\\x07'; DELETE"s,
        "Name:        O'Brien; UPDATE reports SET subject='x' --\n"s,
        "crash.ips  19 bytes  " +
            store_->attachmentPath(first["attachmentId"].get<std::string>()).string(),
        "  " + fileId + ".%_'\"  7 bytes"}) {
    EXPECT_NE(shown.find(line), std::string::npos) << line << " in\n" << shown;
  }
  const std::filesystem::path exported = root / "export";
  EXPECT_EQ(exportReport(*store_, id, exported, out, err), 0) << err.str();
  const json document = json::parse(readFile(exported / "report.json"));
  for (const char* key : {"localId", "reasonId", "subject", "messages", "name", "email"}) {
    EXPECT_EQ(document[key], body[key]) << key;
  }
  EXPECT_EQ(document["reasonTitle"], "Audio sounds wrong");
  EXPECT_EQ(document["frequencyTitle"], "Always");
  ASSERT_EQ(document["attachments"].size(), attachments.size());
  EXPECT_EQ(document["attachments"][0]["size"], 6);
  EXPECT_EQ(document["attachments"][1]["id"], first["attachmentId"]);
  // Two attachments with one name are both exported, under different file names.
  EXPECT_EQ(readFile(exported / document["attachments"][0]["file"].get<std::string>()), "second");
  EXPECT_EQ(readFile(exported / document["attachments"][1]["file"].get<std::string>()), bytes);
  EXPECT_EQ(exportReport(*store_, id, exported, out, err), 1);  // nothing is overwritten
  EXPECT_NE(err.str().find("is not empty"), std::string::npos);
  for (const char* missing : {"no-such-report", "%", "_", "' OR '1'='1"}) {
    EXPECT_EQ(showReport(*store_, missing, out, err), 1) << missing;
  }

  // Without contact or messages they stay absent; a reason not in the configuration has no title.
  // A report after the first, so a statement that escaped would have hit something.
  body = reportBody(localId_);
  body.erase("name");
  body["email"] = nullptr;
  body["messages"] = json::array();
  body["reasonId"] = 99;
  const ServiceResponse bare = post("/v1/reports", {}, body.dump());
  ASSERT_EQ(bare.status, 201) << bare.body;
  const auto stored = store_->report(json::parse(bare.body)["id"].get<std::string>());
  ASSERT_TRUE(stored && stored.value());
  EXPECT_FALSE(stored.value()->name || stored.value()->email || stored.value()->reasonTitle);
  EXPECT_TRUE(stored.value()->messages.empty());
  EXPECT_EQ(store_->listReports().value().size(), 2u);
  EXPECT_EQ(sweptUploads(), 1);

  const std::set<std::filesystem::path> expected{
      "data",    "data/attachments", "export", "export/attachments", "export/report.json",
      "outside", "outside/sentinel"};
  std::size_t exportedFiles = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::filesystem::path path = std::filesystem::relative(entry.path(), root);
    const std::string name = path.filename().string();
    if (path.parent_path() == "data/attachments") {
      EXPECT_TRUE(Uuid::parse(name) && Uuid::parse(name)->uuidString() == name) << path;
    } else if (path.parent_path() == "export/attachments") {
      ++exportedFiles;
    } else {
      EXPECT_TRUE(path.parent_path() == "data" || expected.contains(path)) << path;
    }
  }
  EXPECT_EQ(exportedFiles, attachments.size());
  EXPECT_EQ(readFile(root / "outside" / "sentinel"), "untouched");
  EXPECT_FALSE(std::filesystem::exists("/tmp/tessaline-abuse-escaped"));
}

// Each refusal is its status with {"error": text} alone, and none stores anything: not even the
// links of the uploads a refused report lists before the bad one.
TEST_F(ServiceCoreTest, BadRequestsAreRefusedAndStoreNothing) {
  const json mine = upload(localId_, "mine");
  const json theirs = upload(Uuid::random().uuidString(), "theirs");
  const std::string id = localId_;
  const Query file{{"fileId", "a"}, {"localId", id}, {"extension", "spx"}};
  const Query check{{"buildNumber", "310"}, {"train", "stable"}};
  // The query with one item replaced, or removed when the value is absent.
  const auto with = [](Query query, const std::string& key, std::optional<std::string> value) {
    std::erase_if(query, [&](const auto& item) { return item.first == key; });
    if (value) {
      query.emplace_back(key, *value);
    }
    return query;
  };
  const auto update = [&](const std::string& key, std::optional<std::string> value) {
    return get("/v1/updateCheck", with(check, key, std::move(value)));
  };
  const auto attach = [&](const std::string& key, std::optional<std::string> value) {
    return post("/v1/attachments", with(file, key, std::move(value)), "bytes");
  };
  // A report with one field replaced, or removed when the value is discarded.
  const json absent(json::value_t::discarded);
  const auto report = [&](const std::string& key, const json& value) {
    json body = reportBody(localId_);
    value.is_discarded() ? void(body.erase(key)) : void(body[key] = value);
    return post("/v1/reports", {}, body.dump());
  };
  const auto broken = [](const BodySink& sink) {  // the connection breaks after two bytes
    sink("by");
    return false;
  };
  const std::tuple<ServiceResponse, int, std::string> cases[] = {
      {update("buildNumber", {}), 400, "\"buildNumber\" is missing"},
      {update("buildNumber", "31a"), 400, "not an integer"},
      {update("buildNumber", " 310"), 400, "not an integer"},
      {update("buildNumber", "+"), 400, "not an integer"},
      {update("buildNumber", "99999999999999999999"), 400, "not an integer"},
      {update("train", "sta\nble"), 400, "control characters"},
      {update("train", "sta\xc2\x85"s + "ble"), 400, "control characters"},
      {update("train", "st\xff"), 400, "not valid UTF-8"},
      {update("train", std::string(129, 's')), 400, "longer than 128 bytes"},
      {update("train", "canary"), 404, "unknown release train"},
      {attach("fileId", {}), 400, "\"fileId\" is missing"},
      {attach("fileId", ""), 400, "is empty"},
      {attach("localId", id + "0"), 400, "longer than 36"},
      {attach("localId", "{" + id.substr(1)), 400, "not a UUID"},
      {attach("fileId", std::string("a\0b", 3)), 400, "control characters"},
      {attach("extension", "s\x7fx"), 400, "control characters"},
      {attach("fileId", "\xc0\xaf"), 400, "not valid UTF-8"},
      {attach("fileId", "\xed\xa0\x80"), 400, "not valid UTF-8"},
      {attach("fileId", std::string(256, 'f')), 400, "longer than 255"},
      {attach("extension", std::string(65, 'e')), 400, "longer than 64"},
      {post("/v1/attachments",
            {{"fileId", "a"}, {"localId", id}, {"extension", ""}, {"fileId", "b"}}, ""),
       400, "more than once"},
      {core_->handle({"POST", "/v1/attachments", file, {}, broken}), 400, "could not be read"},
      {get("/v1/nothing"), 404, ""},
      {get("/v1/config/"), 404, ""},
      {get("/v1/reports"), 405, ""},
      {get("/v1/config", {}, {{"Content-Length", "5"}}), 400, "no request body"},
      {get("/v1/config", {}, {{"Content-Length", "-5"}}), 400, "Content-Length"},
      {post("/v1/reports", {}, "{\"localId\": "), 400, "not valid JSON"},
      {post("/v1/reports", {}, "[1, 2]"), 400, "not a JSON object"},
      {post("/v1/reports", {}, "{\"subject\": \"\xff\"}"), 400, "not valid UTF-8"},
      {post("/v1/reports", {}, "{\"subject\": \"\xed\xa0\x80\"}"), 400, "not valid UTF-8"},
      {post("/v1/reports", {}, R"({"localId": "\ud800"})"), 400, "not valid JSON"},
      {report("localId", absent), 400, "localId"},
      {report("localId", "123"), 400, "localId: expected a UUID"},
      {report("localId", 5), 400, "localId"},
      {report("reasonId", absent), 400, "reasonId"},
      {report("reasonId", "2"), 400, "reasonId"},
      {report("reasonId", 2.5), 400, "reasonId"},
      {report("reasonId", 18446744073709551615ull), 400, "reasonId"},
      {report("frequencyId", nullptr), 400, "frequencyId"},
      {report("subject", json::array()), 400, "subject"},
      {report("messages", json::object()), 400, "messages"},
      {report("messages", json::array({"text"})), 400, "messages"},
      {report("messages", json::array({json::object()})), 400, "messages[].body"},
      {report("name", 7), 400, "name"},
      {report("attachments", absent), 400, "attachments"},
      {report("attachments", json::array({{{"id", "A"}}})), 400, "attachments[].name"},
      {report("attachments", json::array({listed(mine), listed(mine)})), 400, "more than once"},
      {report("attachments", json::array({{{"id", id}, {"name", "x"}}})), 422,
       "unknown attachment id"},
      {report("attachments", json::array({listed(theirs)})), 422, "uploaded for another report"},
      {report("attachments", json::array({{{"id", mine["attachmentId"]}, {"name", "other.txt"}}})),
       422, "is named"},
      {report("attachments", json::array({listed(mine), {{"id", "missing"}, {"name", "x"}}})), 422,
       ""},
  };
  for (const auto& [response, status, fragment] : cases) {
    expectRefusal(response, status, fragment);
  }
  EXPECT_TRUE(store_->listReports().value().empty());
  EXPECT_EQ(sweptUploads(), 2);
}

// A connection lost in the middle of a request (a real one, cut by the server): that request is
// answered 503 and stores nothing; the next one connects again. A newer schema is refused, not
// touched (SQLite's guard is checked on the binary).
TEST_F(ServiceCoreTest,
       ALostDatabaseConnectionFailsOnlyTheRequestInFlightAndANewerSchemaIsRefused) {
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
  blocker.query("UPDATE tessaline_schema SET version = 9");
  const Result<std::unique_ptr<Store>> newer =
      Store::open(storeLocation(dataDir()), Store::Mode::service);
  ASSERT_FALSE(newer);
  EXPECT_NE(newer.error().description().find("version 9, newer than"), std::string::npos);
}

TEST(ServiceConfigTest, ABadFileIsRefusedWithTheDecodersMessage) {
  const std::string sample = readFile(kSampleConfig);
  ASSERT_TRUE(ServiceConfig::fromJson(sample));
  const auto with = [&](const std::string& key, const json& value) {
    json broken = json::parse(sample);
    broken[key] = value;
    return broken.dump();
  };
  const auto trains = [&](const json& value) { return with("trains", value); };
  json form = json::parse(sample)["form"];
  form.erase("minBuildNumberBeta");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {with("form", form), "form: " + Config::fromJson(form.dump()).error().description()},
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
