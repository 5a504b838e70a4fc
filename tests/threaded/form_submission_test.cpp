// The form's submission against a real HTTPS server: diagnostics, uploads and the report, and
// what happens when any of them fails or the host does things twice.
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
using Strings = std::vector<std::string>;
using json = nlohmann::json;

// A step that delivers from its own queue, as the real steps do: a fixed payload, or (the third)
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

class FormSubmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.reset();
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    answer(R"({"id":"R-1"})");
    model_ = FeedbackFormViewModel::make(
        {stepKind<PayloadStep<1>>(), stepKind<PayloadStep<2>>(), stepKind<PayloadStep<3>>()},
        std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    FormModelTestAccess::applyConfig(*model_, testing::acceptingConfig());
    model_->subject.set("Subject");
    model_->message.set("Word");
    states_ = model_->state.subscribe([&](const State& s) { changes_.push_back(s.description()); });
    texts_ = model_->stateDescription.subscribe(
        [&](const std::string& text) { changes_.push_back("text " + text); });
    changes_.clear();
  }
  void TearDown() override { platform::MainQueue::drain(); }

  // Answers every upload, and every report with `report`.
  void answer(const std::string& report, int status = 200) {
    server_.setReply("POST", "/v1/attachments",
                     testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})"));
    server_.setReply("POST", "/v1/reports", testing::Reply::json(report, status));
  }
  void chooseReason(Requirement profile, Requirement crash, Requirement logs) {
    model_->feedback.modify(
        [&](Feedback& record) { record.reason = testing::makeReason(4, profile, logs, crash); });
  }
  ReportAttachment attach(const std::string& name, const std::string& contents) {
    const auto url = Url::fileURL(dir_.write(name, contents).string());
    ReportAttachment attachment(url.deletingPathExtensionOfLastComponent(),
                                ReportAttachment::file(url), url.pathExtension());
    EXPECT_TRUE(model_->addCustomAttachment(attachment));
    return attachment;
  }
  // Submits (or retries) and waits for the end.
  State send(bool retry = false) {
    retry ? model_->retry() : model_->submit();
    EXPECT_TRUE(platform::MainQueue::drainUntil([&] {
      const auto kind = model_->state.get().kind();
      return kind == State::Case::submitted || kind == State::Case::failed;
    }));
    return model_->state.get();
  }
  std::vector<testing::RecordedRequest> requestsTo(const std::string& path) const {
    auto found = server_.requests();
    std::erase_if(found, [&](const auto& request) { return request.path != path; });
    return found;
  }
  json lastReport() const {
    const auto reports = requestsTo("/v1/reports");
    return reports.empty() ? json() : json::parse(reports.back().body);
  }

  testing::TestServer& server_ = testing::serviceServer();
  testing::TemporaryDirectory dir_;
  std::shared_ptr<FeedbackFormViewModel> model_;
  Strings changes_;
  Cancellable states_, texts_;
};

// Required diagnostics without the user's consent run nothing; without attachments the report
// goes out at once. The environment summary travels with the first message on the wire only.
TEST_F(FormSubmissionTest, WithoutConsentAndAttachmentsTheReportGoesOutAtOnce) {
  platform::LogCapture capture;
  chooseReason(Requirement::required, Requirement::required, Requirement::notRequired);
  model_->diagnosticsOptIn.set(false);
  model_->feedback.modify([](Feedback& record) {
    record.messages.push_back({Date::now(), Feedback::Message::Sender::support, "second", {}});
  });
  const int runsBefore = PayloadStep<1>::runs + PayloadStep<2>::runs;
  changes_.clear();
  EXPECT_EQ(send(), State::submitted());
  EXPECT_EQ(changes_,
            (Strings{"text Uploading Attachments", "loading", "loading", "text Submitting Report",
                     "text Thank you for sending your feedback!\nIt was assigned the ID "
                     "R-1.",
                     "submitted"}));
  EXPECT_EQ(PayloadStep<1>::runs + PayloadStep<2>::runs, runsBefore);
  EXPECT_TRUE(model_->diagnosticItems.get().empty());
  EXPECT_EQ(server_.requests().size(), 1u);
  const auto body = lastReport();
  EXPECT_EQ(body["attachments"], json::array());
  EXPECT_EQ(body["messages"][0]["body"], "Word\n\n" + model_->basicEnvironmentInformation());
  EXPECT_EQ(body["messages"][1]["body"], "second");
  EXPECT_EQ(model_->feedback.get().messages[0].body, "Word");
  EXPECT_EQ(capture.count("%{public}@", "FeedbackFormViewModel"), 1u);  // submitReport()
  EXPECT_EQ(capture.count("Final feedback: %@", "FeedbackFormViewModel"), 1u);
}

// A second submit after a failed report lists that pass's uploads only; retry runs everything
// again with a new runner, whose items are shown. The diagnostics and the file go up together, a
// failed diagnostic item contributes no upload, and the report goes after the last of them.
TEST_F(FormSubmissionTest, AfterAFailedReportSubmitAndRetryListEachUploadOnce) {
  chooseReason(Requirement::required, Requirement::required, Requirement::required);
  model_->email.set("me@example.com");
  attach("shot.png", "PNGDATA");
  answer("{}");  // does not decode
  auto failed = send();
  ASSERT_EQ(failed.kind(), State::Case::failed);
  EXPECT_FALSE(failed.failure()->message.empty());
  EXPECT_EQ(model_->stateDescription.get(), "");
  answer("<html>busy</html>", 503);
  EXPECT_EQ(send().kind(), State::Case::failed);
  EXPECT_EQ(lastReport()["attachments"].size(), 3u);
  const auto firstItems = model_->diagnosticItems.get();
  ASSERT_EQ(firstItems.size(), 3u);

  server_.reset();
  answer(R"({"id":"R-1"})");
  changes_.clear();
  EXPECT_EQ(send(true), State::submitted());
  EXPECT_EQ(changes_,
            (Strings{"idle", "diagnosis", "text Collecting Diagnostics",
                     "text Uploading Attachments", "loading", "loading", "text Submitting Report",
                     "text Thank you for sending your feedback!\nIt was assigned the ID "
                     "R-1.\nYou'll be contacted over e-mail for updates if necessary.",
                     "submitted"}));
  const auto all = server_.requests();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].path, "/v1/reports");
  std::multiset<std::string> uploads;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].path, "/v1/attachments");
    uploads.insert(all[i].query.substr(0, all[i].query.find('&')) + " " + all[i].body);
  }
  EXPECT_EQ(uploads,
            (std::multiset<std::string>{"fileId=Crashes crash-report",
                                        "fileId=Profile {\"profile\":1}", "fileId=shot PNGDATA"}));
  EXPECT_EQ(lastReport()["attachments"].size(), 3u);
  const auto items = model_->diagnosticItems.get();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].id, "Profile");
  EXPECT_NE(items[0].step, firstItems[0].step);
  EXPECT_TRUE(items[0].state.isFinished());
  EXPECT_TRUE(items[2].state.isFailed());
  EXPECT_EQ(model_->customAttachments.get().size(), 1u);
}

// A file gone before the upload is left out; the other uploads finish once, together.
TEST_F(FormSubmissionTest, SixtyFourConcurrentUploadsAreCountedExactlyOnce) {
  platform::LogCapture capture;
  for (int i = 0; i < 64; ++i) {
    attach("file" + std::to_string(i) + ".txt", std::string(1000 + i, 'x'));
  }
  std::filesystem::remove(attach("gone.txt", "gone").fileURL()->path());
  EXPECT_EQ(send(), State::submitted());
  EXPECT_EQ(requestsTo("/v1/attachments").size(), 64u);
  EXPECT_EQ(capture.count("Failed to read custom attachment file from %@: %{public}@"), 1u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(lastReport()["attachments"].size(), 64u);
}

TEST_F(FormSubmissionTest, ModelDestroyedMidPipelineDropsItsResults) {
  attach("shot.png", "PNG");
  auto slow = testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})");
  slow.delay = std::chrono::milliseconds(300);
  server_.setReply("POST", "/v1/attachments", slow);
  model_->submit();
  ASSERT_TRUE(server_.waitForRequests(1));
  std::weak_ptr<FeedbackFormViewModel> weak = model_;
  model_.reset();
  platform::MainQueue::drainUntil([] { return false; }, std::chrono::milliseconds(600));
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(requestsTo("/v1/reports").empty());
}

}  // namespace
}  // namespace tessaline
