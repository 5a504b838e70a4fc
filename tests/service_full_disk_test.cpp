// tessaline-service on a full disk: a small tmpfs, mounted by the test in a mount namespace of
// its own, that a filler file fills up.

#include "support/RawHttpConnection.h"
#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"

#include <Tessaline/records/Uuid.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

namespace tessaline {
namespace {

using nlohmann::json;
using testing::RawHttpConnection;
using testing::ServiceProcess;

std::string post(const std::string& target, const std::string& body) {
  return "POST " + target +
         " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// Writes until the disk refuses.
void fill(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::string block(64 * 1024, 'f');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::write(fd, block.data(), 1);  // the last partial block
  ::close(fd);
}

TEST(ServiceFullDiskTest, StoringFailsWholeWith507AndResumesWhenThereIsRoomAgain) {
  if (ServiceProcess::binary().empty() || ::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "needs tessaline-service, root and a mount namespace of its own";
  }
  testing::TemporaryDirectory directory("tessaline-full-disk");
  const std::filesystem::path disk = directory.path() / "disk";
  std::filesystem::create_directory(disk);
  ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4m"), 0);
  struct Unmount {
    std::filesystem::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  std::string failure;
  auto service =
      ServiceProcess::start({"--port", "0", "--data", (disk / "data").string(), "--config",
                             TESSALINE_SOURCE_DIR "/server/sample-service-config.json"},
                            &failure);
  ASSERT_TRUE(service) << failure;
  RawHttpConnection connection(service->port());
  auto exchange = [&](const std::string& request) {
    connection.send(request);
    return connection.answer();
  };
  const std::string localId = Uuid::random().uuidString();
  const std::string upload = "/v1/attachments?fileId=log&localId=" + localId + "&extension=txt";
  json report = {{"localId", localId},
                 {"reasonId", 1},
                 {"frequencyId", 2},
                 {"subject", "Full"},
                 {"attachments", json::array()},
                 {"messages", {{{"body", std::string(200 * 1024, 'm')}}}}};
  ASSERT_EQ(testing::statusOf(exchange(post(upload, "before"))), 201);

  fill(disk / "filler");
  for (const auto& request :
       {post(upload, std::string(256 * 1024, 'u')), post("/v1/reports", report.dump())}) {
    const std::string answer = exchange(request);
    EXPECT_EQ(testing::statusOf(answer), 507) << answer;
    EXPECT_NE(testing::bodyOf(answer).find("\"error\""), std::string::npos) << answer;
  }
  // Reads keep working, and nothing of the refused requests was kept.
  EXPECT_EQ(testing::statusOf(exchange("GET /v1/config HTTP/1.1\r\nHost: x\r\n\r\n")), 200);
  const auto list = testing::runServiceCommand({"list", "--data", (disk / "data").string()});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out, "");
  auto files = [&] {
    return std::distance(std::filesystem::directory_iterator(disk / "data" / "attachments"),
                         std::filesystem::directory_iterator());
  };
  EXPECT_EQ(files(), 1);

  std::filesystem::remove(disk / "filler");
  EXPECT_EQ(testing::statusOf(exchange(post(upload, std::string(256 * 1024, 'u')))), 201);
  EXPECT_EQ(testing::statusOf(exchange(post("/v1/reports", report.dump()))), 201);
  EXPECT_EQ(files(), 2);
  EXPECT_EQ(service->terminate(), 0) << service->errorOutput();
}

}  // namespace
}  // namespace tessaline
