// The service core with uploads, reports and orphan sweeps racing each other (the binary under
// concurrent clients is in service_abuse_test).

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"

#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <mutex>
#include <thread>

namespace tessaline {
namespace {

using nlohmann::json;
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
