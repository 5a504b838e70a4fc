// Faults of the network and of the files met by the whole submission pipeline, against real
// servers on loopback: each must end the pipeline the documented way (an upload left out, a report
// failed and retried), never in a crash, a hang or a leak.
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/detail/HttpTesting.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/FaultServer.h"
#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using State = FeedbackFormViewModel::State;
using json = nlohmann::json;
using testing::FaultServer;
using testing::Reply;
using testing::TestServer;

std::string patternOf(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  }
  return data;
}

// The answer of the attachments endpoint for an upload whose fileId is `fileId`.
std::string uploadAnswer(const std::string& fileId) {
  return json{{"localId", "L"}, {"attachmentId", "A-" + fileId}, {"name", fileId}}.dump();
}

// The fileId of an upload's raw query ("fileId=keep&localId=...").
std::string fileIdOf(const std::string& query) {
  return query.starts_with("fileId=") ? query.substr(7, query.find('&') - 7) : "";
}

// The usual service: every upload and report is answered at once.
void answerNormally(FaultServer& server) {
  server.setHandler("/v1/attachments", [](FaultServer::Exchange& exchange) {
    if (exchange.readWholeBody()) {
      exchange.answerJson(uploadAnswer(fileIdOf(exchange.request().query)));
    }
  });
  server.setHandler("/v1/reports", [](FaultServer::Exchange& exchange) {
    if (exchange.readWholeBody()) {
      exchange.answerJson(R"({"id":"R-1"})");
    }
  });
}

void answerNormally(TestServer& server) {
  server.setHandler("POST", "/v1/attachments", [](const testing::RecordedRequest& request) {
    return Reply::json(uploadAnswer(fileIdOf(request.query)));
  });
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"R-1"})"));
}

json attachmentsOf(const std::string& reportBody) {
  return json::parse(reportBody)["attachments"];
}
const json kOnlyKeep = json::parse(R"([{"id":"A-keep","name":"keep"}])");

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
  }
  void TearDown() override {
    platform::MainQueue::drain();
    platform::detail::setRequestTimeoutOverride(std::nullopt);
  }

  // Points the process's service address at `baseURL` and makes a form with a subject and a
  // message, loaded unless asked not to. The address is read once per process, so every case
  // runs in its own (as CTest runs them).
  void makeModel(const std::string& baseURL, bool loaded = true) {
    testing::trustTestCertificateAuthority();
    setenv("TESSALINE_SERVICE_URL", baseURL.c_str(), 1);
    ASSERT_EQ(Environment::current().baseURL().absoluteString(), baseURL)
        << "the service address was read before; run each case in its own process (ctest)";
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    if (loaded) {
      auto config = testing::acceptingConfig();
      config.maxAttachmentSize = 64 * 1024 * 1024;
      FormModelTestAccess::applyConfig(*model_, config);
    }
    model_->subject.set("Subject");
    model_->message.set("Word");
  }

  // Adds a file attachment whose fileId on the wire is the file's name without its extension.
  std::filesystem::path attach(const std::string& name, const std::string& contents) {
    const auto path = dir_.write(name, contents);
    const auto url = Url::fileURL(path.string());
    EXPECT_TRUE(model_->addCustomAttachment(
        ReportAttachment(url.deletingPathExtensionOfLastComponent(), ReportAttachment::file(url),
                         url.pathExtension())));
    return path;
  }

  // Submits (or retries) and waits until the pipeline ended.
  void run(void (FeedbackFormViewModel::*start)()) {
    ((*model_).*start)();
    ASSERT_TRUE(platform::MainQueue::drainUntil([&] {
      const auto kind = model_->state.get().kind();
      return kind == State::Case::submitted || kind == State::Case::failed;
    }));
  }
  void expectGenericFailure() {
    const State state = model_->state.get();
    ASSERT_EQ(state.kind(), State::Case::failed) << state.description();
    EXPECT_EQ(state.failure()->kind, FeedbackFormViewModel::Failure::Kind::generic);
    EXPECT_FALSE(state.failure()->message.empty());
    EXPECT_EQ(model_->stateDescription.get(), "");
  }
  void expectSubmitted(const std::string& id) {
    EXPECT_EQ(model_->state.get(), State::submitted()) << model_->state.get().description();
    EXPECT_EQ(model_->stateDescription.get(),
              "Thank you for sending your feedback!\nIt was assigned the ID " + id + ".");
  }

  testing::TemporaryDirectory dir_;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

// Uploads broken on the wire each leave their file out of the report, which still goes out with
// the one that worked: a connection cut inside the body, an answer that stalls halfway (ended by
// the idle time-out, shortened to two seconds), and a file cut short while it uploads.
TEST_F(FaultInjectionTest, UploadsBrokenOnTheWireAreLeftOut) {
  platform::detail::setRequestTimeoutOverride(2s);
  FaultServer server;
  answerNormally(server);
  const std::string big = patternOf(16 * 1024 * 1024);
  std::filesystem::path bigPath;
  std::atomic<int> truncations{0};
  server.setHandler("/v1/attachments", [&](FaultServer::Exchange& exchange) {
    const auto fileId = fileIdOf(exchange.request().query);
    if (fileId == "cut") {
      exchange.readBodyUpTo(64 * 1024);  // then the connection closes mid-body
      return;
    }
    // The first bytes are here: the file shrinks under the sender, which cannot have read more
    // than its socket buffers hold.
    if (fileId == "big" && exchange.readBodyUpTo(64 * 1024)) {
      std::filesystem::resize_file(bigPath, 1000);
      ++truncations;
    }
    if (!exchange.readWholeBody()) {
      return;
    }
    const std::string answer = uploadAnswer(fileId);
    if (fileId == "stall") {
      exchange.stallAnswer(answer, answer.size() / 2);
    } else {
      exchange.answerJson(answer);
    }
  });
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("cut.bin", patternOf(4 * 1024 * 1024));
  attach("stall.txt", "stalls");
  bigPath = attach("big.bin", big);
  attach("keep.txt", "kept");

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::submit));
  expectSubmitted("R-1");
  EXPECT_EQ(capture.count("Upload completed for %{public}@"), 4u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(truncations, 1);
  ASSERT_TRUE(server.waitUntilIdle());
  const auto reports = server.requestsTo("/v1/reports");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(attachmentsOf(reports[0].body), kOnlyKeep);
  std::map<std::string, int> seen;
  for (const auto& upload : server.requestsTo("/v1/attachments")) {
    const auto fileId = fileIdOf(upload.query);
    ++seen[fileId];
    if (fileId == "cut") {
      EXPECT_FALSE(upload.answered);
      EXPECT_LT(upload.body.size(), upload.contentLength);
    } else if (fileId == "stall") {
      EXPECT_TRUE(upload.closedByClient) << "the client gave up, not the server";
    } else if (fileId == "big") {
      EXPECT_EQ(upload.contentLength, big.size());
      EXPECT_FALSE(upload.answered);
      EXPECT_LT(upload.body.size(), big.size()) << "a whole body went out for a shorter file";
      EXPECT_TRUE(big.starts_with(upload.body)) << "bytes that the file never held were sent";
    }
  }
  EXPECT_GE(seen["cut"], 1);
  EXPECT_EQ(seen["stall"], 1);
  EXPECT_GE(seen["big"], 1);
}

TEST_F(FaultInjectionTest, AReportAnswerThatStallsHalfwayFailsByTheIdleTimeOutAndRetrySucceeds) {
  platform::detail::setRequestTimeoutOverride(2s);
  FaultServer server;
  answerNormally(server);
  std::atomic<int> reports{0};
  server.setHandler("/v1/reports", [&](FaultServer::Exchange& exchange) {
    if (!exchange.readWholeBody()) {
      return;
    }
    if (reports++ == 0) {
      exchange.stallAnswer(R"({"id":"R-stalled"})", 3);
    } else {
      exchange.answerJson(R"({"id":"R-2"})");
    }
  });
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("keep.txt", "kept");

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::submit));
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_NE(model_->state.get().failure()->message.find("Timeout"), std::string::npos)
      << model_->state.get().failure()->message;
  EXPECT_EQ(capture.count("Report submission failed: %{public}@"), 1u);
  ASSERT_TRUE(server.waitUntilIdle());
  ASSERT_EQ(server.requestsTo("/v1/reports").size(), 1u);
  EXPECT_TRUE(server.requestsTo("/v1/reports")[0].closedByClient) << "the client gave up";

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::retry));
  expectSubmitted("R-2");
  ASSERT_TRUE(server.waitUntilIdle());
  const auto all = server.requestsTo("/v1/reports");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(attachmentsOf(all[1].body), kOnlyKeep) << "each upload of the retry once";
  EXPECT_EQ(server.requestsTo("/v1/attachments").size(), 2u);
}

Reply huge() {
  Reply reply;
  reply.generatedBodySize = 100 * 1024 * 1024;
  return reply;
}

TEST_F(FaultInjectionTest, AHugeConfigurationAnswerFailsTheLoadAtTheCap) {
  auto& server = testing::serviceServer();
  server.setReply("GET", "/v1/config", huge());
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL(), /*loaded=*/false));
  model_->loadForm();
  ASSERT_TRUE(platform::MainQueue::drainUntil(
      [&] { return model_->state.get().kind() == State::Case::failed; }));
  const State state = model_->state.get();
  EXPECT_EQ(state.failure()->kind, FeedbackFormViewModel::Failure::Kind::generic);
  EXPECT_NE(state.failure()->message.find("64 MiB"), std::string::npos) << state.failure()->message;
  EXPECT_TRUE(model_->reasons.get().empty());
}

// Uploads answered badly are left out: an answer of 100 MiB, a redirect to plain http, a
// redirect to a certificate of the test CA for another host. A report redirected to plain http
// fails; the retry succeeds. Nothing reaches the servers redirected to.
TEST_F(FaultInjectionTest, UploadsAnsweredBadlyAreLeftOutAndARedirectedReportFails) {
  auto& server = testing::serviceServer();
  TestServer plain(TestServer::Options{.tls = false});
  TestServer other(TestServer::Options{.otherHostCertificate = true});
  answerNormally(plain);
  answerNormally(other);
  const auto redirectTo = [](const TestServer& to, const std::string& target) {
    Reply moved = Reply::json("", 307);
    moved.headers = {{"Location", to.origin() + target}};
    return moved;
  };
  server.setHandler("POST", "/v1/attachments", [&](const testing::RecordedRequest& request) {
    const auto fileId = fileIdOf(request.query);
    return fileId == "huge"        ? huge()
           : fileId == "moved"     ? redirectTo(plain, request.target)
           : fileId == "elsewhere" ? redirectTo(other, request.target)
                                   : Reply::json(uploadAnswer(fileId));
  });
  server.setReply("POST", "/v1/reports", redirectTo(plain, "/v1/reports"));
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  for (const char* name : {"huge.txt", "moved.txt", "elsewhere.txt", "keep.txt"}) {
    attach(name, name);
  }

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::submit));
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"R-2"})"));
  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::retry));
  expectSubmitted("R-2");
  EXPECT_TRUE(plain.requests().empty());
  EXPECT_TRUE(other.requests().empty());
  std::vector<json> reported;
  for (const auto& request : server.requests()) {
    if (request.path == "/v1/reports") {
      reported.push_back(attachmentsOf(request.body));
    }
  }
  EXPECT_EQ(reported, (std::vector<json>{kOnlyKeep, kOnlyKeep}));
}

}  // namespace
}  // namespace tessaline
