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

// The databases this process made; dropped at its end (services still on them are cut off).
struct Databases {
  std::mutex mutex;
  std::set<std::string> names;
  ~Databases() {
    // Past the test's end: plain libpq, nothing that reports to the test framework.
    PGconn* server = names.empty() ? nullptr : PQconnectdb(serverUrl().c_str());
    for (const std::string& name : names) {
      PQclear(PQexec(server, ("DROP DATABASE IF EXISTS \"" + name + "\" WITH (FORCE)").c_str()));
    }
    PQfinish(server);
  }
};
Databases databases;

std::vector<std::string> withBinary(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{ServiceProcess::binary()};
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
  std::lock_guard lock(databases.mutex);
  if (databases.names.insert(name).second) {
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

std::string ServiceProcess::binary() {
#ifdef TESSALINE_SERVICE_BINARY
  return TESSALINE_SERVICE_BINARY;
#else
  return {};
#endif
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
  return std::unique_ptr<ServiceProcess>(new ServiceProcess(std::move(child), port));
}

CommandResult runServiceCommand(const std::vector<std::string>& arguments) {
  return runCommand(withBinary(arguments), {}, std::chrono::seconds(60));
}

}  // namespace tessaline::testing
