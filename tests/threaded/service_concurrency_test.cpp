// The service under concurrent clients: the binary with several client threads, and the core with
// uploads, reports and orphan sweeps racing each other.

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"

#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::ServiceProcess;
using testing::TemporaryDirectory;

const std::string kSampleConfig = TESSALINE_SOURCE_DIR "/server/sample-service-config.json";

json reportBody(const std::string& localId, const json& attachments) {
  return {{"localId", localId},
          {"reasonId", 3},
          {"frequencyId", 3},
          {"subject", "Idea"},
          {"messages", {{{"body", "More presets, please."}}}},
          {"attachments", attachments}};
}

TEST(ServiceConcurrencyTest, ConcurrentClientsAllGetTheirReportsStored) {
  if (ServiceProcess::binary().empty()) {
    GTEST_SKIP() << "this build has no tessaline-service";
  }
  ::signal(SIGPIPE, SIG_IGN);
  TemporaryDirectory directory("tessaline-service-concurrency");
  const std::string data = (directory.path() / "data").string();
  std::string failure;
  auto service = ServiceProcess::start(
      {"--port", "0", "--data", data, "--config", kSampleConfig, "--threads", "4"}, &failure);
  ASSERT_TRUE(service) << failure;

  constexpr int kClients = 4;
  constexpr int kReportsEach = 6;
  std::mutex mutex;
  std::set<std::string> reportIds;
  std::set<std::string> attachmentIds;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&, client] {
      httplib::Client http("127.0.0.1", service->port());
      http.set_read_timeout(120, 0);
      const std::string payload(64 * 1024, static_cast<char>('a' + client));
      for (int index = 0; index < kReportsEach; ++index) {
        const std::string localId = Uuid::random().uuidString();
        const auto uploaded =
            http.Post("/v1/attachments?fileId=log&localId=" + localId + "&extension=txt", payload,
                      "application/octet-stream");
        if (!uploaded || uploaded->status != 201) {
          ++failures;
          continue;
        }
        const json attachment = json::parse(uploaded->body);
        const auto reported = http.Post("/v1/reports",
                                        reportBody(localId, {{{"id", attachment["attachmentId"]},
                                                              {"name", attachment["name"]}}})
                                            .dump(),
                                        "application/json");
        if (!reported || reported->status != 201) {
          ++failures;
          continue;
        }
        std::lock_guard lock(mutex);
        reportIds.insert(json::parse(reported->body)["id"].get<std::string>());
        attachmentIds.insert(attachment["attachmentId"].get<std::string>());
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(reportIds.size(), static_cast<std::size_t>(kClients * kReportsEach));
  EXPECT_EQ(attachmentIds.size(), static_cast<std::size_t>(kClients * kReportsEach));
  EXPECT_EQ(service->terminate(), 0) << service->errorOutput();

  const auto list = testing::runServiceCommand({"list", "--data", data});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  for (const std::string& id : reportIds) {
    EXPECT_NE(list.out.find(id), std::string::npos) << id;
  }
}

// A report either keeps every attachment it names or is refused; a sweep never leaves a stored
// report pointing at a removed file.
TEST(ServiceConcurrencyTest, SweepsRacingReportsNeverOrphanAStoredReport) {
  TemporaryDirectory directory("tessaline-service-sweeps");
  auto store = server::Store::open(directory.path() / "data", server::Store::Mode::service);
  ASSERT_TRUE(store) << store.error().description();
  auto config = server::ServiceConfig::load(kSampleConfig);
  ASSERT_TRUE(config);
  server::ServiceCore core(config.value(), *store.value(), {});

  std::atomic<bool> done{false};
  std::thread sweeper([&] {
    while (!done) {
      EXPECT_TRUE(store.value()->removeOrphans(std::chrono::milliseconds(0), false));
    }
  });
  std::mutex mutex;
  std::vector<std::string> stored;
  std::vector<std::thread> clients;
  for (int client = 0; client < 3; ++client) {
    clients.emplace_back([&] {
      for (int index = 0; index < 15; ++index) {
        const std::string localId = Uuid::random().uuidString();
        server::ServiceRequest upload;
        upload.method = "POST";
        upload.path = "/v1/attachments";
        upload.query = {{"fileId", "log"}, {"localId", localId}, {"extension", "txt"}};
        upload.body = server::ServiceRequest::bodyOf(std::string(4096, 'l'));
        const server::ServiceResponse uploaded = core.handle(upload);
        ASSERT_EQ(uploaded.status, 201) << uploaded.body;
        const json attachment = json::parse(uploaded.body);
        server::ServiceRequest report;
        report.method = "POST";
        report.path = "/v1/reports";
        report.body = server::ServiceRequest::bodyOf(
            reportBody(localId,
                       {{{"id", attachment["attachmentId"]}, {"name", attachment["name"]}}})
                .dump());
        const server::ServiceResponse reported = core.handle(report);
        if (reported.status == 201) {
          std::lock_guard lock(mutex);
          stored.push_back(json::parse(reported.body)["id"].get<std::string>());
        } else {
          EXPECT_EQ(reported.status, 422) << reported.body;  // swept before the report came
        }
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  done = true;
  sweeper.join();

  for (const std::string& id : stored) {
    const auto report = store.value()->report(id);
    ASSERT_TRUE(report && report.value());
    ASSERT_EQ(report.value()->attachments.size(), 1u);
    const auto path = store.value()->attachmentPath(report.value()->attachments[0].id);
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
  }
}

}  // namespace
}  // namespace tessaline
