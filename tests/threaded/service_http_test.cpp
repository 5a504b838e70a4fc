// tessaline-service over real connections: requests a server must refuse, kept-alive
// connections, a flood of stalled connections, repeated submissions, SIGTERM and a full disk.

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::ServiceProcess;
using namespace std::chrono_literals;

// A connection on loopback, from the given source address, that sends raw bytes and reads one
// answer at a time.
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
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ~Connection() { ::close(fd_); }

  bool send(std::string_view bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == std::ssize(bytes);
  }
  // The next answer (head and Content-Length body); empty when none came whole.
  std::string answer() {
    while (true) {
      const std::size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::size_t field = buffer_.find("Content-Length: ");
        const std::size_t size =
            end + 4 + (field < end ? std::stoul(buffer_.substr(field + 16)) : 0);
        if (buffer_.size() >= size) {
          std::string whole = buffer_.substr(0, size);
          buffer_.erase(0, size);
          return whole;
        }
      }
      if (!fill()) {
        return {};
      }
    }
  }
  bool closedByServer() {
    while (fill()) {
    }
    return ended_;
  }

 private:
  bool fill() {
    char bytes[16384];
    const ssize_t count = ::recv(fd_, bytes, sizeof bytes, 0);
    ended_ = count == 0 || (count < 0 && errno != EAGAIN);
    buffer_.append(bytes, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    return count > 0;
  }

  int fd_;
  std::string buffer_;
  bool ended_ = false;
};

int statusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}
std::string bodyOf(const std::string& answer) {
  return answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
}
bool isJsonError(const std::string& answer) {
  const json body = json::parse(bodyOf(answer), nullptr, false);
  return body.is_object() && body.size() == 1 && body.contains("error");
}

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

std::string uploadTarget(const std::string& localId, const std::string& fileId = "log") {
  return "/v1/attachments?fileId=" + fileId + "&localId=" + localId + "&extension=txt";
}

std::string report(const std::string& localId, const std::string& message = "Crash") {
  return json{{"localId", localId},
              {"reasonId", 1},
              {"frequencyId", 2},
              {"subject", "Crash"},
              {"messages", {{{"body", message}}}},
              {"attachments", json::array()}}
      .dump();
}

class ServiceHttpTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    if (ServiceProcess::binary().empty()) {
      GTEST_SKIP() << "this build has no tessaline-service";
    }
    std::string failure;
    service_ = ServiceProcess::serve(data().string(), &failure, std::move(extra));
    ASSERT_TRUE(service_) << failure;
  }
  std::filesystem::path data() const { return directory_.path() / "data"; }
  long storedFiles() const {
    if (testing::usesPostgres()) {
      return std::stol(testing::PostgresClient(testing::storeLocation(data()))
                           .query("SELECT count(*) FROM attachments"));
    }
    return std::distance(std::filesystem::directory_iterator(data() / "attachments"), {});
  }
  std::string storedReports() const {
    return testing::runServiceCommand({"list", "--data", data().string()}).out;
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
      {"HEAD /v1/config HTTP/1.1\r\nHost: x\r\n\r\n", 405},  // its body is not read
  };
  for (const auto& [request, status] : cases) {
    SCOPED_TRACE(request.substr(0, 80));
    Connection connection(service_->port());
    connection.send(request);
    const std::string answer = connection.answer();
    EXPECT_EQ(statusOf(answer), status) << answer;
    EXPECT_TRUE(isJsonError(answer)) << answer;
    EXPECT_TRUE(connection.closedByServer());
  }
}

// Refused bodies small enough to drain leave the connection usable, and none of their bytes
// count as a request; a body past the drain bound is refused before it is sent, then closed.
TEST_F(ServiceHttpTest, KeptAliveConnectionsSurviveRefusalsAndDrainBodies) {
  start({"--max-upload-bytes", "16"});
  const std::string upload = uploadTarget(Uuid::random().uuidString());
  Connection connection(service_->port());
  EXPECT_EQ(statuses(connection,
                     {kGetConfig, post(upload, std::string(20, 'x') + kGetConfig),
                      post("/v1/nowhere", kGetConfig),
                      "POST " + upload + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n20\r\n" +
                          std::string(32, 'x') + "\r\n0\r\n\r\n",
                      post(upload, "fits"), kGetConfig + kGetConfig, /* its second answer */ "",
                      "POST " + upload + " HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n"}),
            (std::vector<int>{200, 413, 404, 413, 201, 200, 200, 413}));
  EXPECT_TRUE(connection.closedByServer());
  EXPECT_EQ(storedFiles(), 1);
}

// Stalled half-heads hold no worker: submissions are served meanwhile, and a connection past the
// per-address cap gets a 503.
TEST_F(ServiceHttpTest, AFloodOfStalledConnectionsDoesNotStarveOthers) {
  start({"--threads", "2", "--max-connections-per-address", "300"});
  std::vector<std::unique_ptr<Connection>> stalled;
  for (int index = 0; index < 300; ++index) {
    stalled.push_back(std::make_unique<Connection>(service_->port(), "127.0.0.2"));
    stalled.back()->send("POST /v1/reports HTTP/1.1\r\nHo");
  }
  Connection ordinary(service_->port());
  for (int round = 0; round < 3; ++round) {
    const std::string localId = Uuid::random().uuidString();
    ordinary.send(post(uploadTarget(localId), "log lines"));
    const json uploaded = json::parse(bodyOf(ordinary.answer()), nullptr, false);
    ASSERT_TRUE(uploaded.contains("attachmentId")) << uploaded;
    json body = json::parse(report(localId));
    body["attachments"] = {{{"id", uploaded["attachmentId"]}, {"name", uploaded["name"]}}};
    EXPECT_EQ(statuses(ordinary, {post("/v1/reports", body.dump())}), std::vector<int>{201});
  }
  Connection overCap(service_->port(), "127.0.0.2");
  const std::string refused = overCap.answer();
  EXPECT_EQ(statusOf(refused), 503) << refused;
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
    bool repeat;  // answered as the last 201, byte for byte
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
  Connection connection(service_->port());
  std::string first;
  for (const Case& each : cases) {
    SCOPED_TRACE(each.headers + each.body);
    connection.send(post(each.target, each.body, each.headers));
    const std::string answer = connection.answer();
    EXPECT_EQ(statusOf(answer), each.status) << answer;
    if (each.repeat) {
      EXPECT_EQ(bodyOf(answer), bodyOf(first));
    } else if (each.status == 201) {
      first = answer;
    } else {
      EXPECT_TRUE(isJsonError(answer)) << answer;
    }
  }
  EXPECT_EQ(storedFiles(), 1);
  EXPECT_EQ(std::ranges::count(storedReports(), '\n'), 1);
}

TEST_F(ServiceHttpTest, SigtermFinishesWhatIsInFlightAndExitsCleanly) {
  start();
  Connection idle(service_->port());
  ASSERT_EQ(statuses(idle, {kGetConfig}), std::vector<int>{200});
  Connection inFlight(service_->port());
  inFlight.send("POST " + uploadTarget(Uuid::random().uuidString()) +
                " HTTP/1.1\r\nContent-Length: 10\r\n\r\nhalf ");
  for (int wait = 0; wait < 200 && storedFiles() == 0; ++wait) {  // the upload has begun
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(::kill(service_->pid(), SIGTERM), 0);
  EXPECT_TRUE(idle.closedByServer());
  inFlight.send("done!");
  const std::string answer = inFlight.answer();
  EXPECT_EQ(statusOf(answer), 201) << answer;
  EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  EXPECT_EQ(service_->terminate(), 0) << service_->errorOutput();
  service_.reset();
  EXPECT_EQ(storedFiles(), 1);
}

// The data folder is a small tmpfs, mounted in the test's own mount namespace, that a filler
// file fills up.
TEST_F(ServiceHttpTest, AFullDiskRefusesWhole507AndStoringResumesWithRoom) {
  std::filesystem::create_directory(data());
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", data().c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "needs root and a mount namespace of its own";
  }
  struct Unmount {
    std::filesystem::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{data()};
  start();
  const std::string localId = Uuid::random().uuidString();
  const std::vector<std::string> stores = {
      post(uploadTarget(localId), std::string(256 << 10, 'u')),
      post("/v1/reports", report(localId, std::string(200 << 10, 'm')))};
  Connection connection(service_->port());
  ASSERT_EQ(statuses(connection, {post(uploadTarget(localId), "before")}), std::vector<int>{201});
  const int filler = ::open((data() / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  for (const std::string block(4096, 'f'); ::write(filler, block.data(), block.size()) > 0;) {
  }
  ::close(filler);
  EXPECT_EQ(statuses(connection, stores), (std::vector<int>{507, 507}));
  // Reads keep working, and nothing of the refused requests was kept.
  EXPECT_EQ(statuses(connection, {kGetConfig}), std::vector<int>{200});
  EXPECT_EQ(storedReports(), "");
  EXPECT_EQ(storedFiles(), 1);
  std::filesystem::remove(data() / "filler");
  EXPECT_EQ(statuses(connection, stores), (std::vector<int>{201, 201}));
  EXPECT_EQ(storedFiles(), 2);
}

}  // namespace
}  // namespace tessaline
