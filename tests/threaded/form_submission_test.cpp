#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/SerialQueue.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>

#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using State = FeedbackFormViewModel::State;
using Requirement = Feedback::Requirement;
using json = nlohmann::json;

// A step that delivers from its own queue, like the real steps do: a fixed payload, or (the third)
// an error.
template <int N>
class PayloadStep final : public DiagnosisStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(N, N == 1 ? "Profile" : N == 2 ? "Crashes" : "Logs");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    const auto& reason = feedback.reason;
    return (N == 1   ? reason.systemProfile
            : N == 2 ? reason.crashLogs
                     : reason.appLogs) == Requirement::required;
  }
  static inline std::atomic<int> runs{0};

  bool isRunning() const override { return running_; }
  std::string preferredFileExtension() const override { return N == 1 ? "json" : "txt"; }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    ++runs;
    running_ = true;
    queue_.async([this, completion = std::move(completion)] {
      running_ = false;
      if (N == 3) {
        completion(Error(Error::Kind::process, "no log tool"));
      } else {
        completion(Bytes(std::string(N == 1 ? "{\"profile\":1}" : "crash-report")));
      }
    });
    return nullptr;
  }

 private:
  std::atomic<bool> running_{false};
  platform::SerialQueue queue_{"PayloadStep", platform::QualityOfService::userInitiated};
};

using ProfileStep = PayloadStep<1>;
using CrashStep = PayloadStep<2>;
using FailingStep = PayloadStep<3>;

class FormSubmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = &testing::serviceServer();
    server_->reset();
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    server_->setReply("POST", "/v1/attachments",
                      testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})"));
    server_->setReply("POST", "/v1/reports", testing::Reply::json(R"({"id":"R-1"})"));
    model_ = FeedbackFormViewModel::make(
        {stepKind<ProfileStep>(), stepKind<CrashStep>(), stepKind<FailingStep>()},
        std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    FormModelTestAccess::applyConfig(*model_, testing::acceptingConfig());
    model_->subject.set("Subject");
    model_->message.set("Word");
  }
  void TearDown() override { platform::MainQueue::drain(); }

  void chooseReason(Requirement profile, Requirement crash,
                    Requirement logs = Requirement::notRequired) {
    model_->feedback.modify(
        [&](Feedback& record) { record.reason = testing::makeReason(4, profile, logs, crash); });
  }
  ReportAttachment customFile(const std::string& name, const std::string& contents) {
    const auto url = Url::fileURL(dir_.write(name, contents).string());
    return ReportAttachment(url.deletingPathExtensionOfLastComponent(), ReportAttachment::file(url),
                            url.pathExtension());
  }
  bool waitForEnd() {
    return platform::MainQueue::drainUntil([&] {
      const auto kind = model_->state.get().kind();
      return kind == State::Case::submitted || kind == State::Case::failed;
    });
  }
  std::vector<testing::RecordedRequest> requestsTo(const std::string& path) const {
    std::vector<testing::RecordedRequest> found;
    for (const auto& request : server_->requests()) {
      if (request.path == path) {
        found.push_back(request);
      }
    }
    return found;
  }
  json reportBody() const {
    const auto reports = requestsTo("/v1/reports");
    EXPECT_EQ(reports.size(), 1u);
    return reports.empty() ? json() : json::parse(reports.back().body);
  }

  testing::TemporaryDirectory dir_;
  testing::TestServer* server_ = nullptr;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

// A failed diagnostic item contributes no upload.
TEST_F(FormSubmissionTest, WholePipelineWithDiagnosticsInTheOrderOfItsAssignments) {
  chooseReason(Requirement::required, Requirement::required, Requirement::required);
  model_->email.set("me@example.com");
  ASSERT_TRUE(model_->addCustomAttachment(customFile("shot.png", "PNGDATA")));

  std::vector<std::string> changes;
  auto stateWatch = model_->state.subscribe(
      [&](const State& s) { changes.push_back("state " + s.description()); });
  auto textWatch = model_->stateDescription.subscribe(
      [&](const std::string& text) { changes.push_back("text " + text); });
  changes.clear();

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  const std::string thanks =
      "Thank you for sending your feedback!\nIt was assigned the ID R-1.\nYou'll be contacted over "
      "e-mail for updates if necessary.";
  EXPECT_EQ(changes, (std::vector<std::string>{"state diagnosis", "text Collecting Diagnostics",
                                               "text Uploading Attachments", "state loading",
                                               "state loading", "text Submitting Report",
                                               "text " + thanks, "state submitted"}));

  // Three uploads started together, diagnostics first, and the report after the third.
  const auto all = server_->requests();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].path, "/v1/reports");
  std::multiset<std::string> queries;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].path, "/v1/attachments");
    queries.insert(all[i].query.substr(0, all[i].query.find('&')));
  }
  EXPECT_EQ(queries,
            (std::multiset<std::string>{"fileId=Crashes", "fileId=Profile", "fileId=shot"}));
  for (const auto& upload : requestsTo("/v1/attachments")) {
    if (upload.query.starts_with("fileId=Profile")) {
      EXPECT_EQ(upload.body, "{\"profile\":1}");
      EXPECT_NE(upload.query.find("extension=json"), std::string::npos);
    } else if (upload.query.starts_with("fileId=shot")) {
      EXPECT_EQ(upload.body, "PNGDATA");
    }
  }
  EXPECT_EQ(reportBody()["attachments"].size(), 3u);
  const auto items = model_->diagnosticItems.get();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].id, "Profile");
  EXPECT_TRUE(items[0].state.isFinished());
  EXPECT_TRUE(items[2].state.isFailed());
}

// Without diagnostics and attachments the report goes out at once; the environment summary travels
// with the first message on the wire but not into the model.
TEST_F(FormSubmissionTest, NoDiagnosticsAndNoAttachmentsGoStraightToTheReport) {
  platform::LogCapture capture;
  model_->feedback.modify([](Feedback& record) {
    record.messages.push_back({Date::now(), Feedback::Message::Sender::support, "second", {}});
  });
  std::vector<std::string> changes;
  auto stateWatch = model_->state.subscribe(
      [&](const State& s) { changes.push_back("state " + s.description()); });
  auto textWatch = model_->stateDescription.subscribe(
      [&](const std::string& text) { changes.push_back("text " + text); });
  changes.clear();

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(changes, (std::vector<std::string>{
                         "text Uploading Attachments", "state loading", "state loading",
                         "text Submitting Report",
                         "text Thank you for sending your feedback!\nIt was assigned the ID R-1.",
                         "state submitted"}));
  EXPECT_TRUE(requestsTo("/v1/attachments").empty());
  const auto body = reportBody();
  EXPECT_EQ(body["attachments"], json::array());
  EXPECT_EQ(body["messages"][0]["body"].get<std::string>(),
            "Word\n\n" + model_->basicEnvironmentInformation());
  EXPECT_EQ(body["messages"][1]["body"].get<std::string>(), "second");
  EXPECT_EQ(model_->feedback.get().messages[0].body, "Word");
  EXPECT_EQ(capture.count("%{public}@", "FeedbackFormViewModel"), 1u);  // submitReport()
  EXPECT_EQ(capture.count("Final feedback: %@", "FeedbackFormViewModel"), 1u);
}

TEST_F(FormSubmissionTest, RequiredDiagnosticsWithoutOptInRunNothing) {
  chooseReason(Requirement::required, Requirement::required);
  model_->diagnosticsOptIn.set(false);
  bool sawDiagnosis = false;
  auto watch = model_->state.subscribe(
      [&](const State& s) { sawDiagnosis |= s.kind() == State::Case::diagnosis; });
  const int runsBefore = ProfileStep::runs + CrashStep::runs;
  model_->submit();
  ASSERT_TRUE(waitForEnd());
  EXPECT_FALSE(sawDiagnosis);
  EXPECT_EQ(ProfileStep::runs + CrashStep::runs, runsBefore);
  EXPECT_TRUE(model_->diagnosticItems.get().empty());
  EXPECT_EQ(model_->state.get(), State::submitted());
}

TEST_F(FormSubmissionTest, FailedUploadAndUnreadableFileAreLeftOut) {
  platform::LogCapture capture;
  ASSERT_TRUE(model_->addCustomAttachment(customFile("good.txt", "good")));
  ASSERT_TRUE(model_->addCustomAttachment(customFile("bad.txt", "bad")));
  const auto gone = customFile("gone.txt", "gone");
  ASSERT_TRUE(model_->addCustomAttachment(gone));
  std::filesystem::remove(gone.fileURL()->path());
  server_->setHandler("POST", "/v1/attachments", [](const testing::RecordedRequest& request) {
    if (request.query.starts_with("fileId=bad")) {
      return testing::Reply::json("<html>error</html>", 500);
    }
    return testing::Reply::json(R"({"localId":"L","attachmentId":"A-good","name":"good"})");
  });

  model_->submit();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(model_->state.get(), State::submitted());
  EXPECT_EQ(requestsTo("/v1/attachments").size(), 2u);
  EXPECT_EQ(capture.count("Failed to read custom attachment file from %@: %{public}@"), 1u);
  EXPECT_EQ(capture.count("Upload completed for %{public}@"), 2u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(reportBody()["attachments"], json::parse(R"([{"id":"A-good","name":"good"}])"));
}

TEST_F(FormSubmissionTest, FailedReportThenRetryRunsEverythingAgainAndListsEachUploadOnce) {
  chooseReason(Requirement::required, Requirement::notRequired);
  ASSERT_TRUE(model_->addCustomAttachment(customFile("shot.png", "PNG")));
  server_->setReply("POST", "/v1/reports", testing::Reply::json("{}", 200));
  model_->submit();
  ASSERT_TRUE(waitForEnd());
  const auto failed = model_->state.get();
  ASSERT_EQ(failed.kind(), State::Case::failed);
  EXPECT_EQ(failed.failure()->kind, FeedbackFormViewModel::Failure::Kind::generic);
  EXPECT_FALSE(failed.failure()->message.empty());
  EXPECT_EQ(model_->stateDescription.get(), "");
  const auto firstItems = model_->diagnosticItems.get();
  ASSERT_EQ(firstItems.size(), 1u);

  server_->reset();
  server_->setReply("POST", "/v1/attachments",
                    testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})"));
  server_->setReply("POST", "/v1/reports", testing::Reply::json(R"({"id":"R-2"})"));
  model_->retry();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(model_->state.get(), State::submitted());
  EXPECT_EQ(requestsTo("/v1/attachments").size(), 2u);
  EXPECT_EQ(reportBody()["attachments"].size(), 2u) << "each upload of the retry once";
  const auto secondItems = model_->diagnosticItems.get();
  ASSERT_EQ(secondItems.size(), 1u);
  EXPECT_NE(secondItems[0].step, firstItems[0].step) << "the new runner's items are shown";
  EXPECT_EQ(model_->customAttachments.get().size(), 1u);
}

TEST_F(FormSubmissionTest, SixtyFourConcurrentUploadsAreCountedExactlyOnce) {
  platform::LogCapture capture;
  for (int i = 0; i < 64; ++i) {
    ASSERT_TRUE(model_->addCustomAttachment(
        customFile("file" + std::to_string(i) + ".txt", std::string(1000 + i, 'x'))));
  }
  model_->submit();
  ASSERT_TRUE(waitForEnd());
  EXPECT_EQ(model_->state.get(), State::submitted());
  EXPECT_EQ(requestsTo("/v1/attachments").size(), 64u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(reportBody()["attachments"].size(), 64u);
}

TEST_F(FormSubmissionTest, ModelDestroyedMidPipelineDropsItsResults) {
  ASSERT_TRUE(model_->addCustomAttachment(customFile("shot.png", "PNG")));
  auto slow = testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})");
  slow.delay = std::chrono::milliseconds(300);
  server_->setReply("POST", "/v1/attachments", slow);
  model_->submit();
  ASSERT_TRUE(server_->waitForRequests(1));
  std::weak_ptr<FeedbackFormViewModel> weak = model_;
  model_.reset();
  platform::MainQueue::drainUntil([] { return false; }, std::chrono::milliseconds(600));
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(requestsTo("/v1/reports").empty());
}

}  // namespace
}  // namespace tessaline
