#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"

struct pg_conn;

namespace tessaline::testing {

inline const std::string kSampleConfig = TESSALINE_SOURCE_DIR "/server/sample-service-config.json";

// A report the sample configuration takes, and how a report lists an upload from its answer.
inline nlohmann::json reportBody(const std::string& localId,
                                 const nlohmann::json& attachments = nlohmann::json::array()) {
  nlohmann::json body = nlohmann::json::parse(R"({"reasonId": 2, "frequencyId": 1,
      "subject": "Crackling audio", "messages": [{"body": "It crackles"}], "name": "Ann Example",
      "email": "ann@example.org"})");
  body["localId"] = localId;
  body["attachments"] = attachments;
  return body;
}
inline nlohmann::json listed(const nlohmann::json& upload) {
  return {{"id", upload["attachmentId"]}, {"name", upload["name"]}};
}

// The store tests run against SQLite, or against the PostgreSQL server that
// tests/support/postgres-server started in the folder TESSALINE_TEST_POSTGRES names.
bool usesPostgres();
// The store a test's data folder stands for: the folder itself, or a database of its own on that
// server. The service's "--data FOLDER" arguments are turned into "--database URL" the same way.
std::string storeLocation(const std::filesystem::path& dataDir);

// A connection to a PostgreSQL database, for what a test does behind the service's back.
class PostgresClient {
 public:
  explicit PostgresClient(const std::string& url);
  ~PostgresClient();
  PostgresClient(const PostgresClient&) = delete;
  PostgresClient& operator=(const PostgresClient&) = delete;
  // The first value of the answer ("" when none); a failed statement fails the test.
  std::string query(const std::string& sql);

 private:
  ::pg_conn* connection_;
};

// A running tessaline-service child process (killed when dropped) and the port it listens on.
struct ServiceProcess {
  // Starts the binary with the arguments ("--port 0" among them) and waits, at most a minute,
  // until it prints "listening on PORT". Nothing (and the reason in `failure`) when it does not.
  static std::unique_ptr<ServiceProcess> start(const std::vector<std::string>& arguments,
                                               std::string* failure = nullptr);
  int port() const { return listeningPort; }

  std::unique_ptr<ChildProcess> child;
  int listeningPort;
};

// Runs the binary with the arguments to its end, at most a minute (then it is killed).
CommandResult runServiceCommand(const std::vector<std::string>& arguments);

}  // namespace tessaline::testing
