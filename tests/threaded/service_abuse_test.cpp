// tessaline-service on loopback, driven over raw sockets where a well-behaved client could not
// make the fault: bad, oversized, truncated or endless requests, slow, stalled and flooding
// clients, kept-alive connections, repeated submissions, start-up checks, signals, SIGKILL and a
// full disk; and the core's orphan sweeps racing reports.

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::kSampleConfig;
using testing::listed;
using testing::reportBody;
using testing::runServiceCommand;
using testing::ServiceProcess;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

const std::string kCertificateDir = TESSALINE_TEST_CERT_DIR;

// A TCP connection to the service on loopback, from the given source address.
class Connection {
 public:
  explicit Connection(int port, const char* from = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, from, &address.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const timeval timeout{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

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
  // The next answer (head and Content-Length body); empty when none came whole.
  std::string answer() {
    for (;;) {
      const std::size_t end = received_.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::size_t field = received_.find("Content-Length: ");
        const std::size_t size =
            end + 4 + (field < end ? std::stoul(received_.substr(field + 16)) : 0);
        if (received_.size() >= size) {
          std::string whole = received_.substr(0, size);
          received_.erase(0, size);
          return whole;
        }
      }
      if (!fill(20s)) {
        return {};
      }
    }
  }
  // True once the service has closed (or reset) the connection, false when it stayed silent for
  // `wait`; what it sent meanwhile is kept in received().
  bool closedByService(std::chrono::milliseconds wait = 20s) {
    while (fill(wait)) {
    }
    return ended_;
  }
  const std::string& received() const { return received_; }

 private:
  bool fill(std::chrono::milliseconds wait) {
    pollfd readable{fd_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0) {
      return false;
    }
    char buffer[16384];
    const ssize_t count = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    ended_ = count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR);
    received_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    return count > 0;
  }

  int fd_;
  std::string received_;
  bool ended_ = false;
};

// One request on a connection of its own; everything answered until the service closes it.
std::string exchange(int port, std::string request) {
  request.insert(request.find("\r\n") + 2, "Connection: close\r\n");
  Connection connection(port);
  connection.send(request);
  connection.closedByService();
  return connection.received();
}

std::string post(const std::string& target, std::string_view body,
                 const std::string& headers = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string kGetConfig = "GET /v1/config HTTP/1.1\r\nHost: x\r\n\r\n";

int statusOf(const std::string& answer) {
  return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

json bodyOf(const std::string& answer) {
  const std::size_t start = answer.find("\r\n\r\n");
  return start == std::string::npos ? json()
                                    : json::parse(answer.substr(start + 4), nullptr, false);
}

// A 4xx or 5xx answer whose body is {"error": text} and nothing else.
bool isJsonError(const std::string& answer) {
  const json body = bodyOf(answer);
  return statusOf(answer) >= 400 && body.is_object() && body.size() == 1 &&
         body.contains("error") && body["error"].is_string();
}

std::string chunk(std::string_view data) {
  std::ostringstream text;
  text << std::hex << data.size() << "\r\n" << data << "\r\n";
  return text.str();
}

std::string uploadTarget(const std::string& localId, const std::string& fileId = "log") {
  return "/v1/attachments?fileId=" + fileId + "&localId=" + localId + "&extension=txt";
}

class ServiceAbuseTest : public ::testing::Test {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->child->terminate(60s), 0) << service_->child->err();
    }
  }

  std::filesystem::path dataDir() const { return directory_.path() / "data"; }
  std::filesystem::path attachmentsDir() const { return dataDir() / "attachments"; }
  int port() const { return service_->port(); }

  void start(std::vector<std::string> extra = {}) {
    std::string failure;
    extra.insert(extra.end(),
                 {"--port", "0", "--data", dataDir().string(), "--config", kSampleConfig});
    service_ = ServiceProcess::start(extra, &failure);
    ASSERT_TRUE(service_) << failure;
  }
  testing::CommandResult command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.end(), {"--data", dataDir().string()});
    return runServiceCommand(arguments);
  }

  // Runs requests on one connection; their statuses.
  static std::vector<int> statuses(Connection& connection,
                                   const std::vector<std::string>& requests) {
    std::vector<int> answered;
    for (const std::string& request : requests) {
      connection.send(request);
      answered.push_back(statusOf(connection.answer()));
    }
    return answered;
  }

  long storedFiles() const {
    if (testing::usesPostgres()) {
      return std::stol(testing::PostgresClient(testing::storeLocation(dataDir()))
                           .query("SELECT count(*) FROM attachments"));
    }
    return std::distance(std::filesystem::directory_iterator(attachmentsDir()), {});
  }

  testing::TemporaryDirectory directory_{"tessaline-service-abuse"};
  std::unique_ptr<ServiceProcess> service_;
};
using ServiceHttpTest = ServiceAbuseTest;

// Requests a server must refuse: bodies over a limit or cut short, ambiguous framing, folded,
// oversized or endless heads, HEAD. Each refusal is one JSON error, none answers the request
// hidden in a body, and a body cut short or framed wrongly ends its connection; nothing of them is
// stored. A head that never ends, sent as fast as the service takes it, is cut off long before it
// could fill the service's memory.
TEST_F(ServiceAbuseTest, OversizedTruncatedOrAmbiguousRequestsAreRefusedAndStoreNothing) {
  start({"--max-upload-bytes", "4096", "--read-timeout", "2"});
  const std::string localId = Uuid::random().uuidString();
  const std::string upload = uploadTarget(localId);
  const std::string report = reportBody(localId).dump();
  const std::string hidden = post("/v1/reports", report);
  const std::string chunkedUpload =
      "POST " + upload + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string reportHead = "POST /v1/reports HTTP/1.1\r\nHost: x\r\n";
  const std::string chunkedReport = reportHead + "Transfer-Encoding: chunked\r\n\r\n";
  std::string manyFields;
  for (int index = 0; index < 101; ++index) {
    manyFields += "X-F" + std::to_string(index) + ": v\r\n";
  }
  const std::string line(1000, 'h');
  // The request, what is then sent again and again (if anything), its status (0: an answer is
  // optional), and whether the client then ends writing.
  const std::tuple<std::string, std::string, int, bool> cases[] = {
      {post(upload, std::string(5000, 'x') + hidden), "", 413, true},
      {chunkedUpload + chunk(std::string(3000, 'u')) + chunk(std::string(3000, 'u') + hidden) +
           "0\r\n\r\n",
       "", 413, true},
      {post(upload, hidden, "Content-Encoding: gzip\r\n"), "", 415, true},
      {post("/v1/attachments?fileId=%FF&localId=" + localId + "&extension=", hidden), "", 400,
       true},
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(hidden.size()) +
           "\r\n\r\n" + hidden,
       "", 400, true},
      {post("/v1/reports", "{\"localId\":"), "", 400, true},
      {"POST /v1/reports HTTP/1.1\r\nHost: x\r\n\r\n", "", 400, true},
      {post("/v1/reports", std::string(1024 * 1024 + 1, ' ')), "", 0, false},
      {chunkedReport + chunk(std::string(1024 * 1024 + 1, ' ')) + "0\r\n\r\n", "", 0, false},
      {"POST " + upload + " HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n\r\n" +
           std::string(100, 'u'),
       "", 0, true},
      {"POST /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(report.size() + 10) + "\r\n\r\n" + report,
       "", 0, true},
      {chunkedUpload + "100\r\n" + std::string(10, 'u'), "", 0, true},
      {chunkedUpload + chunk("whole payload"), "", 0, true},
      {chunkedReport + chunk(report), "", 0, true},
      {chunkedReport + chunk(report) + "1", "", 0, true},
      {chunkedUpload + "fffffffffffffffffffff\r\nabc\r\n0\r\n\r\n", "", 0, false},
      {chunkedUpload + "zz\r\nabc\r\n0\r\n\r\n", "", 0, false},
      {"POST " + upload + " HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\nabc", "", 0, false},
      {reportHead + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "", 400,
       false},
      {reportHead + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "", 400, false},
      {reportHead + "Transfer-Encoding: gzip, chunked, gzip\r\n\r\n", "", 400, false},
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\nX-Folded: a\r\n b\r\n\r\n", "", 400, false},
      {"GET /v1/config HTTP/1.1\r\n" + manyFields + "\r\n", "", 431, false},
      {"GET /v1/config HTTP/1.1\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n", "", 431, false},
      {"GET /v1/config?" + std::string(9000, 'q') + " HTTP/1.1\r\n\r\n", "", 414, false},
      {"HEAD /v1/config HTTP/1.1\r\nHost: x\r\n\r\n", "", 405, false},  // its body is not read
      {"GET /v1/config?x=\0 HTTP/1.1\r\n\r\n"s, "", 400, false},
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\n", "X-Filler: " + line + "\r\n", 431, false},
      {"GET /v1/config HTTP/1.1\r\nX-Long: ", line, 431, false},
      {"GET /v1/config?", line, 431, false},
      {reportHead + "Transfer-Encoding: chunked\r\n\r\n1", std::string(1000, '0'), 400, false},
  };
  for (const auto& [request, repeated, status, endWriting] : cases) {
    SCOPED_TRACE(request.substr(0, 120));
    Connection connection(port());
    connection.send(request);
    std::size_t sent = request.size();
    for (bool closed = false;
         !repeated.empty() && !closed && sent < 64u * 1024 * 1024 && connection.send(repeated);
         closed = connection.closedByService(0ms)) {
      sent += repeated.size();
    }
    if (endWriting) {
      connection.endWriting();
    }
    EXPECT_TRUE(connection.closedByService(30s));
    EXPECT_LT(sent, 16u * 1024 * 1024);
    const std::string& answer = connection.received();
    if (status != 0) {
      EXPECT_EQ(statusOf(answer), status) << answer;
      EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << answer;
    }
    EXPECT_TRUE(answer.empty() || isJsonError(answer)) << answer;
  }
  EXPECT_EQ(statusOf(exchange(port(), kGetConfig)), 200);
  EXPECT_EQ(storedFiles(), 0);
  EXPECT_EQ(command({"list"}).out, "");
}

// On one kept-alive connection: a repeated submission gets the first answer and is stored once;
// refused bodies small enough to drain leave the connection usable, and none of their bytes count
// as a request; a body past the drain bound is refused before it is sent, then closed. Meanwhile
// more stalled half-heads than workers hold none, and a connection past the per-address cap gets
// a 503.
TEST_F(ServiceHttpTest, KeptAliveConnectionsDrainRefusalsAndStoreRepeatsOnceThroughAFlood) {
  start({"--max-upload-bytes", "16", "--threads", "2", "--max-connections-per-address", "300"});
  std::vector<std::unique_ptr<Connection>> stalled;
  for (int index = 0; index < 300; ++index) {
    stalled.push_back(std::make_unique<Connection>(port(), "127.0.0.2"));
    stalled.back()->send("POST /v1/reports HTTP/1.1\r\nHo");
  }
  const std::string localId = Uuid::random().uuidString();
  const std::string upload = uploadTarget(localId);
  const std::string report = reportBody(localId).dump();
  json other = reportBody(localId);
  other["subject"] = "Other";
  const std::string bytesDigest =  // of "bytes"; the second one is of "other"
      "Repr-Digest: sha-256=:J3CJ2RwL308uaGK6fkoHYFEZQx9dE/cm3TUrBvGyBqk=:\r\n";
  // Target, body, headers, status, and whether it is answered as the last 201, byte for byte.
  const std::tuple<std::string, std::string, std::string, int, bool> cases[] = {
      {upload, "bytes", "Idempotency-Key: u1\r\n" + bytesDigest, 201, false},
      {upload, "bytes", "Idempotency-Key: \"u1\"\r\n", 201, true},
      {upload, "other", "Idempotency-Key: u1\r\n", 422, false},
      {uploadTarget(localId, "b"), "bytes", "Idempotency-Key: u1\r\n", 422, false},
      {upload, "bytes", "Repr-Digest: sha-256=:2SmKENGwc1g33EvYXaxkGw887yekfl1TpU8vP1svz/o=:\r\n",
       400, false},
      {upload, "bytes", "Repr-Digest: sha-256=:bm90IDMyIGJ5dGVz:\r\n", 400, false},
      {upload, "bytes", "Idempotency-Key: \"\"\r\n", 400, false},
      {"/v1/reports", report, "Idempotency-Key: r1\r\n", 201, false},
      {"/v1/reports", report, "Idempotency-Key: r1\r\n", 201, true},
      {"/v1/reports", other.dump(), "Idempotency-Key: r1\r\n", 422, false},
  };
  Connection connection(port());
  std::string first;
  for (const auto& [target, body, headers, status, repeat] : cases) {
    SCOPED_TRACE(headers + body);
    connection.send(post(target, body, headers));
    const std::string answer = connection.answer();
    EXPECT_EQ(statusOf(answer), status) << answer;
    if (repeat) {
      EXPECT_EQ(bodyOf(answer), bodyOf(first));
    } else if (status == 201) {
      first = answer;
    } else {
      EXPECT_TRUE(isJsonError(answer)) << answer;
    }
  }
  EXPECT_EQ(statuses(connection,
                     {kGetConfig, post(upload, std::string(20, 'x') + kGetConfig),
                      post("/v1/nowhere", kGetConfig),
                      "POST " + upload + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n20\r\n" +
                          std::string(32, 'x') + "\r\n0\r\n\r\n",
                      post("/v1/attachments/../reports", "{}"), post("/v1/%2e%2e/x", "{}"),
                      post(upload, "fits"), kGetConfig + kGetConfig, /* its second answer */ "",
                      "POST " + upload + " HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n"}),
            (std::vector<int>{200, 413, 404, 413, 404, 404, 201, 200, 200, 413}));
  EXPECT_TRUE(connection.closedByService());
  Connection overCap(port(), "127.0.0.2");
  const std::string refused = overCap.answer();
  EXPECT_EQ(statusOf(refused), 503) << refused;
  EXPECT_TRUE(isJsonError(refused));
  EXPECT_TRUE(overCap.closedByService());
  EXPECT_EQ(storedFiles(), 2);
  EXPECT_EQ(std::ranges::count(command({"list"}).out, '\n'), 1);
  EXPECT_EQ(command({"show", bodyOf(first)["id"]}).exitCode, 0);
}

// More slow connections than workers, idle or trickling a byte at a time: three clients are served
// meanwhile, and the service ends every slow connection. Killed while the clients still submit,
// it keeps every report it answered, whole.
TEST_F(ServiceAbuseTest, SlowClientsAreCutOffWhileOthersAreServedAndAKillLosesNoAnsweredReport) {
  start({"--threads", "2", "--read-timeout", "1", "--max-upload-bytes", "100000"});
  const std::string head = "POST " + uploadTarget(Uuid::random().uuidString(), "slow") +
                           " HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n";
  const std::string body(100000, 'b');
  std::vector<std::pair<std::unique_ptr<Connection>, std::string>> slow;  // what each trickles
  for (int index = 0; index < 9; ++index) {
    slow.emplace_back(std::make_unique<Connection>(port()),
                      index % 3 == 0 ? "" : (index % 3 == 1 ? head : "") + body);
    if (index % 3 == 2) {
      slow.back().first->send(head);  // then its body a byte at a time
    }
  }
  std::mutex mutex;
  std::map<std::string, std::size_t> answered;  // report id: the size of its upload
  int failuresBeforeTheKill = 0;
  std::atomic<bool> killing{false};
  std::vector<std::jthread> clients;
  for (std::size_t client = 0; client < 3; ++client) {
    clients.emplace_back([&, client, servicePort = port()] {
      for (std::size_t size = 1000 + client * 7919; !killing; size = (size + 4099) % 60000) {
        const std::string localId = Uuid::random().uuidString();
        const json uploaded =
            bodyOf(exchange(servicePort, post(uploadTarget(localId), std::string(size, 'a'))));
        const std::string reported =
            uploaded.contains("attachmentId")
                ? exchange(servicePort,
                           post("/v1/reports",
                                reportBody(localId, json::array({listed(uploaded)})).dump()))
                : "";
        std::lock_guard lock(mutex);
        if (statusOf(reported) == 201) {
          answered.emplace(bodyOf(reported)["id"].get<std::string>(), size);
        } else {
          failuresBeforeTheKill += killing ? 0 : 1;
        }
      }
    });
  }
  std::vector<char> closed(slow.size(), false);
  for (std::size_t sent = 0; sent < 300 && std::ranges::count(closed, false) > 0; ++sent) {
    for (std::size_t index = 0; index < slow.size(); ++index) {
      auto& [connection, trickle] = slow[index];
      closed[index] = closed[index] || connection->closedByService(0ms) ||
                      (sent < trickle.size() && !connection->send(trickle.substr(sent, 1)));
    }
    std::this_thread::sleep_for(200ms);
  }
  killing = true;
  service_->child->kill();
  clients.clear();
  for (std::size_t index = 0; index < slow.size(); ++index) {
    EXPECT_TRUE(closed[index]) << index;
    const std::string& answer = slow[index].first->received();
    EXPECT_TRUE(answer.empty() || isJsonError(answer)) << answer;
  }
  EXPECT_EQ(failuresBeforeTheKill, 0);
  ASSERT_FALSE(answered.empty());
  start();
  auto stored = server::Store::open(dataDir(), server::Store::Mode::readOnly);
  ASSERT_TRUE(stored) << stored.error().description();
  for (const auto& [id, size] : answered) {
    const auto report = stored.value()->report(id);
    ASSERT_TRUE(report && report.value() && report.value()->attachments.size() == 1u) << id;
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(
                  stored.value()->attachmentPath(report.value()->attachments[0].id), error),
              size);
  }
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
  const auto config = tls.Get("/v1/config");
  ASSERT_TRUE(config) << httplib::to_string(config.error());
  EXPECT_EQ(config->status, 200);
  for (auto& connection : stalled) {
    EXPECT_TRUE(connection->closedByService(30s));
  }
}

// Bad settings are refused before listening. A file left by a run that crashed mid-upload goes at
// start, an upload no report uses after the grace period; one service per data folder. SIGTERM
// closes the idle connections and lets the request in flight finish; a newer schema is not touched.
TEST_F(ServiceAbuseTest, StartUpChecksRefuseBadSettingsAndSigtermFinishesWhatIsInFlight) {
  EXPECT_NE(command({"list"}).err.find("no reports database in"), std::string::npos);
  std::filesystem::create_directories(attachmentsDir());
  std::ofstream(attachmentsDir() / "2A6E4C58-1C3B-4D2B-9F1A-0B6A35C1D6E7") << "half an upload";
  start({"--orphan-grace", "1"});
  EXPECT_EQ(storedFiles(), 0);
  const std::string badConfig = directory_.write("bad.json", "{").string();
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--config", kSampleConfig, "--bind", "0.0.0.0"}, 2, "served on loopback only"},
      {{"--config", kSampleConfig, "--cert", kCertificateDir + "/server.pem"}, 2, "--key"},
      {{}, 2, ""},
      {{"--config", badConfig}, 1, "not a valid JSON document"},
      {{"--config", kSampleConfig}, 1, "another tessaline-service is using"},
  };
  for (auto [arguments, exitCode, message] : cases) {
    arguments.insert(arguments.end(), {"--port", "0", "--data", dataDir().string()});
    const auto refused = runServiceCommand(arguments);
    EXPECT_EQ(refused.exitCode, exitCode) << refused.err;
    EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out.find("listening"), std::string::npos);
  }
  const std::string localId = Uuid::random().uuidString();
  const json orphan =
      bodyOf(exchange(port(), "POST " + uploadTarget(localId) + " HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(orphan.contains("attachmentId")) << orphan;  // without a length, an empty body
  for (const auto deadline = Clock::now() + 60s; storedFiles() > 0 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(isJsonError(exchange(
      port(), post("/v1/reports", reportBody(localId, json::array({listed(orphan)})).dump()))));

  Connection idle(port());
  ASSERT_EQ(statuses(idle, {kGetConfig}), std::vector<int>{200});
  Connection inFlight(port());
  inFlight.send("POST " + uploadTarget(localId) + " HTTP/1.1\r\nContent-Length: 10\r\n\r\nhalf ");
  for (int wait = 0; wait < 200 && storedFiles() == 0; ++wait) {  // it has begun
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(::kill(service_->child->pid(), SIGTERM), 0);
  EXPECT_TRUE(idle.closedByService());
  inFlight.send("done!");
  const std::string answer = inFlight.answer();
  EXPECT_EQ(statusOf(answer), 201) << answer;
  EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  EXPECT_EQ(service_->child->terminate(60s), 0) << service_->child->err();
  service_.reset();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dataDir() / "tessaline.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const auto refused = command({"--port", "0", "--config", kSampleConfig});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("schema version 7, newer than this tessaline-service"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(command({"list"}).exitCode, 1);
}

// The data folder is a small tmpfs, mounted in the test's own mount namespace, that a filler
// file fills up.
TEST_F(ServiceHttpTest, AFullDiskRefusesWhole507AndStoringResumesWithRoom) {
  std::filesystem::create_directory(dataDir());
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", dataDir().c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "needs root and a mount namespace of its own";
  }
  struct Unmount {
    std::filesystem::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{dataDir()};
  start();
  const std::string localId = Uuid::random().uuidString();
  json bigReport = reportBody(localId);
  bigReport["messages"][0]["body"] = std::string(200 << 10, 'm');
  const std::vector<std::string> stores = {post(uploadTarget(localId), std::string(256 << 10, 'u')),
                                           post("/v1/reports", bigReport.dump())};
  Connection connection(port());
  ASSERT_EQ(statuses(connection, {post(uploadTarget(localId), "before")}), std::vector<int>{201});
  const int filler = ::open((dataDir() / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  for (const std::string block(4096, 'f'); ::write(filler, block.data(), block.size()) > 0;) {
  }
  ::close(filler);
  EXPECT_EQ(statuses(connection, stores), (std::vector<int>{507, 507}));
  // Reads keep working, and nothing of the refused requests was kept.
  EXPECT_EQ(statuses(connection, {kGetConfig}), std::vector<int>{200});
  EXPECT_EQ(command({"list"}).out, "");
  EXPECT_EQ(storedFiles(), 1);
  std::filesystem::remove(dataDir() / "filler");
  EXPECT_EQ(statuses(connection, stores), (std::vector<int>{201, 201}));
  EXPECT_EQ(storedFiles(), 2);
}

// A sweep removes the uploads no report uses, and at start the files an upload left without a
// record; never within the grace period, an upload in flight, a file the service did not name, nor
// the file of a report stored while it runs (a report either keeps what it names or is refused).
TEST(ServiceConcurrencyTest, SweepsRemoveOrphansButNothingInUseEvenRacingReports) {
  testing::TemporaryDirectory directory("tessaline-service-sweeps");
  auto opened = server::Store::open(directory.path() / "data", server::Store::Mode::service);
  ASSERT_TRUE(opened) << opened.error().description();
  server::Store& store = *opened.value();
  server::ServiceCore core(server::ServiceConfig::load(kSampleConfig).value(), store, {});
  const auto upload = [&](const std::string& localId, const std::string& bytes) {
    return core.handle({"POST",
                        "/v1/attachments",
                        {{"fileId", "log"}, {"localId", localId}, {"extension", "txt"}},
                        {},
                        server::ServiceRequest::bodyOf(bytes)});
  };
  const std::string orphan =
      json::parse(upload(Uuid::random().uuidString(), "orphan").body)["attachmentId"];
  const std::filesystem::path attachments = directory.path() / "data" / "attachments";
  std::ofstream(attachments / Uuid::random().uuidString()) << "stray";
  std::ofstream(attachments / "README") << "operator's note";
  Result<server::Store::Upload> inFlight = store.beginUpload();
  ASSERT_TRUE(inFlight && inFlight->append("streaming"));
  const Result<server::OrphanSweep> atStart = store.removeOrphans(std::chrono::hours(1), true);
  ASSERT_TRUE(atStart) << atStart.error().description();
  EXPECT_EQ(atStart->attachmentsRemoved, 0);
  EXPECT_EQ(atStart->strayFilesRemoved, 1);

  std::jthread sweeper([&](const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      EXPECT_TRUE(store.removeOrphans(std::chrono::milliseconds(0), false));
    }
  });
  for (int index = 0; index < 45; ++index) {
    const std::string localId = Uuid::random().uuidString();
    const auto uploaded = upload(localId, std::string(4096, 'l'));
    ASSERT_EQ(uploaded.status, 201) << uploaded.body;
    const auto reported = core.handle(
        {"POST",
         "/v1/reports",
         {},
         {},
         server::ServiceRequest::bodyOf(
             reportBody(localId, json::array({listed(json::parse(uploaded.body))})).dump())});
    // 422: swept before the report came. A stored one keeps its file while the sweeps go on.
    ASSERT_TRUE(reported.status == 201 || reported.status == 422) << reported.body;
    if (reported.status == 201) {
      const auto report = store.report(json::parse(reported.body)["id"].get<std::string>());
      ASSERT_TRUE(report && report.value() && report.value()->attachments.size() == 1u);
      EXPECT_TRUE(std::filesystem::exists(store.attachmentPath(report.value()->attachments[0].id)));
    }
  }
  sweeper.request_stop();
  sweeper.join();
  EXPECT_FALSE(std::filesystem::exists(store.attachmentPath(orphan)));
  EXPECT_FALSE(store.attachment(orphan).value());
  EXPECT_TRUE(std::filesystem::exists(attachments / "README"));
  EXPECT_TRUE(std::filesystem::exists(store.attachmentPath(inFlight->id())));
}

}  // namespace
}  // namespace tessaline
