// The tessaline-service binary on loopback: the four endpoints over HTTP and HTTPS, refusals as
// the client sees them, operator commands, orphan removal, restarts and the start-up checks.

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Config.h>
#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <source_location>
#include <sstream>
#include <thread>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::runServiceCommand;
using testing::ServiceProcess;
using testing::TemporaryDirectory;
using namespace std::chrono_literals;

using testing::kSampleConfig;
const std::string kCertificateDir = TESSALINE_TEST_CERT_DIR;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string encoded(const std::string& text) {
  return httplib::detail::encode_query_param(text);
}

void expectErrorBody(const httplib::Result& result, int status,
                     std::source_location where = std::source_location::current()) {
  SCOPED_TRACE(::testing::Message() << "request at line " << where.line());
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, status) << result->body;
  const json body = json::parse(result->body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << result->body;
  EXPECT_EQ(body.size(), 1u) << result->body;
  EXPECT_TRUE(body.contains("error")) << result->body;
  for (const char* answerKey : {"id", "attachmentId", "latestBuild", "localId", "name"}) {
    EXPECT_FALSE(body.contains(answerKey)) << result->body;
  }
}

// Sends the parts on a fresh connection, pausing between them so the service reads them
// separately, and returns everything it answers until it closes the connection or stays silent
// for a few seconds.
std::string rawExchange(int port, const std::vector<std::string>& parts) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    for (const std::string& part : parts) {
      ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
      answer.append(buffer, static_cast<std::size_t>(count));
    }
  }
  ::close(fd);
  return answer;
}

std::size_t countOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServiceProcess::binary().empty()) {
      GTEST_SKIP() << "this build has no tessaline-service";
    }
    // A refused upload may be closed while the client still writes it.
    ::signal(SIGPIPE, SIG_IGN);
  }

  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->terminate(), 0) << service_->errorOutput();
    }
  }

  std::filesystem::path dataDir() const { return directory_.path() / "data"; }
  std::filesystem::path attachmentsDir() const { return dataDir() / "attachments"; }

  std::vector<std::string> arguments(std::vector<std::string> extra = {}) const {
    std::vector<std::string> all{"--port",           "0",        "--data",
                                 dataDir().string(), "--config", kSampleConfig};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  void start(std::vector<std::string> extra = {}) {
    std::string failure;
    service_ = ServiceProcess::start(arguments(std::move(extra)), &failure);
    ASSERT_TRUE(service_) << failure;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
    client_->set_read_timeout(60, 0);
  }

  json upload(const std::string& localId, const std::string& bytes,
              const std::string& fileId = "System Profile", const std::string& extension = "spx") {
    const auto result =
        client_->Post("/v1/attachments?fileId=" + encoded(fileId) + "&localId=" + localId +
                          "&extension=" + encoded(extension),
                      bytes, "application/octet-stream");
    EXPECT_TRUE(result);
    if (!result) {
      return json();
    }
    EXPECT_EQ(result->status, 201) << result->body;
    return json::parse(result->body, nullptr, false);
  }

  static json reportBody(const std::string& localId, const json& attachments = json::array()) {
    return {{"localId", localId},
            {"reasonId", 1},
            {"frequencyId", 2},
            {"subject", "It crashed while exporting"},
            {"messages", {{{"body", "Export to WAV crashes.\n\nmacOS 14.1 (23B74)"}}}},
            {"name", "Ann Example"},
            {"email", "ann@example.org"},
            {"attachments", attachments}};
  }

  std::string postReport(const json& body) {
    const auto result = client_->Post("/v1/reports", body.dump(), "application/json");
    EXPECT_TRUE(result);
    if (!result) {
      return {};
    }
    EXPECT_EQ(result->status, 201) << result->body;
    const json answer = json::parse(result->body, nullptr, false);
    return answer.is_object() && answer.contains("id") ? answer["id"].get<std::string>() : "";
  }

  std::size_t attachmentFileCount() const {
    std::error_code ignored;
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(attachmentsDir(), ignored),
                      std::filesystem::directory_iterator()));
  }

  TemporaryDirectory directory_{"tessaline-service"};
  std::unique_ptr<ServiceProcess> service_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServiceTest, AReportTravelsOverHttpAndTheOperatorShowsIt) {
  start();
  const auto config = client_->Get("/v1/config");
  ASSERT_TRUE(config);
  EXPECT_EQ(Config::fromJson(config->body).value().reasons.size(), 3u);

  const std::string localId = Uuid::random().uuidString();
  std::string bytes(64 * 1024, '\0');
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    bytes[index] = static_cast<char>(index * 7 % 251);
  }
  const json attachment = upload(localId, bytes, "System Profile", "spx");
  ASSERT_TRUE(attachment.is_object());
  EXPECT_EQ(attachment["localId"], localId);
  EXPECT_EQ(attachment["name"], "System Profile.spx");
  const std::string id = postReport(
      reportBody(localId, {{{"id", attachment["attachmentId"]}, {"name", attachment["name"]}}}));
  ASSERT_FALSE(id.empty());

  // The demo's tests export and list what it sent; here the operator shows a report.
  const auto show = runServiceCommand({"show", id, "--data", dataDir().string()});
  EXPECT_EQ(show.exitCode, 0) << show.err;
  const std::string storedPath =
      (attachmentsDir() / attachment["attachmentId"].get<std::string>()).string();
  for (const std::string& expected :
       std::vector<std::string>{"Reason:      1 (Something crashed)", "Frequency:   2 (Sometimes)",
                                "Name:        Ann Example", "Email:       ann@example.org",
                                "Export to WAV crashes.\n\nmacOS 14.1 (23B74)",
                                "System Profile.spx  65536 bytes  " + storedPath}) {
    EXPECT_NE(show.out.find(expected), std::string::npos) << expected << "\n" << show.out;
  }
  EXPECT_EQ(readFile(storedPath), bytes);

  const auto unknown = runServiceCommand({"show", "nope", "--data", dataDir().string()});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.err.find("no report with id nope"), std::string::npos);
}

TEST_F(ServiceTest, RefusalsCarryOnlyAnErrorAndStoreNothing) {
  start({"--max-upload-bytes", "1024"});
  const std::string localId = Uuid::random().uuidString();
  const std::string query = "/v1/attachments?fileId=log&localId=" + localId + "&extension=txt";

  // What the HTTP layer adds to the core's refusals: sizes declared or streamed, compression,
  // methods and lengths the routes never see.
  const std::string streamed(4096, 'y');
  json big = reportBody(localId);
  big["messages"][0]["body"] = std::string(1024 * 1024, 'm');
  const std::pair<httplib::Result, int> refusals[] = {
      {client_->Post(query, std::string(1025, 'x'), "application/octet-stream"), 413},
      {client_->Post(
           query,
           [&](std::size_t, httplib::DataSink& sink) {
             sink.write(streamed.data(), streamed.size());
             sink.done();
             return true;
           },
           "application/octet-stream"),
       413},
      {client_->Post("/v1/reports", big.dump(), "application/json"), 413},
      {client_->Post(query, {{"Content-Encoding", "gzip"}}, "\x1f\x8b", 2,
                     "application/octet-stream"),
       415},
      {client_->Post("/v1/attachments?fileId=%FF&localId=" + localId + "&extension=", "x",
                     "application/octet-stream"),
       400},
      {client_->Post("/v1/reports", "{\"localId\":", "application/json"), 400},
      {client_->Post(
           "/v1/reports",
           reportBody(localId, {{{"id", Uuid::random().uuidString()}, {"name", "x"}}}).dump(),
           "application/json"),
       422},
      {client_->Get("/v1/updateCheck?buildNumber=1&train=unknown"), 404},
      {client_->Get("/v1/missing"), 404},
      {client_->Put("/v1/reports", "{}", "application/json"), 405},
      {client_->Get("/v1/config?" + std::string(9000, 'q')), 414},
  };
  for (const auto& [result, status] : refusals) {
    expectErrorBody(result, status);
  }

  // The connection is still usable after a refusal, and nothing was stored.
  EXPECT_EQ(client_->Get("/v1/config")->status, 200);
  EXPECT_EQ(attachmentFileCount(), 0u);
  const auto list = runServiceCommand({"list", "--data", dataDir().string()});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out, "");

  // An upload exactly at the limit is taken.
  EXPECT_EQ(upload(localId, std::string(1024, 'z'))["attachmentId"].is_string(), true);
}

TEST_F(ServiceTest, TheRestOfABodyIsNeverTakenForARequest) {
  start({"--max-upload-bytes", "16"});
  const std::string localId = Uuid::random().uuidString();
  const std::string report = reportBody(localId).dump();
  const std::string hidden =
      "POST /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Type: "
      "application/json\r\nContent-Length: " +
      std::to_string(report.size()) + "\r\n\r\n" + report;
  auto chunk = [](const std::string& data) {
    std::ostringstream text;
    text << std::hex << data.size() << "\r\n" << data << "\r\n";
    return text.str();
  };
  auto declared = [](const std::string& head, const std::string& body) {
    return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  };
  const std::string upload =
      "POST /v1/attachments?fileId=a&localId=" + localId + "&extension=txt HTTP/1.1\r\nHost: x\r\n";
  const std::vector<std::vector<std::string>> exchanges = {
      // Refused before the body is read: compressed, too large, a bad query.
      {declared(upload + "Content-Encoding: gzip\r\n", hidden), hidden},
      {declared(upload, std::string(20, 'x') + hidden), std::string(20, 'x') + hidden},
      {declared("POST /v1/attachments?fileId=a&localId=x&extension= HTTP/1.1\r\nHost: x\r\n",
                hidden),
       hidden},
      // A body where none is taken, and a route that does not exist.
      {declared("GET /v1/config HTTP/1.1\r\nHost: x\r\n", hidden), hidden},
      {declared("POST /v1/elsewhere HTTP/1.1\r\nHost: x\r\n", hidden), hidden},
      // Refused mid-stream: a later chunk holds a whole report request.
      {upload + "Transfer-Encoding: chunked\r\n\r\n",
       chunk(std::string(32, 'x')) + chunk(hidden) + "0\r\n\r\n"},
  };
  for (const auto& parts : exchanges) {
    SCOPED_TRACE(parts[0]);
    const std::string answer = rawExchange(service_->port(), parts);
    EXPECT_EQ(countOf(answer, "HTTP/1.1 "), 1u) << parts[0] << "\n" << answer;
    EXPECT_EQ(answer.find("\"id\""), std::string::npos) << answer;
  }
  const auto list = runServiceCommand({"list", "--data", dataDir().string()});
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(attachmentFileCount(), 0u);

  // A post without a length has an empty body.
  const std::string empty = rawExchange(
      service_->port(),
      {upload.substr(0, upload.find("&extension")) + "&extension= HTTP/1.1\r\nHost: x\r\n\r\n"});
  EXPECT_NE(empty.find("HTTP/1.1 201"), std::string::npos) << empty;
  const std::string noLength =
      rawExchange(service_->port(), {"POST /v1/reports HTTP/1.1\r\nHost: x\r\n\r\n"});
  EXPECT_NE(noLength.find("HTTP/1.1 400"), std::string::npos) << noLength;
}

TEST_F(ServiceTest, StartUpChecksRefuseBadSettings) {
  // Plain HTTP only on loopback.
  auto refused = runServiceCommand(arguments({"--bind", "0.0.0.0"}));
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("plain HTTP is served on loopback only"), std::string::npos)
      << refused.err;
  refused = runServiceCommand(arguments({"--cert", kCertificateDir + "/server.pem"}));
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("--cert and --key go together"), std::string::npos) << refused.err;
  refused = runServiceCommand({"--port", "0", "--data", dataDir().string()});
  EXPECT_EQ(refused.exitCode, 2);

  // A form the library cannot decode stops the service with the decoder's message.
  json config = json::parse(readFile(kSampleConfig));
  config["form"]["reasons"][0]["crashLogs"] = "Required";
  const Result<Config> verdict = Config::fromJson(config["form"].dump());
  ASSERT_FALSE(verdict);
  const auto badConfig = directory_.write("bad.json", config.dump());
  refused = runServiceCommand(
      {"--port", "0", "--data", dataDir().string(), "--config", badConfig.string()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find(verdict.error().description()), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("listening"), std::string::npos);

  // One service per data folder; an interrupt stops it cleanly.
  start();
  refused = runServiceCommand(arguments());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("another tessaline-service is using"), std::string::npos)
      << refused.err;
  ASSERT_EQ(::kill(service_->pid(), SIGINT), 0);
  EXPECT_EQ(service_->terminate(), 0);  // already ending; exits 0 either way
  service_.reset();

  // A newer schema is not touched.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dataDir() / "tessaline.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  refused = runServiceCommand(arguments());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("schema version 7, newer than this tessaline-service"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(runServiceCommand({"list", "--data", dataDir().string()}).exitCode, 1);
}

TEST_F(ServiceTest, UnreferencedUploadsAreRemovedAfterTheGracePeriod) {
  // Left by an earlier run that crashed mid-upload: removed at start.
  std::filesystem::create_directories(attachmentsDir());
  const std::string stray = Uuid::random().uuidString();
  std::ofstream(attachmentsDir() / stray) << "half an upload";

  start({"--orphan-grace", "1"});
  EXPECT_FALSE(std::filesystem::exists(attachmentsDir() / stray));

  const std::string localId = Uuid::random().uuidString();
  const json orphan = upload(localId, "never reported");
  const json kept = upload(localId, "reported", "App Logs", "zip");
  ASSERT_FALSE(
      postReport(reportBody(localId, {{{"id", kept["attachmentId"]}, {"name", kept["name"]}}}))
          .empty());
  const auto orphanPath = attachmentsDir() / orphan["attachmentId"].get<std::string>();
  EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(orphanPath); }, 60s));
  EXPECT_TRUE(std::filesystem::exists(attachmentsDir() / kept["attachmentId"].get<std::string>()));
  // A report can no longer use the removed upload.
  expectErrorBody(
      client_->Post(
          "/v1/reports",
          reportBody(localId, {{{"id", orphan["attachmentId"]}, {"name", orphan["name"]}}}).dump(),
          "application/json"),
      422);
}

}  // namespace
}  // namespace tessaline
