#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <gtest/gtest.h>

#include "support/FormTesting.h"
#include "support/TestServer.h"

namespace tessaline {
namespace {

using State = FeedbackFormViewModel::State;
using Failure = FeedbackFormViewModel::Failure;

class FormLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = &testing::serviceServer();
    server_->reset();
    setBundle("2.4.1", "310");
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    notificationWatch_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(feedbackFormDidUpdate), [this](const platform::Notification& notification) {
          notified_.push_back(std::any_cast<Feedback>(notification.object));
        });
  }
  void TearDown() override { platform::MainQueue::drain(); }

  static void setBundle(const std::string& version, const std::string& build) {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", version}, {"CFBundleVersion", build}});
  }

  void serve(const Config& config) {
    server_->setReply("GET", "/v1/config", testing::Reply::json(config.toJson().value()));
  }

  // Loads and waits until the outcome has been applied.
  void loadAndWait() {
    const auto before = server_->requests().size();
    model_->loadForm();
    ASSERT_TRUE(server_->waitForRequests(before + 1));
    ASSERT_TRUE(platform::MainQueue::drainUntil(
        [&] { return !model_->reasons.get().empty() || model_->state.get() != State::idle(); }));
    platform::MainQueue::drain();
  }

  testing::TestServer* server_ = nullptr;
  std::shared_ptr<FeedbackFormViewModel> model_;
  Cancellable notificationWatch_;
  std::vector<Feedback> notified_;
};

TEST_F(FormLoadingTest, AcceptedConfigurationFillsListsAndBindsFieldsAtOnce) {
  platform::LogCapture capture;
  Config config = testing::acceptingConfig();
  config.minVersion = AppVersion{2, 4, 1};
  config.minBuildNumber = 310;  // equal version and build are accepted
  serve(config);
  EXPECT_TRUE(model_->feedback.get().messages.empty()) << "nothing is bound before loading";
  loadAndWait();

  EXPECT_EQ(model_->state.get(), State::idle());
  EXPECT_EQ(model_->reasons.get(), config.reasons);
  EXPECT_EQ(model_->frequencies.get(), config.frequencies);
  const Feedback record = model_->feedback.get();
  ASSERT_EQ(record.messages.size(), 1u);
  EXPECT_EQ(record.messages[0].body, "Please describe the issue in as much detail as possible.");
  EXPECT_EQ(record.messages[0].sender, Feedback::Message::Sender::user);
  EXPECT_EQ(record.subject, std::optional<std::string>(""));
  ASSERT_TRUE(record.contactInformation);
  EXPECT_EQ(record.contactInformation->name, "");
  EXPECT_EQ(record.contactInformation->email, "");
  EXPECT_EQ(record.reason, Feedback::Reason::empty());

  // Three changes (message, subject, contact), each posted later with the record as it is then.
  ASSERT_EQ(notified_.size(), 3u);
  for (const auto& posted : notified_) {
    EXPECT_EQ(posted, record);
  }
  EXPECT_EQ(server_->requests().front().requestLine(), "GET /v1/config");
  EXPECT_EQ(capture.count("State = %@", "FeedbackFormViewModel"), 0u) << "state never assigned";
}

TEST_F(FormLoadingTest, NotificationsOnlyForRealChangesAndAlwaysLater) {
  serve(testing::acceptingConfig());
  loadAndWait();
  notified_.clear();

  model_->feedback.set(model_->feedback.get());
  platform::MainQueue::drain();
  EXPECT_TRUE(notified_.empty()) << "an equal record posts nothing";

  model_->subject.set("a");
  EXPECT_TRUE(notified_.empty()) << "posted from a later turn of the main queue";
  platform::MainQueue::drain();
  ASSERT_EQ(notified_.size(), 1u);
  EXPECT_EQ(notified_[0].subject, std::optional<std::string>("a"));

  // Contact information removed by the host is rebuilt field by field.
  model_->feedback.modify([](Feedback& record) { record.contactInformation.reset(); });
  model_->email.set("me@example.com");
  ASSERT_TRUE(model_->feedback.get().contactInformation);
  EXPECT_EQ(model_->feedback.get().contactInformation->name, "");
  model_->name.set("Me");
  EXPECT_EQ(model_->feedback.get().contactInformation->name, "Me");
  EXPECT_EQ(model_->feedback.get().contactInformation->email, "me@example.com");
}

TEST_F(FormLoadingTest, TooOldByVersionOrBuildIsRefusedAndFieldsStayUnbound) {
  platform::LogCapture capture;
  Config config = testing::acceptingConfig();
  config.minVersion = AppVersion{2, 4, 2};
  serve(config);
  loadAndWait();
  EXPECT_EQ(model_->state.get(), State::failed(Failure::outdatedApp()));
  EXPECT_EQ(model_->state.get().failure()->message,
            "This version of the app is too old, please update the app before submitting your "
            "feedback.");
  EXPECT_TRUE(model_->reasons.get().empty());
  EXPECT_EQ(capture.count("State = %@", "FeedbackFormViewModel"), 1u);

  const Feedback before = model_->feedback.get();
  model_->subject.set("edited");
  model_->message.set("edited message");
  EXPECT_EQ(model_->feedback.get(), before);

  // A failed form is not loaded again.
  model_->loadForm();
  platform::MainQueue::drain();
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(FormLoadingTest, BuildBelowMinimumIsRefused) {
  Config config = testing::acceptingConfig();
  config.minVersion = AppVersion{2, 4, 1};
  config.minBuildNumber = 311;
  serve(config);
  loadAndWait();
  EXPECT_EQ(model_->state.get(), State::failed(Failure::outdatedApp()));
}

TEST_F(FormLoadingTest, VersionsCompareNumerically) {
  setBundle("1.10.0", "1");
  Config config = testing::acceptingConfig();
  config.minVersion = AppVersion{1, 9, 5};
  serve(config);
  loadAndWait();
  EXPECT_EQ(model_->state.get(), State::idle());
  EXPECT_FALSE(model_->reasons.get().empty());
}

TEST_F(FormLoadingTest, UnparsableHostVersionFailsInsteadOfCrashing) {
  setBundle("beta", "1");
  serve(testing::acceptingConfig());
  loadAndWait();
  EXPECT_EQ(model_->state.get(), State::failed(Failure::generic("Invalid app version: beta")));
}

TEST_F(FormLoadingTest, BlockedOperatingSystemBuildShowsItsMessage) {
  Config config = testing::acceptingConfig();
  const std::string code = operatingSystemBuildCode().value_or("ERROR");
  config.blockedOSBuilds = {{"other", "Other", "not this one"},
                            {code, "This one", "Reports from this build are closed."},
                            {code, "Again", "second match"}};
  serve(config);
  loadAndWait();
  EXPECT_EQ(model_->state.get(),
            State::failed(Failure::osBlocked("Reports from this build are closed.")));
  EXPECT_TRUE(model_->knownIssues.get().empty());
}

TEST_F(FormLoadingTest, KnownIssuesFilteredByBuildAndOperatingSystem) {
  Config config = testing::acceptingConfig();
  const std::string code = operatingSystemBuildCode().value_or("ERROR");
  config.knownIssues = {
      {"everyone", {}, {}, "shown"},
      {"other-builds", {1, 2}, {code}, "hidden although the OS matches"},
      {"this-build", {309, 310}, {}, "shown"},
      {"this-os", {}, {"x", code}, "shown"},
      {"other-os", {310}, {"not-" + code}, "hidden"},
  };
  serve(config);
  loadAndWait();
  std::vector<std::string> ids;
  for (const auto& issue : model_->knownIssues.get()) {
    ids.push_back(issue.id);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"everyone", "this-build", "this-os"}));
}

TEST_F(FormLoadingTest, FetchFailureGivesGenericFailureWithTheErrorText) {
  server_->setReply("GET", "/v1/config", testing::Reply::json(""));
  loadAndWait();
  const auto state = model_->state.get();
  ASSERT_EQ(state.kind(), State::Case::failed);
  EXPECT_EQ(state.failure()->kind, Failure::Kind::generic);
  EXPECT_EQ(state.failure()->message, Config::fromJson("").error().description());
  EXPECT_TRUE(model_->reasons.get().empty());

  model_->loadForm();
  platform::MainQueue::drain();
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(FormLoadingTest, LoadingTwiceAfterSuccessDoesNothing) {
  serve(testing::acceptingConfig());
  loadAndWait();
  model_->loadForm();
  platform::MainQueue::drain();
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(FormLoadingTest, ModelGoneBeforeTheAnswerDropsIt) {
  auto reply = testing::Reply::json(testing::acceptingConfig().toJson().value());
  reply.delay = std::chrono::milliseconds(200);
  server_->setReply("GET", "/v1/config", reply);
  std::weak_ptr<FeedbackFormViewModel> weak = model_;
  model_->loadForm();
  ASSERT_TRUE(server_->waitForRequests(1));
  model_.reset();
  EXPECT_TRUE(weak.expired());
  platform::MainQueue::drainUntil([] { return false; }, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace tessaline
