// The tessaline-service binary on loopback, driven over raw sockets where a well-behaved client
// could not make the fault: refusals and bodies cut short, paths smuggled into query values, slow
// and endless clients, invalid UTF-8, SQL metacharacters, start-up checks and a kill under load.

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/Url.h>
#include <Tessaline/records/Config.h>
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
using testing::kSampleConfig;
using testing::runServiceCommand;
using testing::ServiceProcess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kCertificateDir = TESSALINE_TEST_CERT_DIR;

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
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const timeval timeout{5, 0};
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
  // True once the service has closed (or reset) the connection, false when it stayed silent for
  // `wait`; what it sent meanwhile is appended to `answer`.
  bool closedByService(std::string& answer, std::chrono::milliseconds wait) {
    for (char buffer[4096];;) {
      pollfd readable{fd_, POLLIN, 0};
      if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0) {
        return false;
      }
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count <= 0) {
        return count == 0 || (errno != EAGAIN && errno != EINTR);
      }
      answer.append(buffer, static_cast<std::size_t>(count));
    }
  }

 private:
  int fd_;
};

// One request on a connection of its own; everything answered until the service closes it.
std::string exchange(int port, std::string request) {
  request.insert(request.find("\r\n") + 2, "Connection: close\r\n");
  Connection connection(port);
  connection.send(request);
  std::string answer;
  connection.closedByService(answer, 20s);
  return answer;
}

std::string post(const std::string& target, std::string_view body,
                 const std::string& headers = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

int statusOf(const std::string& answer) {
  return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

json bodyOf(const std::string& answer) {
  const std::size_t start = answer.find("\r\n\r\n");
  return start == std::string::npos ? json()
                                    : json::parse(answer.substr(start + 4), nullptr, false);
}

// A 4xx answer whose body is {"error": text} and nothing else.
bool isJsonError(const std::string& answer) {
  const json body = bodyOf(answer);
  return statusOf(answer) / 100 == 4 && body.is_object() && body.size() == 1 &&
         body.contains("error") && body["error"].is_string();
}

std::string chunk(std::string_view data) {
  std::ostringstream text;
  text << std::hex << data.size() << "\r\n" << data << "\r\n";
  return text.str();
}

// Every path below the root, relative to it.
std::set<std::filesystem::path> fileTree(const std::filesystem::path& root) {
  std::set<std::filesystem::path> paths;
  std::error_code error;
  for (auto entry = std::filesystem::recursive_directory_iterator(root, error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    paths.insert(std::filesystem::relative(entry->path(), root));
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

json listed(const json& upload) {
  return json::array({{{"id", upload["attachmentId"]}, {"name", upload["name"]}}});
}

class ServiceAbuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServiceProcess::binary().empty()) {
      GTEST_SKIP() << "this build has no tessaline-service";
    }
    ::signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->terminate(), 0) << service_->errorOutput();
    }
  }

  const std::filesystem::path& root() const { return directory_.path(); }
  std::filesystem::path dataDir() const { return root() / "data"; }
  std::filesystem::path attachmentsDir() const { return dataDir() / "attachments"; }
  int port() const { return service_->port(); }

  void start(std::vector<std::string> extra = {}) {
    std::string failure;
    service_ = ServiceProcess::serve(dataDir().string(), &failure, std::move(extra));
    ASSERT_TRUE(service_) << failure;
  }
  testing::CommandResult command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.end(), {"--data", dataDir().string()});
    return runServiceCommand(arguments);
  }

  static std::string uploadTarget(const std::string& localId, const std::string& fileId = "log",
                                  const std::string& extension = "txt") {
    return "/v1/attachments?fileId=" + encoded(fileId) + "&localId=" + encoded(localId) +
           "&extension=" + encoded(extension);
  }
  json upload(const std::string& localId, const std::string& bytes,
              const std::string& fileId = "log", const std::string& extension = "txt") {
    const std::string answer =
        exchange(port(), post(uploadTarget(localId, fileId, extension), bytes));
    EXPECT_EQ(statusOf(answer), 201) << answer;
    return bodyOf(answer);
  }
  std::string postReport(const json& report) {
    const std::string answer = exchange(port(), post("/v1/reports", report.dump()));
    EXPECT_EQ(statusOf(answer), 201) << answer;
    const json body = bodyOf(answer);
    return body.is_object() && body.contains("id") ? body["id"].get<std::string>() : "";
  }

  void expectStillServing() {
    const std::string answer = exchange(port(), get("/v1/config"));
    EXPECT_EQ(statusOf(answer), 200) << answer;
  }
  void expectNothingStored() {
    EXPECT_EQ(fileTree(attachmentsDir()), std::set<std::filesystem::path>());
    const auto list = command({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "");
  }

  testing::TemporaryDirectory directory_{"tessaline-service-abuse"};
  std::unique_ptr<ServiceProcess> service_;
};

// Each refusal is one JSON error, none answers the request hidden in a body, and a body cut short
// or framed wrongly ends its connection; nothing of them is stored.
TEST_F(ServiceAbuseTest, OversizedAndTruncatedBodiesStoreNothing) {
  start({"--max-upload-bytes", "4096", "--read-timeout", "2"});
  const std::string localId = Uuid::random().uuidString();
  const std::string upload = uploadTarget(localId);
  const std::string report = reportBody(localId).dump();
  const std::string hidden = post("/v1/reports", report);
  const std::string chunkedUpload =
      "POST " + upload + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunkedReport =
      "POST /v1/reports HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string bigReport = chunkedReport;
  for (int index = 0; index < 17; ++index) {
    bigReport += chunk(std::string(64 * 1024, ' '));
  }
  json longReport = reportBody(localId);
  longReport["messages"][0]["body"] = std::string(1024 * 1024, 'm');
  json unknownUpload = reportBody(localId);
  unknownUpload["attachments"] = {{{"id", Uuid::random().uuidString()}, {"name", "x"}}};

  struct Case {
    std::string request;
    int status;  // 0: an answer is optional
    bool endWriting;
  };
  const Case cases[] = {
      {post(upload, std::string(5000, 'x') + hidden), 413, true},
      {chunkedUpload + chunk(std::string(3000, 'u')) + chunk(std::string(3000, 'u') + hidden) +
           "0\r\n\r\n",
       413, true},
      {post(upload, hidden, "Content-Encoding: gzip\r\n"), 415, true},
      {post("/v1/attachments?fileId=%FF&localId=" + localId + "&extension=", hidden), 400, true},
      {post("/v1/elsewhere", hidden), 404, true},
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(hidden.size()) +
           "\r\n\r\n" + hidden,
       400, true},
      {post("/v1/reports", "{\"localId\":"), 400, true},
      {post("/v1/reports", unknownUpload.dump()), 422, true},
      {get("/v1/updateCheck?buildNumber=1&train=unknown"), 404, true},
      {get("/v1/config?" + std::string(9000, 'q')), 414, true},
      {"PUT /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 405, true},
      {"POST /v1/reports HTTP/1.1\r\nHost: x\r\n\r\n", 400, true},
      {post("/v1/reports", longReport.dump()), 0, false},
      {bigReport + "0\r\n\r\n", 0, false},
      {"POST " + upload + " HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n\r\n" +
           std::string(100, 'u'),
       0, true},
      {"POST /v1/reports HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(report.size() + 10) + "\r\n\r\n" + report,
       0, true},
      {chunkedUpload + "100\r\n" + std::string(10, 'u'), 0, true},
      {chunkedUpload + chunk("whole payload"), 0, true},
      {chunkedReport + chunk(report), 0, true},
      {chunkedReport + chunk(report) + "1", 0, true},
      {chunkedUpload + "fffffffffffffffffffff\r\nabc\r\n0\r\n\r\n", 0, false},
      {chunkedUpload + "zz\r\nabc\r\n0\r\n\r\n", 0, false},
      {"POST " + upload + " HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\nabc", 0, false},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.request.substr(0, 120));
    Connection connection(port());
    connection.send(each.request);
    if (each.endWriting) {
      connection.endWriting();
    }
    std::string answer;
    EXPECT_TRUE(connection.closedByService(answer, 30s));
    if (each.status != 0) {
      EXPECT_EQ(statusOf(answer), each.status) << answer;
      EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << answer;
    }
    EXPECT_TRUE(answer.empty() || isJsonError(answer)) << answer;
  }
  expectStillServing();
  expectNothingStored();
}

// Client names full of path and SQL metacharacters never reach outside the data folder, and are
// stored, shown and exported as sent; the export keeps within its folder.
TEST_F(ServiceAbuseTest, HostileNamesStayInsideTheDataFolderAndAreStoredVerbatim) {
  std::filesystem::create_directories(root() / "outside");
  std::ofstream(root() / "outside" / "sentinel") << "untouched";
  start();
  const std::string hostile[] = {
      "../escaped",
      "../../outside/escaped",
      "..",
      ".",
      "a/../../../escaped",
      "....//....//escaped",
      "..\\..\\escaped",
      "\\\\server\\share\\escaped",
      "/tmp/tessaline-abuse-escaped",
      (root() / "outside" / "absolute").string(),
      "%2e%2e%2fescaped",  // arrives as this text: one decoding only
      "%252e%252e%252fescaped",
      std::string("escaped\0.txt", 12),
      "..%00/escaped",
  };
  const std::string localId = Uuid::random().uuidString();
  json stored = json::array();
  for (const std::string& value : hostile) {
    // Raw: the value's bytes as they are in the request line (a blank would end it).
    const std::string raw = value.find(' ') == std::string::npos ? value : encoded(value);
    for (const std::string& put : {encoded(value), raw}) {
      for (const std::string& target :
           {"/v1/attachments?fileId=" + put + "&localId=" + localId + "&extension=txt",
            "/v1/attachments?fileId=log&localId=" + localId + "&extension=" + put,
            "/v1/attachments?fileId=log&localId=" + put + "&extension=txt"}) {
        const std::string answer = exchange(port(), post(target, "payload"));
        if (statusOf(answer) != 201) {
          EXPECT_TRUE(isJsonError(answer)) << target << "\n" << answer;
          continue;
        }
        const json body = bodyOf(answer);
        const std::string name = body["name"];
        EXPECT_EQ(name.find_first_of(std::string("/\0", 2)), std::string::npos) << name;
        EXPECT_NE(name.front(), '.') << name;
        stored.push_back(listed(body)[0]);
      }
      for (const std::string& target : {"/v1/updateCheck?buildNumber=" + put + "&train=stable",
                                        "/v1/updateCheck?buildNumber=310&train=" + put}) {
        EXPECT_TRUE(isJsonError(exchange(port(), get(target)))) << target;
      }
    }
  }
  for (const std::string& target :
       {"/v1/../v1/" + uploadTarget(localId).substr(4), std::string("/v1/%2e%2e/%2e%2e/outside/x"),
        std::string("/../../etc/passwd"), std::string("/v1/attachments/../reports")}) {
    const std::string answer = exchange(port(), post(target, "payload"));
    EXPECT_TRUE(statusOf(answer) == 201 || isJsonError(answer)) << target << "\n" << answer;
  }
  const std::string fileId = "x'); DROP TABLE attachments; --";
  const json sql = upload(localId, "payload", fileId, "%_'\"");
  EXPECT_EQ(sql["name"], fileId + ".%_'\"");
  stored.push_back(listed(sql)[0]);

  json report = reportBody(localId, stored);
  report["subject"] = "Robert'); DROP TABLE reports;--";
  report["messages"] = {
      {{"body", "100% of 'single' and \"double\" quotes, \\ back_slash, -- dash"}},
      {{"body", "'; DELETE FROM report_messages\nWHERE '1'='1"}},
      {{"body", "/* comment */ UNION SELECT * FROM attachments; %_%"}}};
  report["name"] = "O'Brien; UPDATE reports SET subject='x'";
  report["email"] = "x'--@example.org";
  const std::string id = postReport(report);
  ASSERT_FALSE(id.empty());
  // A second report after the first, so a statement that escaped would have hit something.
  const std::string second = postReport(reportBody(Uuid::random().uuidString()));
  const auto show = command({"show", id});
  for (const std::string& expected :
       {"Reason:      1 (Something crashed)\nFrequency:   2 (Sometimes)\nSubject:     " +
            report["subject"].get<std::string>() + "\n",
        "Name:        " + report["name"].get<std::string>() + "\n",
        "Email:       " + report["email"].get<std::string>() + "\n",
        "Message 1:\n" + report["messages"][0]["body"].get<std::string>() + "\n",
        "Message 2:\n" + report["messages"][1]["body"].get<std::string>() + "\n",
        "Message 3:\n" + report["messages"][2]["body"].get<std::string>() + "\n",
        "  " + sql["name"].get<std::string>() + "  7 bytes  " + attachmentsDir().string()}) {
    EXPECT_NE(show.out.find(expected), std::string::npos) << expected << "\n" << show.out;
  }
  const auto list = command({"list"});
  EXPECT_NE(list.out.find(id + "\t"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\tRobert'); DROP TABLE reports;--\n"), std::string::npos);
  EXPECT_NE(list.out.find(second + "\t"), std::string::npos) << list.out;
  for (const char* pattern : {"%", "_", "' OR '1'='1"}) {
    EXPECT_NE(command({"show", pattern}).err.find("no report with id"), std::string::npos);
  }
  const auto exported = command({"export", id, (root() / "export").string()});
  EXPECT_EQ(exported.exitCode, 0) << exported.err;
  const json document = json::parse(std::ifstream(root() / "export" / "report.json"));
  for (const char* key : {"subject", "name", "email", "messages"}) {
    EXPECT_EQ(document[key], report[key]) << key;
  }

  const std::set<std::filesystem::path> expected{
      "data",    "data/attachments", "export", "export/attachments", "export/report.json",
      "outside", "outside/sentinel"};
  std::size_t exportedFiles = 0;
  for (const std::filesystem::path& path : fileTree(root())) {
    if (path.parent_path() == "data/attachments") {
      EXPECT_TRUE(isCanonicalUuid(path.filename())) << path;
    } else if (path.parent_path() == "export/attachments") {
      ++exportedFiles;
    } else {
      EXPECT_TRUE(path.parent_path() == "data" || expected.contains(path)) << path;
    }
  }
  EXPECT_EQ(exportedFiles, stored.size());
  EXPECT_EQ(std::filesystem::file_size(root() / "outside" / "sentinel"), 9u);  // "untouched"
  EXPECT_FALSE(std::filesystem::exists("/tmp/tessaline-abuse-escaped"));
}

// A head that never ends, sent as fast as the service takes it, is cut off long before it could
// fill the service's memory.
TEST_F(ServiceAbuseTest, EndlessRequestHeadsAreCutOff) {
  start();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /v1/config HTTP/1.1\r\nHost: x\r\n", "X-Filler: " + std::string(1000, 'h') + "\r\n"},
      {"GET /v1/config HTTP/1.1\r\nX-Long: ", std::string(1000, 'h')},
      {"GET /v1/config?", std::string(1000, 'q')},
      {"POST " + uploadTarget(Uuid::random().uuidString()) +
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
    while (!closed && sent < 64u * 1024 * 1024 && connection.send(repeated)) {
      sent += repeated.size();
      closed = connection.closedByService(answer, 0ms);
    }
    EXPECT_TRUE(closed || connection.closedByService(answer, 20s));
    EXPECT_LT(sent, 16u * 1024 * 1024);
    EXPECT_TRUE(isJsonError(answer)) << answer;  // refused, not left to time out
    std::cout << "endless head: cut off after " << sent / 1024 << " KiB sent\n";
  }
  expectStillServing();
  expectNothingStored();
}

// More slow connections than workers, trickling a byte at a time: ordinary clients are served
// meanwhile, and the service ends every slow connection.
TEST_F(ServiceAbuseTest, SlowClientsAreCutOffWhileOthersAreServed) {
  start({"--threads", "2", "--read-timeout", "1", "--max-upload-bytes", "100000"});
  const std::string head = "POST " + uploadTarget(Uuid::random().uuidString(), "slow") +
                           " HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n";
  struct Slow {
    std::unique_ptr<Connection> connection;
    std::string trickle;  // sent a byte at a time
    std::size_t sent = 0;
    bool closed = false;
    std::string answer{};
  };
  std::vector<Slow> slow;
  for (int index = 0; index < 3; ++index) {
    for (const std::string& trickle :
         {std::string(), head + std::string(100000, 'b'), std::string(100000, 'b')}) {
      slow.push_back({std::make_unique<Connection>(port()), trickle});
    }
    slow.back().connection->send(head);  // then its body a byte at a time
  }
  std::atomic<bool> stop{false};
  std::thread trickler([&] {
    const auto deadline = Clock::now() + 60s;
    while (!stop && Clock::now() < deadline &&
           !std::all_of(slow.begin(), slow.end(), [](const Slow& each) { return each.closed; })) {
      for (Slow& each : slow) {
        each.closed = each.closed || each.connection->closedByService(each.answer, 0ms) ||
                      (each.sent < each.trickle.size() &&
                       !each.connection->send(each.trickle.substr(each.sent++, 1)));
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  for (int round = 0; round < 3; ++round) {
    const std::string localId = Uuid::random().uuidString();
    EXPECT_FALSE(postReport(reportBody(localId, listed(upload(localId, "ordinary")))).empty());
  }
  trickler.join();
  stop = true;
  for (const Slow& each : slow) {
    EXPECT_TRUE(each.closed);
    EXPECT_TRUE(each.answer.empty() || isJsonError(each.answer)) << each.answer;
    EXPECT_LT(each.sent, 1000u);
  }
  EXPECT_EQ(fileTree(attachmentsDir()).size(), 3u);
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

// Bad sequences in a report's texts and keys and in query values, raw or percent-encoded.
TEST_F(ServiceAbuseTest, InvalidUtf8IsRefusedWithAJsonError) {
  start();
  const std::string localId = Uuid::random().uuidString();
  std::vector<std::string> requests;
  for (const std::string bad :
       {"\xff", "\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80",
        "\xf8\x88\x80\x80\x80", "abc\xc3", "\xc3("}) {
    const std::string text = "before" + bad + "after";
    for (const std::string pointer : {"/subject", "/name", "/messages/0/body", "/@@"}) {
      json report = reportBody(localId);
      report[json::json_pointer(pointer)] = "@@";
      std::string body = report.dump();
      requests.push_back(post("/v1/reports", body.replace(body.find("@@"), 2, text)));
    }
    for (const std::string& value : {encoded(text), text}) {
      for (const std::string& target :
           {"/v1/attachments?fileId=" + value + "&localId=" + localId + "&extension=txt",
            "/v1/attachments?fileId=log&localId=" + localId + "&extension=" + value,
            "/v1/attachments?fileId=log&localId=" + value + "&extension=txt"}) {
        requests.push_back(post(target, "payload"));
      }
      requests.push_back(get("/v1/updateCheck?buildNumber=310&train=" + value));
      requests.push_back(get("/v1/updateCheck?buildNumber=" + value + "&train=stable"));
    }
  }
  // A JSON escape that names half of a surrogate pair.
  std::string lone = reportBody(localId).dump();
  requests.push_back(post("/v1/reports", lone.replace(lone.find("It crashed"), 2, "\\ud800")));
  for (const std::string& request : requests) {
    EXPECT_TRUE(isJsonError(exchange(port(), request))) << request;
  }
  expectStillServing();
  expectNothingStored();
}

TEST_F(ServiceAbuseTest, StartUpChecksRefuseBadSettings) {
  json config = json::parse(std::ifstream(kSampleConfig));
  config["form"]["reasons"][0]["crashLogs"] = "Required";
  const Result<Config> verdict = Config::fromJson(config["form"].dump());
  ASSERT_FALSE(verdict);
  const std::string badConfig = directory_.write("bad.json", config.dump()).string();
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {{"--config", kSampleConfig, "--bind", "0.0.0.0"},
       2,
       "plain HTTP is served on loopback only"},
      {{"--config", kSampleConfig, "--cert", kCertificateDir + "/server.pem"},
       2,
       "--cert and --key go together"},
      {{}, 2, ""},
      {{"--config", badConfig}, 1, verdict.error().description()},
  };
  for (Case each : cases) {
    each.arguments.insert(each.arguments.end(), {"--port", "0", "--data", dataDir().string()});
    const auto refused = runServiceCommand(each.arguments);
    EXPECT_EQ(refused.exitCode, each.exitCode) << refused.err;
    EXPECT_NE(refused.err.find(each.message), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out.find("listening"), std::string::npos);
  }

  // A file left by a run that crashed mid-upload goes at start, an upload no report uses after the
  // grace period. One service per data folder; an interrupt stops it cleanly.
  std::filesystem::create_directories(attachmentsDir());
  std::ofstream(attachmentsDir() / "2A6E4C58-1C3B-4D2B-9F1A-0B6A35C1D6E7") << "half an upload";
  start({"--orphan-grace", "1"});
  EXPECT_TRUE(fileTree(attachmentsDir()).empty());
  const std::string localId = Uuid::random().uuidString();
  const json orphan =
      bodyOf(exchange(port(), "POST " + uploadTarget(localId) + " HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(orphan.contains("attachmentId")) << orphan;  // without a length, an empty body
  for (const auto deadline = Clock::now() + 60s;
       !fileTree(attachmentsDir()).empty() && Clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(isJsonError(
      exchange(port(), post("/v1/reports", reportBody(localId, listed(orphan)).dump()))));
  const std::vector<std::string> again{"--port",           "0",        "--data",
                                       dataDir().string(), "--config", kSampleConfig};
  auto refused = runServiceCommand(again);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("another tessaline-service is using"), std::string::npos)
      << refused.err;
  Connection waiting(port());  // kept alive after its answer, closed by the stop
  waiting.send(get("/v1/config"));
  std::string answer;
  waiting.closedByService(answer, 1s);  // reads the answer
  ASSERT_EQ(::kill(service_->pid(), SIGINT), 0);
  EXPECT_EQ(service_->terminate(), 0);  // already ending; exits 0 either way
  service_.reset();

  // A newer schema is not touched.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dataDir() / "tessaline.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  refused = runServiceCommand(again);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("schema version 7, newer than this tessaline-service"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(command({"list"}).exitCode, 1);
}

TEST_F(ServiceAbuseTest, AKillDuringConcurrentSubmissionsLosesNoAnsweredReport) {
  start({"--threads", "4"});
  std::mutex mutex;
  std::map<std::string, json> reports;         // id: the uploads it lists
  std::map<std::string, std::size_t> uploads;  // every answered upload, reported or not
  std::atomic<bool> stop{false};
  std::atomic<bool> killing{false};
  std::atomic<int> failuresBeforeTheKill{0};
  const int servicePort = port();
  std::vector<std::thread> clients;
  for (int client = 0; client < 4; ++client) {
    clients.emplace_back([&, client] {
      const auto failed = [&](const std::string& answer) {
        failuresBeforeTheKill += statusOf(answer) != 201 && !killing ? 1 : 0;
        return statusOf(answer) != 201;
      };
      for (int round = 0; !stop; ++round) {
        const std::string localId = Uuid::random().uuidString();
        json attachments = json::array();
        for (int index = 0; index <= round % 3; ++index) {
          const std::size_t size =
              1000 + static_cast<std::size_t>(client * 7919 + round * 131 + index * 4099) % 60000;
          const std::string answer =
              exchange(servicePort, post(uploadTarget(localId, "log" + std::to_string(index)),
                                         std::string(size, static_cast<char>('a' + client))));
          if (failed(answer)) {
            return;  // the service is gone
          }
          const json uploaded = bodyOf(answer);
          attachments.push_back(listed(uploaded)[0]);
          std::lock_guard lock(mutex);
          uploads[uploaded["attachmentId"].get<std::string>()] = size;
        }
        const std::string answer =
            exchange(servicePort, post("/v1/reports", reportBody(localId, attachments).dump()));
        if (failed(answer)) {
          return;
        }
        std::lock_guard lock(mutex);
        EXPECT_TRUE(reports.emplace(bodyOf(answer)["id"].get<std::string>(), attachments).second);
      }
    });
  }
  // Kill once a good number of reports were answered, while the clients are still sending.
  const auto answered = [&] {
    std::lock_guard lock(mutex);
    return reports.size();
  };
  const auto deadline = Clock::now() + 60s;
  while (Clock::now() < deadline && answered() < 40) {
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
  EXPECT_EQ(failuresBeforeTheKill.load(), 0);

  start();
  for (const auto& [id, attachments] : reports) {
    const std::string shown = command({"show", id}).out;
    EXPECT_NE(shown.find("Attachments: " + std::to_string(attachments.size()) + "\n"),
              std::string::npos)
        << id;
    for (const json& attachment : attachments) {
      const std::string stored = attachment["id"];
      EXPECT_NE(shown.find(std::to_string(uploads[stored]) + " bytes  " +
                           (attachmentsDir() / stored).string() + "\n"),
                std::string::npos)
          << shown;
    }
  }
  // Answered uploads that no report used yet are kept too, for the grace period.
  for (const auto& [id, size] : uploads) {
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(attachmentsDir() / id, error), size) << id;
  }
  std::cout << reports.size() << " reports answered before the kill, checked after the restart\n";
}

}  // namespace
}  // namespace tessaline
