// The form model when the host or the service does things twice or out of turn: a second submit
// after a failed report, a second loadForm before the answer, an attachment panel that cannot be
// shown.

#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/FilePanel.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>

#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using State = FeedbackFormViewModel::State;

class FormRobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = &testing::serviceServer();
    server_->reset();
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
  }
  void TearDown() override { platform::MainQueue::drain(); }

  std::size_t requestsTo(const std::string& path) const {
    std::size_t count = 0;
    for (const auto& request : server_->requests()) {
      count += request.path == path ? 1 : 0;
    }
    return count;
  }

  testing::TestServer* server_ = nullptr;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

TEST_F(FormRobustnessTest, SubmitAfterAFailedReportSendsTheReportWithThisPassUploadsOnly) {
  server_->setReply("POST", "/v1/attachments",
                    testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})"));
  server_->setReply("POST", "/v1/reports", testing::Reply::json("<html>busy</html>", 503));
  FormModelTestAccess::applyConfig(*model_, testing::acceptingConfig());
  testing::TemporaryDirectory directory;
  const auto url = Url::fileURL(directory.write("shot.png", "PNG").string());
  ASSERT_TRUE(
      model_->addCustomAttachment(ReportAttachment("shot", ReportAttachment::file(url), "png")));

  model_->submit();
  ASSERT_TRUE(platform::MainQueue::drainUntil(
      [&] { return model_->state.get().kind() == State::Case::failed; }));
  server_->setReply("POST", "/v1/reports", testing::Reply::json(R"({"id":"R-2"})"));
  model_->submit();
  ASSERT_TRUE(platform::MainQueue::drainUntil([&] {
    return model_->state.get() == State::submitted();
  })) << model_->state.get().description();
  const auto report = nlohmann::json::parse(server_->requests().back().body);
  EXPECT_EQ(report["attachments"].size(), 1u);
}

TEST_F(FormRobustnessTest, LoadFormTwiceBeforeTheAnswerFetchesOnceAndBindsOnce) {
  server_->setReply("GET", "/v1/config",
                    testing::Reply::json(testing::acceptingConfig().toJson().value()));
  int notifications = 0;
  const auto watch = platform::NotificationCenter::defaultCenter().addObserver(
      std::string(feedbackFormDidUpdate), [&](const platform::Notification&) { ++notifications; });
  model_->loadForm();
  model_->loadForm();
  ASSERT_TRUE(platform::MainQueue::drainUntil([&] { return !model_->reasons.get().empty(); }));
  platform::MainQueue::drain();
  EXPECT_EQ(requestsTo("/v1/config"), 1u);

  notifications = 0;
  model_->message.set("A longer description of the problem.");
  platform::MainQueue::drain();
  EXPECT_EQ(notifications, 1) << "one binding, one notification per edit";
}

// Records the alerts it is asked to show.
struct RecordingAlert final : platform::Alert {
  int runModal(const platform::AlertContent& content) override {
    shown.push_back(content);
    return 0;
  }
  std::vector<platform::AlertContent> shown;
};

TEST_F(FormRobustnessTest, AddAttachmentWithoutAPanelTellsTheUser) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  auto alert = std::make_shared<RecordingAlert>();
  platform::Alert::install(alert);
  FormModelTestAccess::applyConfig(*model_, testing::acceptingConfig());
  model_->addAttachment();
  platform::Alert::install(nullptr);
  ASSERT_EQ(alert->shown.size(), 1u);
  EXPECT_EQ(alert->shown[0].messageText, "Error Adding Attachment");
  EXPECT_EQ(alert->shown[0].informativeText, "No file panel is available");
  EXPECT_TRUE(model_->customAttachments.get().empty());
}

}  // namespace
}  // namespace tessaline
