// tessaline-service over real connections: requests a server must refuse, kept-alive
// connections, a flood of stalled connections, idempotent submissions and a graceful stop.

#include "support/RawHttpConnection.h"
#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::RawHttpConnection;
using testing::ServiceProcess;
using namespace std::chrono_literals;

const std::string kSampleConfig = TESSALINE_SOURCE_DIR "/server/sample-service-config.json";

std::string post(const std::string& target, const std::string& body,
                 const std::string& headers = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kGetConfig = "GET /v1/config HTTP/1.1\r\nHost: x\r\n\r\n";

std::string digestOf(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return "Repr-Digest: sha-256=:" +
         base64Encode(std::string_view(reinterpret_cast<char*>(digest), sizeof digest)) + ":\r\n";
}

bool isJsonError(const std::string& answer) {
  const json body = json::parse(testing::bodyOf(answer), nullptr, false);
  return body.is_object() && body.size() == 1 && body.contains("error");
}

class ServiceHttpTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    if (ServiceProcess::binary().empty()) {
      GTEST_SKIP() << "this build has no tessaline-service";
    }
    std::vector<std::string> arguments{"--port",        "0",        "--data",
                                       data().string(), "--config", kSampleConfig};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::string failure;
    service_ = ServiceProcess::start(arguments, &failure);
    ASSERT_TRUE(service_) << failure;
  }
  std::filesystem::path data() const { return directory_.path() / "data"; }
  std::size_t storedFiles() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(data() / "attachments")) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  }
  std::string uploadTarget(const std::string& localId, const std::string& fileId = "log") {
    return "/v1/attachments?fileId=" + fileId + "&localId=" + localId + "&extension=txt";
  }
  static std::string report(const std::string& localId, const std::string& subject = "Crash") {
    return json{{"localId", localId},        {"reasonId", 1},
                {"frequencyId", 2},          {"subject", subject},
                {"messages", json::array()}, {"attachments", json::array()}}
        .dump();
  }
  // Uploads and reports over one kept-alive connection; true when both were stored.
  bool submit(RawHttpConnection& connection) {
    const std::string localId = Uuid::random().uuidString();
    if (!connection.send(post(uploadTarget(localId), "log lines"))) {
      return false;
    }
    const json uploaded = json::parse(testing::bodyOf(connection.answer()), nullptr, false);
    if (!uploaded.is_object() || !uploaded.contains("attachmentId")) {
      return false;
    }
    json body = json::parse(report(localId));
    body["attachments"] = {{{"id", uploaded["attachmentId"]}, {"name", uploaded["name"]}}};
    return connection.send(post("/v1/reports", body.dump())) &&
           testing::statusOf(connection.answer()) == 201;
  }

  testing::TemporaryDirectory directory_{"tessaline-service-http"};
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ServiceHttpTest, AmbiguousOrOversizedHeadsAreRefusedAndTheConnectionClosed) {
  start();
  std::string manyFields;
  for (int index = 0; index < 101; ++index) {
    manyFields += "X-F" + std::to_string(index) + ": v\r\n";
  }
  const std::string reportHead = "POST /v1/reports HTTP/1.1\r\nHost: x\r\n";
  const std::vector<std::pair<std::string, int>> cases = {
      {reportHead + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {reportHead + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
      {reportHead + "Transfer-Encoding: gzip, chunked, gzip\r\n\r\n", 400},
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\nX-Folded: a\r\n b\r\n\r\n", 400},
      {"GET /v1/config HTTP/1.1\r\n" + manyFields + "\r\n", 431},
      {"GET /v1/config HTTP/1.1\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n", 431},
      {"GET /v1/config?" + std::string(9000, 'q') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414},
  };
  for (const auto& [request, status] : cases) {
    SCOPED_TRACE(request.substr(0, 80));
    RawHttpConnection connection(service_->port());
    connection.send(request);
    const std::string answer = connection.answer();
    EXPECT_EQ(testing::statusOf(answer), status) << answer;
    EXPECT_TRUE(isJsonError(answer)) << answer;
    EXPECT_TRUE(connection.closedByServer());
  }
}

TEST_F(ServiceHttpTest, KeptAliveConnectionsSurviveRefusalsAndDrainBodies) {
  start({"--max-upload-bytes", "16"});
  const std::string localId = Uuid::random().uuidString();
  RawHttpConnection connection(service_->port());
  // A refused body, small enough to drain, leaves the connection usable; the next request on it
  // is answered, and none of the drained bytes count as a request.
  const std::vector<std::pair<std::string, int>> sequence = {
      {kGetConfig, 200},
      {post(uploadTarget(localId), std::string(20, 'x') + kGetConfig), 413},
      {post("/v1/nowhere", kGetConfig), 404},
      {"POST " + uploadTarget(localId) +
           " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
           "20\r\n" +
           std::string(32, 'x') + "\r\n0\r\n\r\n",
       413},
      {post(uploadTarget(localId), "fits"), 201},
      {kGetConfig + kGetConfig, 200},  // pipelined: two answers
  };
  for (const auto& [request, status] : sequence) {
    ASSERT_TRUE(connection.send(request));
    EXPECT_EQ(testing::statusOf(connection.answer()), status) << request.substr(0, 60);
  }
  EXPECT_EQ(testing::statusOf(connection.answer()), 200);
  EXPECT_EQ(storedFiles(), 1u);
  // A refused body too large to drain: answered before it is sent, then the connection closes.
  connection.send("POST " + uploadTarget(localId) +
                  " HTTP/1.1\r\nHost: x\r\nContent-Length: 3000000\r\n\r\n");
  EXPECT_EQ(testing::statusOf(connection.answer()), 413);
  EXPECT_TRUE(connection.closedByServer());
}

// Stalled half-heads from one address hold no worker: ordinary clients are served meanwhile,
// and a connection past the per-address cap gets a 503.
TEST_F(ServiceHttpTest, AFloodOfStalledConnectionsDoesNotStarveOthers) {
  start({"--threads", "2", "--max-connections-per-address", "300"});
  std::vector<std::unique_ptr<RawHttpConnection>> stalled;
  for (int index = 0; index < 300; ++index) {
    stalled.push_back(std::make_unique<RawHttpConnection>(service_->port(), "127.0.0.2"));
    stalled.back()->send("POST /v1/reports HTTP/1.1\r\nHo");
  }
  RawHttpConnection ordinary(service_->port());
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(submit(ordinary));
  }
  RawHttpConnection overCap(service_->port(), "127.0.0.2");
  const std::string refused = overCap.answer();
  EXPECT_EQ(testing::statusOf(refused), 503) << refused;
  EXPECT_TRUE(isJsonError(refused));
  EXPECT_TRUE(overCap.closedByServer());
}

TEST_F(ServiceHttpTest, RepeatedSubmissionsAreStoredOnce) {
  start();
  const std::string localId = Uuid::random().uuidString();
  const std::string upload = uploadTarget(localId);
  struct Case {
    std::string target, body, headers;
    int status;
    bool sameAsFirst;  // the answer of the first case with this key, byte for byte
  };
  const std::vector<Case> cases = {
      {upload, "bytes", "Idempotency-Key: u1\r\n" + digestOf("bytes"), 201, false},
      {upload, "bytes", "Idempotency-Key: \"u1\"\r\n", 201, true},
      {upload, "other", "Idempotency-Key: u1\r\n", 422, false},
      {uploadTarget(localId, "b"), "bytes", "Idempotency-Key: u1\r\n", 422, false},
      {upload, "bytes", digestOf("other"), 400, false},
      {upload, "bytes", "Repr-Digest: sha-256=:bm90IDMyIGJ5dGVz:\r\n", 400, false},
      {upload, "bytes", "Idempotency-Key: \"\"\r\n", 400, false},
      {"/v1/reports", report(localId), "Idempotency-Key: r1\r\n", 201, false},
      {"/v1/reports", report(localId), "Idempotency-Key: r1\r\n" + digestOf(report(localId)), 201,
       true},
      {"/v1/reports", report(localId, "Other"), "Idempotency-Key: r1\r\n", 422, false},
  };
  RawHttpConnection connection(service_->port());
  std::string first;
  for (const Case& each : cases) {
    SCOPED_TRACE(each.headers + each.body);
    ASSERT_TRUE(connection.send(post(each.target, each.body, each.headers)));
    const std::string answer = connection.answer();
    EXPECT_EQ(testing::statusOf(answer), each.status) << answer;
    if (each.sameAsFirst) {
      EXPECT_EQ(testing::bodyOf(answer), testing::bodyOf(first));
    } else if (each.status == 201) {
      first = answer;
    } else {
      EXPECT_TRUE(isJsonError(answer)) << answer;
    }
  }
  EXPECT_EQ(storedFiles(), 1u);
  const auto list = testing::runServiceCommand({"list", "--data", data().string()});
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1) << list.out;
}

TEST_F(ServiceHttpTest, SigtermFinishesWhatIsInFlightAndExitsCleanly) {
  start();
  RawHttpConnection idle(service_->port());
  idle.send(kGetConfig);
  ASSERT_EQ(testing::statusOf(idle.answer()), 200);
  RawHttpConnection inFlight(service_->port());
  const std::string localId = Uuid::random().uuidString();
  inFlight.send("POST " + uploadTarget(localId) +
                " HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nhalf ");
  // The upload has begun once its file exists.
  for (int wait = 0; wait < 200 && storedFiles() == 0; ++wait) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(storedFiles(), 1u);
  ASSERT_EQ(::kill(service_->pid(), SIGTERM), 0);
  EXPECT_TRUE(idle.closedByServer());
  inFlight.send("done!");
  const std::string answer = inFlight.answer();
  EXPECT_EQ(testing::statusOf(answer), 201) << answer;
  EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  EXPECT_EQ(service_->terminate(), 0) << service_->errorOutput();
  service_.reset();
  EXPECT_EQ(storedFiles(), 1u);
}

}  // namespace
}  // namespace tessaline
