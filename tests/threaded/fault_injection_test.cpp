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

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using State = FeedbackFormViewModel::State;
using json = nlohmann::json;
using testing::patternOf;
using testing::Reply;
using testing::TestServer;

// The answer of the attachments endpoint for an upload whose fileId is `fileId`.
std::string uploadAnswer(const std::string& fileId) {
  return json{{"localId", "L"}, {"attachmentId", "A-" + fileId}, {"name", fileId}}.dump();
}

// The fileId of an upload's raw query ("fileId=keep&localId=...").
std::string fileIdOf(const std::string& query) {
  return query.starts_with("fileId=") ? query.substr(7, query.find('&') - 7) : "";
}

// The usual service: every upload and report is answered at once.
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
      load();
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

  void load() {
    auto config = testing::acceptingConfig();
    config.maxAttachmentSize = 64 * 1024 * 1024;
    FormModelTestAccess::applyConfig(*model_, config);
  }
  // Submits, retries or loads, and waits until that ended.
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
  TestServer server;
  answerNormally(server);
  std::filesystem::path bigPath;
  server.setHandler("POST", "/v1/attachments", [&](const testing::RecordedRequest& request) {
    const auto fileId = fileIdOf(request.query);
    Reply reply = Reply::json(uploadAnswer(fileId));
    reply.bodyBytes = 64 * 1024;
    if (fileId == "cut") {
      reply.action = Reply::Action::closeUnanswered;
    } else if (fileId == "stall") {
      reply.action = Reply::Action::stallHalfway;
    } else if (fileId == "big") {
      // The sender cannot have read more of the file than the socket buffers hold.
      reply.whenBodyReached = [&] { std::filesystem::resize_file(bigPath, 1000); };
    }
    return reply;
  });
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("cut.bin", patternOf(4 * 1024 * 1024));
  attach("stall.txt", "stalls");
  bigPath = attach("big.bin", patternOf(16 * 1024 * 1024));
  attach("keep.txt", "kept");

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::submit));
  expectSubmitted("R-1");
  EXPECT_EQ(capture.count("Upload completed for %{public}@"), 4u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  ASSERT_TRUE(server.waitForRequests(5));
  const auto requests = server.requests();
  EXPECT_EQ(requests.size(), 5u) << "each upload and the report once";
  for (const auto& request : requests) {
    if (request.path == "/v1/reports") {
      EXPECT_EQ(attachmentsOf(request.body), kOnlyKeep);
    } else if (fileIdOf(request.query) == "stall") {
      EXPECT_TRUE(request.closedByClient) << "the client gave up, not the server";
    } else if (fileIdOf(request.query) != "keep") {
      const std::size_t sent = std::stoull(request.header("Content-Length").value_or("0"));
      EXPECT_LT(request.body.size(), sent) << request.target;
      EXPECT_TRUE(patternOf(sent).starts_with(request.body)) << "bytes the file never held";
    }
  }
}

TEST_F(FaultInjectionTest, AReportAnswerThatStallsHalfwayFailsByTheIdleTimeOutAndRetrySucceeds) {
  platform::detail::setRequestTimeoutOverride(2s);
  TestServer server;
  answerNormally(server);
  server.setReply("POST", "/v1/reports",
                  Reply::json(R"({"id":"R-stalled"})", 200, Reply::Action::stallHalfway));
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL()));
  platform::LogCapture capture;
  attach("keep.txt", "kept");

  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::submit));
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_EQ(model_->state.get().failure()->message,
            "Timeout was reached: nothing was sent or received for 2 s");
  EXPECT_EQ(capture.count("Report submission failed: %{public}@"), 1u);
  ASSERT_TRUE(server.waitForRequests(2));
  EXPECT_TRUE(server.requests()[1].closedByClient) << "the client gave up";

  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"R-2"})"));
  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::retry));
  expectSubmitted("R-2");
  const auto all = server.requests();
  ASSERT_EQ(all.size(), 4u) << "each upload of the retry once";
  EXPECT_EQ(attachmentsOf(all[3].body), kOnlyKeep);
}

// Answers too large or redirected are refused: a configuration of 100 MiB fails the load at the
// cap. Uploads answered with 100 MiB, a redirect to plain http or a redirect to a certificate of
// the test CA for another host are left out; a report redirected to plain http fails, and the
// retry succeeds. Nothing reaches the servers redirected to.
TEST_F(FaultInjectionTest, AnswersTooLargeOrRedirectedAreRefused) {
  auto& server = testing::serviceServer();
  TestServer plain(TestServer::Options{.tls = false});
  TestServer other(TestServer::Options{.certificate = "other"});
  answerNormally(plain);
  answerNormally(other);
  Reply huge;
  huge.generatedBodySize = 100 * 1024 * 1024;
  const auto redirectTo = [](const TestServer& to, const std::string& target) {
    Reply moved = Reply::json("", 307);
    moved.headers = {{"Location", to.origin() + target}};
    return moved;
  };
  server.setReply("GET", "/v1/config", huge);
  server.setHandler("POST", "/v1/attachments", [&](const testing::RecordedRequest& request) {
    const auto fileId = fileIdOf(request.query);
    return fileId == "huge"        ? huge
           : fileId == "moved"     ? redirectTo(plain, request.target)
           : fileId == "elsewhere" ? redirectTo(other, request.target)
                                   : Reply::json(uploadAnswer(fileId));
  });
  server.setReply("POST", "/v1/reports", redirectTo(plain, "/v1/reports"));
  ASSERT_NO_FATAL_FAILURE(makeModel(server.baseURL(), /*loaded=*/false));
  ASSERT_NO_FATAL_FAILURE(run(&FeedbackFormViewModel::loadForm));
  ASSERT_NO_FATAL_FAILURE(expectGenericFailure());
  EXPECT_NE(model_->state.get().failure()->message.find("64 MiB"), std::string::npos);
  EXPECT_TRUE(model_->reasons.get().empty());

  load();
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
