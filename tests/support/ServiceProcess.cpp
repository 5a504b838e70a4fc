#include "support/ServiceProcess.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>

namespace tessaline::testing {

namespace {

// The URL of the server's own database, as the starter wrote it.
std::string serverUrl() {
  const char* folder = std::getenv("TESSALINE_TEST_POSTGRES");
  std::string url;
  if (folder && *folder) {
    std::getline(std::ifstream(std::filesystem::path(folder) / "url"), url);
  }
  return url;
}

#ifndef TESSALINE_SERVICE_BINARY
#define TESSALINE_SERVICE_BINARY ""  // a build without the service runs none of its tests
#endif

std::vector<std::string> withBinary(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{TESSALINE_SERVICE_BINARY};
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    if (arguments[index] == "--data" && index + 1 < arguments.size() && usesPostgres()) {
      command.insert(command.end(), {"--database", storeLocation(arguments[++index])});
    } else {
      command.push_back(arguments[index]);
    }
  }
  return command;
}

}  // namespace

bool usesPostgres() {
  static const bool uses = !serverUrl().empty();
  return uses;
}

std::string storeLocation(const std::filesystem::path& dataDir) {
  if (!usesPostgres()) {
    return dataDir.string();
  }
  const std::string name =
      "test_" +
      std::to_string(std::hash<std::string>()(std::filesystem::absolute(dataDir).string()));
  std::string url = serverUrl();
  url.replace(url.find("/postgres?"), 9, "/" + name);
  // Made on first use; the throw-away server is removed with all of them at the end of the run.
  static std::mutex mutex;
  static std::set<std::string> made;
  std::lock_guard lock(mutex);
  if (made.insert(name).second) {
    PostgresClient(serverUrl()).query("CREATE DATABASE \"" + name + "\"");
  }
  return url;
}

PostgresClient::PostgresClient(const std::string& url) : connection_(PQconnectdb(url.c_str())) {
  EXPECT_EQ(PQstatus(connection_), CONNECTION_OK)
      << url << ": " << PQerrorMessage(connection_)
      << "(is the server of TESSALINE_TEST_POSTGRES running?)";
}

PostgresClient::~PostgresClient() {
  PQfinish(connection_);
}

std::string PostgresClient::query(const std::string& sql) {
  PGresult* result = PQexec(connection_, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
      << sql << ": " << PQerrorMessage(connection_);
  std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
  PQclear(result);
  return value;
}

std::unique_ptr<ServiceProcess> ServiceProcess::start(const std::vector<std::string>& arguments,
                                                      std::string* failure) {
  auto child = ChildProcess::start(withBinary(arguments), {}, failure);
  if (!child) {
    return nullptr;
  }
  const std::string prefix = "listening on ";
  const bool listening =
      child->waitForOutput("\n", std::chrono::seconds(60)) && child->out().starts_with(prefix);
  const int port = listening ? std::atoi(child->out().c_str() + prefix.size()) : 0;
  if (port <= 0) {
    if (failure != nullptr) {
      *failure = "the service did not start listening; it printed \"" + child->out() +
                 "\" and wrote to standard error:\n" + child->err();
    }
    return nullptr;
  }
  return std::unique_ptr<ServiceProcess>(new ServiceProcess{std::move(child), port});
}

CommandResult runServiceCommand(const std::vector<std::string>& arguments) {
  return runCommand(withBinary(arguments), {}, std::chrono::seconds(60));
}

}  // namespace tessaline::testing
