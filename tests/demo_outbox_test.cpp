// tessaline-demo keeps a report that the service cannot take, and sends it later exactly once.
#include <Tessaline/records/Config.h>

#include "support/ChildProcess.h"
#include "support/FormTesting.h"
#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(DemoOutboxTest, KeepsTheReportWhileTheServiceFailsAndSendsItOnceLater) {
  if (std::string(TESSALINE_DEMO_BINARY).empty()) {
    GTEST_SKIP() << "the build has no tessaline-demo";
  }
  testing::TemporaryDirectory directory{"tessaline-demo-outbox"};
  const auto attachment = directory.write("notes.txt", "what I saw\n");
  fs::create_directories(directory.path() / "tmp");
  const auto demo = [&](const std::string& serviceURL, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TESSALINE_DEMO_BINARY);
    testing::ChildProcess::Options options;
    options.environment = {{"TESSALINE_SERVICE_URL", serviceURL},
                           {"HOME", (directory.path() / "home").string()},
                           {"TMPDIR", (directory.path() / "tmp").string()},
                           {"XDG_STATE_HOME", (directory.path() / "state").string()}};
    return testing::runCommand(arguments, options, 120s);
  };

  // The form loads, but every upload gets a 503 page instead of an answer.
  testing::TestServer failing({.tls = false});
  failing.setReply("GET", "/v1/config",
                   testing::Reply::json(testing::acceptingConfig().toJson().value()));
  failing.setReply("POST", "/v1/attachments", testing::Reply::json("<h1>busy</h1>", 503));
  const auto kept = demo(failing.baseURL(),
                         {"--outbox", "--reason", "1", "--frequency", "1", "--subject", "Kept",
                          "--message", "Playback stopped twice.", "--attach", attachment.string()});
  EXPECT_EQ(kept.exitCode, 0) << kept.out << kept.err;
  EXPECT_NE(kept.out.find("(the service answered with status 503).\nIt was kept on this "
                          "computer and will be sent later."),
            std::string::npos)
      << kept.out;
  const auto box = directory.path() / "state/tessaline/outbox";
  EXPECT_EQ(std::distance(fs::directory_iterator(box), fs::directory_iterator()), 1);

  const auto data = directory.path() / "data";
  std::string failure;
  auto service = testing::ServiceProcess::serve(data.string(), &failure);
  ASSERT_TRUE(service) << failure;
  const std::string serviceURL = "http://127.0.0.1:" + std::to_string(service->port()) + "/v1";
  for (const char* expected : {"Sent 1 kept report(s)", "Sent 0 kept report(s)"}) {
    const auto flushed = demo(serviceURL, {"--flush-outbox"});
    EXPECT_EQ(flushed.exitCode, 0) << flushed.out << flushed.err;
    EXPECT_NE(flushed.out.find(expected), std::string::npos) << flushed.out;
  }
  const auto listed = testing::runServiceCommand({"list", "--data", data.string()});
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 1) << listed.out;
  EXPECT_NE(listed.out.find("\t1\tKept\n"), std::string::npos) << listed.out;  // with its file
}

}  // namespace
}  // namespace tessaline
