#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>

#include <gtest/gtest.h>

#include "support/FormTesting.h"

namespace tessaline {
namespace {

using testing::acceptingConfig;
using testing::makeReason;
using Requirement = Feedback::Requirement;

class FormValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    client_ = std::make_shared<FeedbackAPIClient>("stable", Environment::current());
    model_ = FeedbackFormViewModel::make({}, client_);
  }
  void TearDown() override { platform::MainQueue::drain(); }

  void load(const Config& config) { FormModelTestAccess::applyConfig(*model_, config); }

  // A loaded form that passes every rule.
  void makeValid() {
    load(acceptingConfig());
    model_->feedback.modify([](Feedback& record) {
      record.reason =
          makeReason(7, Requirement::optional, Requirement::optional, Requirement::optional, false);
    });
    model_->subject.set("Crash");
    model_->message.set("It crashes when I click.");
  }

  std::shared_ptr<FeedbackAPIClient> client_;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

TEST_F(FormValidationTest, NeverValidWithoutConfigurationOrRightAfterLoading) {
  model_->feedback.modify([](Feedback& record) {
    record.reason =
        makeReason(7, Requirement::optional, Requirement::optional, Requirement::optional, false);
    record.subject = "Subject";
    record.messages.push_back(
        {Date::now(), Feedback::Message::Sender::user, "long enough text", {}});
  });
  EXPECT_FALSE(model_->isValid());

  model_->feedback.set(Feedback());
  load(acceptingConfig());
  EXPECT_FALSE(model_->isValid()) << "placeholder reason and empty subject";
  makeValid();
  EXPECT_TRUE(model_->isValid());
}

TEST_F(FormValidationTest, ReasonMustDifferFromPlaceholderInAnyField) {
  makeValid();
  auto almostEmpty = Feedback::Reason::empty();
  almostEmpty.requiresFrequency = std::nullopt;  // differs only here
  model_->feedback.modify([&](Feedback& record) { record.reason = almostEmpty; });
  EXPECT_TRUE(model_->isValid());
  model_->feedback.modify([](Feedback& record) { record.reason = Feedback::Reason::empty(); });
  EXPECT_FALSE(model_->isValid());
}

TEST_F(FormValidationTest, FrequencyRequiredOnlyWhenTheReasonAsks) {
  makeValid();
  model_->feedback.modify([](Feedback& record) { record.reason.requiresFrequency = true; });
  EXPECT_FALSE(model_->isValid());
  model_->feedback.modify([](Feedback& record) {
    record.reproductionFrequency = {-1, "Other"};  // not both id -1 and "Select"
  });
  EXPECT_TRUE(model_->isValid());
  model_->feedback.modify([](Feedback& record) {
    record.reproductionFrequency = Feedback::ReproductionFrequency::empty();
    record.reason.requiresFrequency = std::nullopt;
  });
  EXPECT_TRUE(model_->isValid());
}

TEST_F(FormValidationTest, MessageLengthCountsGraphemeClustersWithinBothBounds) {
  makeValid();  // bounds 10 < length <= 100
  model_->message.set(std::string(10, 'a'));
  EXPECT_FALSE(model_->isValid());
  model_->message.set(std::string(11, 'a'));
  EXPECT_TRUE(model_->isValid());
  model_->message.set(std::string(100, 'a'));
  EXPECT_TRUE(model_->isValid());
  model_->message.set(std::string(101, 'a'));
  EXPECT_FALSE(model_->isValid());

  // A family emoji (seven code points, 25 bytes) and a flag count as one character each.
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91"
      "\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
  const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
  model_->message.set(std::string(9, 'a') + family + flag);  // 11 characters
  EXPECT_TRUE(model_->isValid());
  model_->message.set(std::string(8, 'a') + family + flag);  // 10 characters
  EXPECT_FALSE(model_->isValid());
  model_->message.set(std::string(99, 'a') + family);  // 100 characters, 124 bytes
  EXPECT_TRUE(model_->isValid());
}

TEST_F(FormValidationTest, OnlyTheFirstMessageIsMeasuredAndSubjectMustBeNonEmpty) {
  makeValid();
  model_->feedback.modify([](Feedback& record) {
    record.messages.push_back({Date::now(), Feedback::Message::Sender::support, "", {}});
  });
  EXPECT_TRUE(model_->isValid());
  model_->subject.set("   ");
  EXPECT_TRUE(model_->isValid()) << "blanks count as a subject";
  model_->subject.set("");
  EXPECT_FALSE(model_->isValid());
  model_->subject.set("S");
  model_->feedback.modify([](Feedback& record) { record.messages.clear(); });
  EXPECT_FALSE(model_->isValid());
}

TEST_F(FormValidationTest, InitialMessageTextPassesDefaultBounds) {
  makeValid();
  model_->message.set("Please describe the issue in as much detail as possible.");
  EXPECT_TRUE(model_->isValid());
}

TEST_F(FormValidationTest, AnyRequiredRequirementAsksForDiagnostics) {
  EXPECT_FALSE(model_->feedbackRequiresAnyDiagnostics()) << "placeholder reason";
  auto setReason = [&](Requirement a, Requirement b, Requirement c) {
    model_->feedback.modify([&](Feedback& record) { record.reason = makeReason(1, a, b, c); });
  };
  setReason(Requirement::optional, Requirement::optional, Requirement::optional);
  EXPECT_FALSE(model_->feedbackRequiresAnyDiagnostics());
  setReason(Requirement::required, Requirement::optional, Requirement::optional);
  EXPECT_TRUE(model_->feedbackRequiresAnyDiagnostics());
  setReason(Requirement::optional, Requirement::required, Requirement::optional);
  EXPECT_TRUE(model_->feedbackRequiresAnyDiagnostics());
  setReason(Requirement::optional, Requirement::notRequired, Requirement::required);
  EXPECT_TRUE(model_->feedbackRequiresAnyDiagnostics());
}

}  // namespace
}  // namespace tessaline
