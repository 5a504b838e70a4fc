#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/FilePanel.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>

#include <gtest/gtest.h>

#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

class FakePanel final : public platform::FilePanel {
 public:
  std::optional<std::vector<Url>> answer;
  std::optional<platform::OpenPanelOptions> shown;
  Result<std::optional<std::vector<Url>>> runModal(
      const platform::OpenPanelOptions& options) override {
    shown = options;
    return answer;
  }
};

class FakeAlert final : public platform::Alert {
 public:
  std::vector<platform::AlertContent> shown;
  int runModal(const platform::AlertContent& content) override {
    shown.push_back(content);
    return 0;
  }
};

class CustomAttachmentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    platform::FilePanel::install(panel_);
    platform::Alert::install(alert_);
  }
  void TearDown() override {
    platform::FilePanel::install(nullptr);
    platform::Alert::install(nullptr);
    platform::MainQueue::drain();
  }

  void load(std::int64_t limit) {
    auto config = testing::acceptingConfig();
    config.maxAttachmentSize = limit;
    FormModelTestAccess::applyConfig(*model_, config);
  }
  ReportAttachment fileAttachment(const std::string& name, std::size_t size) {
    const auto path = dir_.write(name, std::string(size, 'x'));
    const auto url = Url::fileURL(path.string());
    return ReportAttachment(url.deletingPathExtensionOfLastComponent(), ReportAttachment::file(url),
                            url.pathExtension());
  }

  testing::TemporaryDirectory dir_;
  std::shared_ptr<FeedbackFormViewModel> model_;
  std::shared_ptr<FakePanel> panel_ = std::make_shared<FakePanel>();
  std::shared_ptr<FakeAlert> alert_ = std::make_shared<FakeAlert>();
};

TEST_F(CustomAttachmentsTest, ChecksRunInOrderAndLeaveTheListUnchanged) {
  const auto small = fileAttachment("shot.png", 10);
  auto added = model_->addCustomAttachment(small);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().kind(), Error::Kind::attachment);
  EXPECT_EQ(added.error().description(), "Not configured.");

  load(100);
  added = model_->addCustomAttachment(
      ReportAttachment("p", ReportAttachment::payload(Bytes(std::string("x"))), "txt"));
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().description(), "Custom attachments must reference a file URL.");

  added = model_->addCustomAttachment(ReportAttachment(
      "gone", ReportAttachment::file(Url::fileURL((dir_.path() / "gone.txt").string())), "txt"));
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().kind(), Error::Kind::fileSystem);

  added = model_->addCustomAttachment(
      ReportAttachment("dir", ReportAttachment::file(Url::fileURL(dir_.path().string())), ""));
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().description(), "Failed to determine the file size for the attachment.");
  EXPECT_TRUE(model_->customAttachments.get().empty());
}

TEST_F(CustomAttachmentsTest, LimitIsExclusiveAndQuotedInBinaryUnits) {
  load(9 * 1024 * 1024);
  const auto below = fileAttachment("below.log", 9 * 1024 * 1024 - 1);
  const auto at = fileAttachment("at.log", 9 * 1024 * 1024);
  EXPECT_TRUE(model_->addCustomAttachment(below));
  const auto rejected = model_->addCustomAttachment(at);
  ASSERT_FALSE(rejected);
  EXPECT_EQ(rejected.error().description(),
            "That file is too large, the maximum allowed file size is 9 MiB.");
  EXPECT_EQ(model_->customAttachments.get(), std::vector<ReportAttachment>{below});
}

TEST_F(CustomAttachmentsTest, DuplicatesAllowedAndRemoveTakesTheFirstEqualEntry) {
  load(100);
  const auto a = fileAttachment("a.txt", 1);
  const auto b = fileAttachment("b.txt", 1);
  ASSERT_TRUE(model_->addCustomAttachment(a));
  ASSERT_TRUE(model_->addCustomAttachment(b));
  ASSERT_TRUE(model_->addCustomAttachment(a));

  int announcements = 0;
  auto watch = model_->objectWillChange.connect([&] { ++announcements; });
  model_->removeCustomAttachment(a);
  EXPECT_EQ(model_->customAttachments.get(), (std::vector<ReportAttachment>{b, a}));
  EXPECT_EQ(announcements, 1);
  model_->removeCustomAttachment(fileAttachment("other.txt", 1));
  EXPECT_EQ(announcements, 1) << "removing an absent entry announces nothing";
}

TEST_F(CustomAttachmentsTest, PanelAddsAcceptedFilesAndAlertsOncePerRejectedFile) {
  load(100);
  const auto first = dir_.write("first.png", "1");
  const auto large = dir_.write("large.mov", std::string(100, 'x'));
  const auto third = dir_.write("notes", "3");
  panel_->answer = std::vector<Url>{Url::fileURL(first.string()), Url::fileURL(large.string()),
                                    Url::fileURL(third.string())};
  model_->addAttachment();

  ASSERT_TRUE(panel_->shown);
  EXPECT_EQ(panel_->shown->allowedFileTypes,
            (std::vector<std::string>{"png", "jpg", "jpeg", "mp4", "m4v", "mov", "ips", "log",
                                      "txt", "json", "pdf"}));
  EXPECT_EQ(panel_->shown->prompt, "Attach");
  EXPECT_TRUE(panel_->shown->allowsMultipleSelection);

  const auto list = model_->customAttachments.get();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, "first");
  EXPECT_EQ(list[0].fileExtension, "png");
  EXPECT_EQ(list[1].id, "notes");
  EXPECT_EQ(list[1].fileExtension, "");
  ASSERT_EQ(alert_->shown.size(), 1u);
  EXPECT_EQ(alert_->shown[0].messageText, "Error Adding Attachment");
  EXPECT_EQ(alert_->shown[0].informativeText,
            "That file is too large, the maximum allowed file size is 100 bytes.");
  EXPECT_EQ(alert_->shown[0].buttons, std::vector<std::string>{"OK"});
}

TEST_F(CustomAttachmentsTest, CancelledPanelAndVanishedFilesChangeNothingSilently) {
  load(100);
  panel_->answer = std::nullopt;
  model_->addAttachment();
  EXPECT_TRUE(model_->customAttachments.get().empty());

  panel_->answer = std::vector<Url>{Url::fileURL((dir_.path() / "vanished.txt").string())};
  model_->addAttachment();
  EXPECT_TRUE(model_->customAttachments.get().empty());
  EXPECT_TRUE(alert_->shown.empty()) << "a file-system error is not shown";
}

}  // namespace
}  // namespace tessaline
