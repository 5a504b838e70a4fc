#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

struct pg_conn;

namespace tessaline::testing {

// The configuration the tests serve unless they need another.
inline const std::string kSampleConfig = TESSALINE_SOURCE_DIR "/server/sample-service-config.json";

// The store tests run against SQLite, or against the PostgreSQL server that
// tests/support/postgres-server started in the folder TESSALINE_TEST_POSTGRES names.
bool usesPostgres();
// The store a test's data folder stands for: the folder itself, or a database of its own on that
// server (created on first use, dropped when the test's process ends). The service's "--data
// FOLDER" arguments are turned into "--database URL" the same way.
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

// A running tessaline-service child process, killed when dropped.
class ServiceProcess {
 public:
  // The build's tessaline-service executable; empty when the build has none.
  static std::string binary();
  // Starts the binary with the arguments ("--port 0" among them) and waits, at most a minute,
  // until it prints "listening on PORT". Nothing (and the reason in `failure`) when it does not.
  static std::unique_ptr<ServiceProcess> start(const std::vector<std::string>& arguments,
                                               std::string* failure = nullptr);
  // Serves `data` with the sample configuration on a free loopback port, `extra` arguments first.
  static std::unique_ptr<ServiceProcess> serve(const std::string& data, std::string* failure,
                                               std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"--port", "0", "--data", data, "--config", kSampleConfig});
    return start(extra, failure);
  }

  int port() const { return port_; }
  pid_t pid() const { return child_->pid(); }
  int terminate() { return child_->terminate(std::chrono::seconds(60)); }  // the exit code
  void kill() { child_->kill(); }
  std::string errorOutput() const { return child_->err(); }

 private:
  ServiceProcess(std::unique_ptr<ChildProcess> child, int port)
      : child_(std::move(child)), port_(port) {}
  std::unique_ptr<ChildProcess> child_;
  int port_;
};

// Runs the binary with the arguments to its end, at most a minute (then it is killed).
CommandResult runServiceCommand(const std::vector<std::string>& arguments);

}  // namespace tessaline::testing
