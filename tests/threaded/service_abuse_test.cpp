// The tessaline-service binary under hostile and broken clients: paths smuggled into query values,
// bodies that are too large or cut short, clients that trickle or stall, invalid UTF-8, SQL
// metacharacters, and a kill while several clients submit at once.

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/Url.h>
#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::runServiceCommand;
using testing::ServiceProcess;
using testing::TemporaryDirectory;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using testing::kSampleConfig;
const std::string kCertificateDir = TESSALINE_TEST_CERT_DIR;

// RFC 3986 encoding of every byte that is not unreserved, as the client sends query values.
std::string encoded(std::string_view text) {
  return percentEncodeQueryValue(text);
}

// A plain TCP connection to the service on loopback.
class Connection {
 public:
  explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }
  void endWriting() { ::shutdown(fd_, SHUT_WR); }
  // True once the service has closed its side (or reset the connection); what it sent before
  // is appended to `answer`.
  bool closedByService(std::string& answer, std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd readable{fd_, POLLIN, 0};
      if (::poll(&readable, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
        return false;
      }
      char buffer[4096];
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count <= 0) {
        return count == 0 || (errno != EAGAIN && errno != EINTR);
      }
      answer.append(buffer, static_cast<std::size_t>(count));
    }
  }
  // Everything the service answers until it closes the connection, at most `wait`.
  std::string answer(std::chrono::milliseconds wait = 20s) {
    std::string text;
    closedByService(text, wait);
    return text;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string exchange(int port, std::string_view request) {
  Connection connection(port);
  if (!connection.connected()) {
    return {};
  }
  // One request per connection: the service would keep it open for the next.
  std::string closing(request);
  closing.insert(closing.find("\r\n") + 2, "Connection: close\r\n");
  connection.send(closing);
  return connection.answer();
}

int statusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

json bodyOf(const std::string& answer) {
  const std::size_t start = answer.find("\r\n\r\n");
  return start == std::string::npos ? json()
                                    : json::parse(answer.substr(start + 4), nullptr, false);
}

bool isJsonError(const std::string& answer) {
  const json body = bodyOf(answer);
  return statusOf(answer) >= 400 && statusOf(answer) < 500 && body.is_object() &&
         body.size() == 1 && body.contains("error") && body["error"].is_string();
}

std::string chunk(std::string_view data) {
  std::ostringstream text;
  text << std::hex << data.size() << "\r\n" << data << "\r\n";
  return text.str();
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every path below the root, relative to it.
std::set<std::string> fileTree(const std::filesystem::path& root) {
  std::set<std::string> paths;
  std::error_code error;
  for (auto entry = std::filesystem::recursive_directory_iterator(root, error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    paths.insert(std::filesystem::relative(entry->path(), root).string());
  }
  return paths;
}

bool isCanonicalUuid(const std::string& text) {
  const std::optional<Uuid> uuid = Uuid::parse(text);
  return uuid && uuid->uuidString() == text;
}

json reportBody(const std::string& localId, const json& attachments = json::array()) {
  return {{"localId", localId},
          {"reasonId", 1},
          {"frequencyId", 2},
          {"subject", "It crashed while exporting"},
          {"messages", {{{"body", "Export to WAV crashes."}}}},
          {"name", "Ann Example"},
          {"email", "ann@example.org"},
          {"attachments", attachments}};
}

std::string postRequest(const std::string& target, std::string_view body,
                        const std::string& extraHeaders = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

class ServiceAbuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServiceProcess::binary().empty()) {
      GTEST_SKIP() << "this build has no tessaline-service";
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(root() / "outside");
    std::ofstream(root() / "outside" / "sentinel") << "untouched";
  }

  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->terminate(), 0) << service_->errorOutput();
    }
  }

  const std::filesystem::path& root() const { return directory_.path(); }
  std::filesystem::path dataDir() const { return root() / "data"; }
  std::filesystem::path attachmentsDir() const { return dataDir() / "attachments"; }

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"--port",           "0",        "--data",
                                       dataDir().string(), "--config", kSampleConfig};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::string failure;
    service_ = ServiceProcess::start(arguments, &failure);
    ASSERT_TRUE(service_) << failure;
  }
  int port() const { return service_->port(); }

  std::string attachmentTarget(const std::string& fileId, const std::string& localId,
                               const std::string& extension) const {
    return "/v1/attachments?fileId=" + encoded(fileId) + "&localId=" + encoded(localId) +
           "&extension=" + encoded(extension);
  }

  json upload(const std::string& localId, const std::string& bytes,
              const std::string& fileId = "log", const std::string& extension = "txt") {
    const std::string answer =
        exchange(port(), postRequest(attachmentTarget(fileId, localId, extension), bytes));
    EXPECT_EQ(statusOf(answer), 201) << answer;
    return bodyOf(answer);
  }

  std::string postReport(const json& report) {
    const std::string answer = exchange(
        port(), postRequest("/v1/reports", report.dump(), "Content-Type: application/json\r\n"));
    EXPECT_EQ(statusOf(answer), 201) << answer;
    const json body = bodyOf(answer);
    return body.is_object() && body.contains("id") ? body["id"].get<std::string>() : "";
  }

  // The service still answers an ordinary request.
  void expectStillServing() {
    const std::string answer = exchange(port(), "GET /v1/config HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(statusOf(answer), 200) << answer;
  }

  void expectNothingStored() {
    EXPECT_EQ(fileTree(attachmentsDir()), std::set<std::string>());
    const auto list = runServiceCommand({"list", "--data", dataDir().string()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "");
  }

  TemporaryDirectory directory_{"tessaline-service-abuse"};
  std::unique_ptr<ServiceProcess> service_;
};

// --- Paths smuggled into query values

TEST_F(ServiceAbuseTest, PathsInQueryValuesNeverReachOutsideTheDataFolder) {
  start();
  const std::string absoluteInside = (root() / "outside" / "absolute").string();
  const std::vector<std::string> hostile = {
      "../escaped",
      "../../outside/escaped",
      "..",
      ".",
      "a/../../../escaped",
      "....//....//escaped",
      "..\\..\\escaped",
      "\\\\server\\share\\escaped",
      "/tmp/tessaline-abuse-escaped",
      absoluteInside,
      "%2e%2e%2fescaped",  // arrives as this text: one decoding only
      "%252e%252e%252fescaped",
      std::string("escaped\0.txt", 12),
      "..%00/escaped",
  };
  const std::set<std::string> before = fileTree(root());
  const std::string localId = Uuid::random().uuidString();
  int refused = 0;
  int stored = 0;
  std::vector<json> storedUploads;

  auto judge = [&](const std::string& what, const std::string& answer) {
    SCOPED_TRACE(what);
    if (statusOf(answer) == 201) {
      const json body = bodyOf(answer);
      ASSERT_TRUE(body.is_object()) << answer;
      const std::string id = body["attachmentId"].get<std::string>();
      const std::string name = body["name"].get<std::string>();
      EXPECT_TRUE(isCanonicalUuid(id)) << id;
      EXPECT_EQ(name.find('/'), std::string::npos) << name;
      EXPECT_NE(name.front(), '.') << name;
      EXPECT_EQ(name.find('\0'), std::string::npos);
      EXPECT_EQ(readFile(attachmentsDir() / id), "payload");
      storedUploads.push_back(body);
      ++stored;
    } else {
      EXPECT_TRUE(isJsonError(answer)) << answer;
      ++refused;
    }
  };

  for (const std::string& value : hostile) {
    for (const bool raw : {false, true}) {
      // Raw: the value's bytes as they are in the request line (a blank would end it).
      auto put = [raw](const std::string& text) {
        return raw && text.find(' ') == std::string::npos ? text : encoded(text);
      };
      const std::vector<std::string> targets = {
          "/v1/attachments?fileId=" + put(value) + "&localId=" + localId + "&extension=txt",
          "/v1/attachments?fileId=log&localId=" + localId + "&extension=" + put(value),
          "/v1/attachments?fileId=log&localId=" + put(value) + "&extension=txt",
      };
      for (const std::string& target : targets) {
        judge(target, exchange(port(), postRequest(target, "payload")));
      }
      for (const std::string& target :
           {"/v1/updateCheck?buildNumber=" + put(value) + "&train=stable",
            "/v1/updateCheck?buildNumber=310&train=" + put(value)}) {
        const std::string answer =
            exchange(port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(isJsonError(answer)) << target << "\n" << answer;
        ++refused;
      }
    }
  }
  // Paths in the URL's path itself.
  for (const std::string& target : std::vector<std::string>{
           "/v1/../v1/attachments?fileId=a&localId=" + localId + "&extension=txt",
           "/v1/%2e%2e/%2e%2e/outside/x", "/../../etc/passwd", "/v1/attachments/../reports"}) {
    const std::string answer = exchange(port(), postRequest(target, "payload"));
    if (statusOf(answer) != 201) {
      EXPECT_TRUE(isJsonError(answer)) << target << "\n" << answer;
    }
  }
  expectStillServing();

  // A report that lists the uploads with their hostile names, exported by the operator: every
  // file lands in the export folder.
  json attachments = json::array();
  for (const json& uploaded : storedUploads) {
    attachments.push_back({{"id", uploaded["attachmentId"]}, {"name", uploaded["name"]}});
  }
  const std::string reportId = postReport(reportBody(localId, attachments));
  ASSERT_FALSE(reportId.empty());
  const std::filesystem::path exported = root() / "export";
  const auto exportResult =
      runServiceCommand({"export", reportId, exported.string(), "--data", dataDir().string()});
  EXPECT_EQ(exportResult.exitCode, 0) << exportResult.err;

  const std::set<std::string> after = fileTree(root());
  std::size_t exportedFiles = 0;
  for (const std::string& path : after) {
    if (before.contains(path)) {
      continue;
    }
    const std::filesystem::path relative(path);
    const std::string top = relative.begin()->string();
    const std::string name = relative.filename().string();
    if (top == "export") {
      exportedFiles += relative.parent_path() == "export/attachments" ? 1 : 0;
      EXPECT_TRUE(relative == "export" || relative == "export/attachments" ||
                  relative == "export/report.json" ||
                  relative.parent_path() == "export/attachments")
          << path;
      continue;
    }
    EXPECT_EQ(top, "data") << path;
    if (relative.parent_path() == "data/attachments") {
      EXPECT_TRUE(isCanonicalUuid(name)) << path;
    } else {
      EXPECT_TRUE(relative.parent_path() == "data" || relative == "data") << path;
    }
  }
  EXPECT_EQ(exportedFiles, storedUploads.size());
  EXPECT_EQ(readFile(root() / "outside" / "sentinel"), "untouched");
  EXPECT_FALSE(std::filesystem::exists("/tmp/tessaline-abuse-escaped"));
  EXPECT_FALSE(std::filesystem::exists(absoluteInside));
  EXPECT_FALSE(std::filesystem::exists(root() / "escaped"));
  std::cout << "path probes: " << refused << " refused with a JSON error, " << stored
            << " stored under a service-chosen name, 0 files outside the data folder\n";
}

// --- Bodies that are too large or cut short

TEST_F(ServiceAbuseTest, OversizedAndTruncatedBodiesStoreNothing) {
  start({"--max-upload-bytes", "4096", "--read-timeout", "2"});
  const std::string localId = Uuid::random().uuidString();
  const std::string target = attachmentTarget("log", localId, "txt");
  const std::string report = reportBody(localId).dump();
  const std::string chunkedUpload =
      "POST " + target + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunkedReport =
      "POST /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";

  struct Case {
    std::string name;
    std::string request;
    bool closeAfterSending;  // the client stops writing; otherwise it waits for the answer
  };
  std::string bigReport = chunkedReport;
  for (int index = 0; index < 17; ++index) {
    bigReport += chunk(std::string(64 * 1024, ' '));
  }
  bigReport += "0\r\n\r\n";
  std::string bigUpload = chunkedUpload;
  for (int index = 0; index < 3; ++index) {
    bigUpload += chunk(std::string(2000, 'u'));
  }
  bigUpload += "0\r\n\r\n";
  const std::vector<Case> cases = {
      {"chunked upload over the limit", bigUpload, false},
      {"chunked report over the limit", bigReport, false},
      {"declared report over the limit",
       postRequest("/v1/reports", std::string(1024 * 1024 + 1, ' ')), false},
      {"upload shorter than its length",
       "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n\r\n" +
           std::string(100, 'u'),
       true},
      {"report shorter than its length",
       "POST /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(report.size() + 10) + "\r\n\r\n" + report,
       true},
      {"upload cut inside a chunk", chunkedUpload + "100\r\n" + std::string(10, 'u'), true},
      {"upload without its last chunk", chunkedUpload + chunk("whole payload"), true},
      {"report without its last chunk", chunkedReport + chunk(report), true},
      {"report cut inside a chunk size", chunkedReport + chunk(report) + "1", true},
      {"chunk size that overflows", chunkedUpload + "fffffffffffffffffffff\r\nabc\r\n0\r\n\r\n",
       false},
      {"chunk size that is not hexadecimal", chunkedUpload + "zz\r\nabc\r\n0\r\n\r\n", false},
      {"negative length", postRequest(target, "") + "", false},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    std::string request = each.request;
    if (each.name == "negative length") {
      request = "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\nabc";
    }
    Connection connection(port());
    ASSERT_TRUE(connection.connected());
    connection.send(request);
    if (each.closeAfterSending) {
      connection.endWriting();
    }
    std::string answer;
    EXPECT_TRUE(connection.closedByService(answer, 30s)) << "the service kept the connection";
    if (!answer.empty()) {
      EXPECT_TRUE(isJsonError(answer)) << answer;
    }
    expectStillServing();
  }
  expectNothingStored();
}

// A head that never ends, sent as fast as the service takes it: cut off long before it could
// fill the service's memory.
TEST_F(ServiceAbuseTest, EndlessRequestHeadsAreCutOff) {
  start();
  const std::string endlessHeaders = "X-Filler: " + std::string(1000, 'h') + "\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\n", endlessHeaders},
      {"GET /v1/config HTTP/1.1\r\nX-Long: ", std::string(1000, 'h')},
      {"GET /v1/config?", std::string(1000, 'q')},
      {"POST " + attachmentTarget("log", Uuid::random().uuidString(), "txt") +
           " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1",
       std::string(1000, '0')},
  };
  for (const auto& [head, repeated] : cases) {
    SCOPED_TRACE(head);
    Connection connection(port());
    connection.send(head);
    std::size_t sent = head.size();
    std::string answer;
    bool closed = false;
    // 64 MiB at most; the service gives up after a small fraction of it.
    while (!closed && sent < 64u * 1024 * 1024 && connection.send(repeated)) {
      sent += repeated.size();
      closed = connection.closedByService(answer, 0ms);
    }
    closed = closed || connection.closedByService(answer, 20s);
    EXPECT_TRUE(closed);
    EXPECT_LT(sent, 16u * 1024 * 1024);
    std::cout << "endless head: cut off after " << sent / 1024 << " KiB sent\n";
    EXPECT_TRUE(answer.empty() || isJsonError(answer)) << answer;
    expectStillServing();
  }
  expectNothingStored();
}

// --- Slow clients

struct SlowClient {
  std::unique_ptr<Connection> connection;
  std::string kind;
  std::string trickle;  // sent a byte at a time
  std::size_t sent = 0;
  bool closed = false;
  std::string answer;
};

// Opens more slow connections than the service has workers, keeps them trickling, and checks
// that ordinary clients are served meanwhile and that the service ends every slow connection.
TEST_F(ServiceAbuseTest, SlowClientsAreCutOffWhileOthersAreServed) {
  start({"--threads", "2", "--read-timeout", "1", "--max-upload-bytes", "100000"});
  const std::string localId = Uuid::random().uuidString();
  const std::string uploadHead = "POST " + attachmentTarget("slow", localId, "bin") +
                                 " HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n";
  std::vector<SlowClient> slow;
  for (int index = 0; index < 3; ++index) {
    auto add = [&](std::unique_ptr<Connection> connection, std::string kind, std::string trickle) {
      SlowClient client;
      client.connection = std::move(connection);
      client.kind = std::move(kind);
      client.trickle = std::move(trickle);
      slow.push_back(std::move(client));
    };
    add(std::make_unique<Connection>(port()), "idle", "");
    add(std::make_unique<Connection>(port()), "header a byte at a time",
        uploadHead + std::string(100000, 'b'));
    auto body = std::make_unique<Connection>(port());
    body->send(uploadHead);
    add(std::move(body), "body a byte at a time", std::string(100000, 'b'));
  }
  const auto began = Clock::now();
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::thread trickler([&] {
    while (!stop && Clock::now() - began < 60s) {
      {
        std::lock_guard lock(mutex);
        for (SlowClient& client : slow) {
          if (client.closed) {
            continue;
          }
          if (client.connection->closedByService(client.answer, 0ms)) {
            client.closed = true;
          } else if (client.sent < client.trickle.size() &&
                     !client.connection->send(client.trickle.substr(client.sent++, 1))) {
            client.closed = true;
          }
        }
        if (std::all_of(slow.begin(), slow.end(), [](const auto& c) { return c.closed; })) {
          return;
        }
      }
      std::this_thread::sleep_for(200ms);
    }
  });

  // Ordinary clients meanwhile: each is served, however long the slow ones hold the workers.
  int served = 0;
  for (int round = 0; round < 3; ++round) {
    const std::string ordinaryId = Uuid::random().uuidString();
    const json uploaded = upload(ordinaryId, "ordinary", "ordinary", "txt");
    if (uploaded.is_object() && uploaded.contains("attachmentId")) {
      const std::string id = postReport(
          reportBody(ordinaryId, {{{"id", uploaded["attachmentId"]}, {"name", uploaded["name"]}}}));
      served += id.empty() ? 0 : 1;
    }
  }
  EXPECT_EQ(served, 3);

  trickler.join();
  stop = true;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count() / 1000.0;
  int closed = 0;
  for (const SlowClient& client : slow) {
    EXPECT_TRUE(client.closed) << client.kind << " was never ended by the service";
    closed += client.closed ? 1 : 0;
    EXPECT_TRUE(client.answer.empty() || isJsonError(client.answer))
        << client.kind << ": " << client.answer;
    EXPECT_LT(client.sent, 1000u) << client.kind;
  }
  // Only the ordinary uploads were stored.
  EXPECT_EQ(fileTree(attachmentsDir()).size(), 3u);
  std::cout << "slow clients: " << closed << " of " << slow.size()
            << " ended by the service within " << seconds << " s with 2 workers; " << served
            << " of 3 ordinary reports served meanwhile\n";
}

TEST_F(ServiceAbuseTest, StalledTlsHandshakesDoNotHoldTheWorkers) {
  start({"--threads", "2", "--read-timeout", "1", "--cert", kCertificateDir + "/server.pem",
         "--key", kCertificateDir + "/server-key.pem"});
  std::vector<std::unique_ptr<Connection>> stalled;
  for (int index = 0; index < 4; ++index) {
    stalled.push_back(std::make_unique<Connection>(port()));
    // The first bytes of a TLS record, then nothing.
    stalled.back()->send(index % 2 == 0 ? std::string("\x16\x03\x01", 3) : std::string());
  }
  httplib::SSLClient tls("127.0.0.1", port());
  tls.set_ca_cert_path((kCertificateDir + "/ca.pem").c_str());
  tls.enable_server_certificate_verification(true);
  tls.set_read_timeout(30, 0);
  tls.set_connection_timeout(30, 0);
  const auto config = tls.Get("/v1/config");
  ASSERT_TRUE(config) << httplib::to_string(config.error());
  EXPECT_EQ(config->status, 200);
  for (auto& connection : stalled) {
    std::string answer;
    EXPECT_TRUE(connection->closedByService(answer, 30s));
  }
}

// --- Invalid UTF-8

TEST_F(ServiceAbuseTest, InvalidUtf8IsRefusedWithAJsonError) {
  start();
  const std::vector<std::string> invalid = {
      "\xff",         "\x80",     "\xc0\xaf",         "\xe0\x80\xaf",
      "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80",
      "abc\xc3",      "\xc3(",
  };
  const std::string localId = Uuid::random().uuidString();
  int refused = 0;
  for (const std::string& bad : invalid) {
    SCOPED_TRACE(encoded(bad));
    const std::string text = "before" + bad + "after";
    // Every text of the report, and a key.
    std::vector<std::string> bodies;
    for (const std::string pointer : {"/subject", "/name", "/email", "/messages/0/body", "/localId",
                                      "/attachments/0/id", "/attachments/0/name"}) {
      json report =
          pointer.starts_with("/attachments")
              ? reportBody(localId, {{{"id", Uuid::random().uuidString()}, {"name", "log.txt"}}})
              : reportBody(localId);
      report[json::json_pointer(pointer)] = "@@";
      bodies.push_back(report.dump());
    }
    json keyed = reportBody(localId);
    keyed["@@"] = 1;
    bodies.push_back(keyed.dump());
    for (std::string body : bodies) {
      body.replace(body.find("@@"), 2, text);
      const std::string answer =
          exchange(port(), postRequest("/v1/reports", body, "Content-Type: application/json\r\n"));
      EXPECT_TRUE(isJsonError(answer)) << body << "\n" << answer;
      ++refused;
    }
    // Query values, percent-encoded and raw.
    for (const std::string& value : {encoded(text), text}) {
      for (const std::string& target :
           {"/v1/attachments?fileId=" + value + "&localId=" + localId + "&extension=txt",
            "/v1/attachments?fileId=log&localId=" + localId + "&extension=" + value,
            "/v1/attachments?fileId=log&localId=" + value + "&extension=txt"}) {
        const std::string answer = exchange(port(), postRequest(target, "payload"));
        EXPECT_TRUE(isJsonError(answer)) << target << "\n" << answer;
        ++refused;
      }
      for (const std::string& target : {"/v1/updateCheck?buildNumber=310&train=" + value,
                                        "/v1/updateCheck?buildNumber=" + value + "&train=stable"}) {
        const std::string answer =
            exchange(port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(isJsonError(answer)) << target << "\n" << answer;
        ++refused;
      }
    }
  }
  // JSON escapes that name half of a surrogate pair.
  json report = reportBody(localId);
  std::string body = report.dump();
  body.replace(body.find("It crashed"), 2, "\\ud800");
  EXPECT_TRUE(isJsonError(
      exchange(port(), postRequest("/v1/reports", body, "Content-Type: application/json\r\n"))));
  expectStillServing();
  expectNothingStored();
  std::cout << "invalid UTF-8: " << refused + 1
            << " requests refused with a JSON error, 0 stored\n";
}

// --- SQL metacharacters

TEST_F(ServiceAbuseTest, SqlMetacharactersAreStoredVerbatim) {
  start();
  const std::string localId = Uuid::random().uuidString();
  const std::string fileId = "x'); DROP TABLE attachments; --";
  const std::string extension = "%_'\"";
  const json uploaded = upload(localId, "payload", fileId, extension);
  ASSERT_TRUE(uploaded.is_object());
  EXPECT_EQ(uploaded["name"], fileId + "." + extension);
  json report =
      reportBody(localId, {{{"id", uploaded["attachmentId"]}, {"name", uploaded["name"]}}});
  report["subject"] = "Robert'); DROP TABLE reports;--";
  report["messages"] = {
      {{"body", "100% of 'single' and \"double\" quotes, \\ back_slash, -- dash"}},
      {{"body", "'; DELETE FROM report_messages WHERE '1'='1"}},
      {{"body", "/* comment */ UNION SELECT * FROM attachments; %_%"}}};
  report["name"] = "O'Brien; UPDATE reports SET subject='x'";
  report["email"] = "x'--@example.org";
  const std::string id = postReport(report);
  ASSERT_FALSE(id.empty());
  // A second report after the first, so a statement that escaped would have hit something.
  const std::string second = postReport(reportBody(Uuid::random().uuidString()));
  ASSERT_FALSE(second.empty());

  const auto show = runServiceCommand({"show", id, "--data", dataDir().string()});
  EXPECT_EQ(show.exitCode, 0) << show.err;
  for (const std::string& expected :
       {"Subject:     " + report["subject"].get<std::string>() + "\n",
        "Name:        " + report["name"].get<std::string>() + "\n",
        "Email:       " + report["email"].get<std::string>() + "\n",
        "Message 1:\n" + report["messages"][0]["body"].get<std::string>() + "\n",
        "Message 2:\n" + report["messages"][1]["body"].get<std::string>() + "\n",
        "Message 3:\n" + report["messages"][2]["body"].get<std::string>() + "\n",
        "  " + fileId + "." + extension + "  7 bytes  "}) {
    EXPECT_NE(show.out.find(expected), std::string::npos) << expected << "\n" << show.out;
  }
  const auto list = runServiceCommand({"list", "--data", dataDir().string()});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find(id + "\t"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(second + "\t"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\tRobert'); DROP TABLE reports;--\n"), std::string::npos) << list.out;
  // Wildcards in an id match nothing.
  for (const char* pattern : {"%", "_", "' OR '1'='1"}) {
    const auto none = runServiceCommand({"show", pattern, "--data", dataDir().string()});
    EXPECT_EQ(none.exitCode, 1) << pattern;
    EXPECT_NE(none.err.find("no report with id"), std::string::npos) << none.err;
  }
  const std::filesystem::path exported = root() / "export";
  ASSERT_EQ(
      runServiceCommand({"export", id, exported.string(), "--data", dataDir().string()}).exitCode,
      0);
  const json document = json::parse(readFile(exported / "report.json"));
  for (const char* key : {"subject", "name", "email", "messages"}) {
    EXPECT_EQ(document[key], report[key]) << key;
  }

  // The schema is intact: the same tables, every row in place.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((dataDir() / "tessaline.sqlite3").c_str(), &db, SQLITE_OPEN_READONLY,
                            nullptr),
            SQLITE_OK);
  std::set<std::string> tables;
  std::map<std::string, int> rows;
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &statement,
                     nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    tables.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  }
  sqlite3_finalize(statement);
  for (const std::string& table : tables) {
    sqlite3_prepare_v2(db, ("SELECT count(*) FROM " + table).c_str(), -1, &statement, nullptr);
    if (sqlite3_step(statement) == SQLITE_ROW) {
      rows[table] = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  EXPECT_EQ(tables, (std::set<std::string>{"attachments", "reports", "report_messages",
                                           "report_attachments", "idempotency_keys", "report_notes",
                                           "users", "sessions", "reports_search",
                                           "reports_search_config", "reports_search_data",
                                           "reports_search_docsize", "reports_search_idx"}));
  EXPECT_EQ(rows["attachments"], 1);
  EXPECT_EQ(rows["reports"], 2);
  EXPECT_EQ(rows["report_messages"], 4);
  EXPECT_EQ(rows["report_attachments"], 1);
}

// --- A kill while several clients submit

TEST_F(ServiceAbuseTest, AKillDuringConcurrentSubmissionsLosesNoAnsweredReport) {
  start({"--threads", "4"});
  struct Answered {
    std::string reportId;
    std::vector<std::pair<std::string, std::size_t>> attachments;  // id, size
  };
  std::mutex mutex;
  std::vector<Answered> reports;
  std::map<std::string, std::size_t> uploads;  // every answered upload, reported or not
  std::atomic<bool> stop{false};
  std::atomic<bool> killing{false};
  std::atomic<int> failuresBeforeTheKill{0};
  const int servicePort = port();

  std::vector<std::thread> clients;
  for (int client = 0; client < 4; ++client) {
    clients.emplace_back([&, client] {
      httplib::Client http("127.0.0.1", servicePort);
      http.set_connection_timeout(5, 0);
      http.set_read_timeout(30, 0);
      for (int round = 0; !stop; ++round) {
        const std::string localId = Uuid::random().uuidString();
        json listed = json::array();
        Answered answered;
        for (int index = 0; index <= round % 3; ++index) {
          const std::size_t size =
              1000 + static_cast<std::size_t>(client * 7919 + round * 131 + index * 4099) % 60000;
          const auto result = http.Post("/v1/attachments?fileId=log" + std::to_string(index) +
                                            "&localId=" + localId + "&extension=txt",
                                        std::string(size, static_cast<char>('a' + client)),
                                        "application/octet-stream");
          if (!result || result->status != 201) {
            failuresBeforeTheKill += killing ? 0 : 1;
            return;  // the service is gone
          }
          const json body = json::parse(result->body);
          listed.push_back({{"id", body["attachmentId"]}, {"name", body["name"]}});
          answered.attachments.emplace_back(body["attachmentId"].get<std::string>(), size);
          std::lock_guard lock(mutex);
          uploads[body["attachmentId"].get<std::string>()] = size;
        }
        const auto result =
            http.Post("/v1/reports", reportBody(localId, listed).dump(), "application/json");
        if (!result || result->status != 201) {
          failuresBeforeTheKill += killing ? 0 : 1;
          return;
        }
        answered.reportId = json::parse(result->body)["id"].get<std::string>();
        std::lock_guard lock(mutex);
        reports.push_back(std::move(answered));
      }
    });
  }
  // Kill once a good number of reports were answered, while the clients are still sending.
  const auto deadline = Clock::now() + 60s;
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex);
      if (reports.size() >= 40) {
        break;
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  killing = true;
  service_->kill();
  service_.reset();
  stop = true;
  for (std::thread& client : clients) {
    client.join();
  }
  ASSERT_FALSE(reports.empty());
  // Until the kill every concurrent request was served, each report under an id of its own.
  EXPECT_EQ(failuresBeforeTheKill.load(), 0);
  std::set<std::string> distinct;
  for (const Answered& answered : reports) {
    distinct.insert(answered.reportId);
  }
  EXPECT_EQ(distinct.size(), reports.size());

  start();
  const auto list = runServiceCommand({"list", "--data", dataDir().string()});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  std::size_t present = 0;
  for (const Answered& answered : reports) {
    SCOPED_TRACE(answered.reportId);
    const std::size_t line = list.out.find(answered.reportId + "\t");
    if (line == std::string::npos) {
      ADD_FAILURE() << "answered report missing after the restart";
      continue;
    }
    const auto show = runServiceCommand({"show", answered.reportId, "--data", dataDir().string()});
    EXPECT_EQ(show.exitCode, 0) << show.err;
    EXPECT_NE(show.out.find("Attachments: " + std::to_string(answered.attachments.size()) + "\n"),
              std::string::npos)
        << show.out;
    bool whole = true;
    for (const auto& [id, size] : answered.attachments) {
      const auto path = attachmentsDir() / id;
      EXPECT_NE(show.out.find(std::to_string(size) + " bytes  " + path.string() + "\n"),
                std::string::npos)
          << show.out;
      std::error_code error;
      whole = whole && std::filesystem::file_size(path, error) == size && !error;
    }
    EXPECT_TRUE(whole);
    present += whole ? 1 : 0;
  }
  // Answered uploads that no report used yet are kept too (for the grace period).
  std::size_t uploadsPresent = 0;
  for (const auto& [id, size] : uploads) {
    std::error_code error;
    const bool kept = std::filesystem::file_size(attachmentsDir() / id, error) == size && !error;
    EXPECT_TRUE(kept) << id;
    uploadsPresent += kept ? 1 : 0;
  }
  std::cout << reports.size() << " reports answered before the kill, " << present
            << " present with all their attachments after the restart; reports lost: "
            << reports.size() - present << "; uploads answered " << uploads.size() << ", present "
            << uploadsPresent << "\n";
}

}  // namespace
}  // namespace tessaline
