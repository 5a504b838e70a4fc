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

server::ServiceRequest post(const std::string& path, const std::string& body) {
  server::ServiceRequest request;
  request.method = "POST";
  request.path = path;
  request.body = server::ServiceRequest::bodyOf(body);
  return request;
}

// A report either keeps every attachment it names or is refused; a sweep never leaves a stored
// report pointing at a removed file.
TEST(ServiceConcurrencyTest, SweepsRacingReportsNeverOrphanAStoredReport) {
  testing::TemporaryDirectory directory("tessaline-service-sweeps");
  auto store = server::Store::open(directory.path() / "data", server::Store::Mode::service);
  ASSERT_TRUE(store) << store.error().description();
  auto config =
      server::ServiceConfig::load(TESSALINE_SOURCE_DIR "/server/sample-service-config.json");
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
        server::ServiceRequest upload = post("/v1/attachments", std::string(4096, 'l'));
        upload.query = {{"fileId", "log"}, {"localId", localId}, {"extension", "txt"}};
        const server::ServiceResponse uploaded = core.handle(upload);
        ASSERT_EQ(uploaded.status, 201) << uploaded.body;
        const json attachment = json::parse(uploaded.body);
        const json report = {
            {"localId", localId},
            {"reasonId", 3},
            {"frequencyId", 3},
            {"subject", "Idea"},
            {"messages", {{{"body", "More presets, please."}}}},
            {"attachments", {{{"id", attachment["attachmentId"]}, {"name", attachment["name"]}}}}};
        const server::ServiceResponse reported = core.handle(post("/v1/reports", report.dump()));
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
    EXPECT_TRUE(
        std::filesystem::exists(store.value()->attachmentPath(report.value()->attachments[0].id)));
  }
}

}  // namespace
}  // namespace tessaline
