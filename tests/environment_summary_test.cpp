#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/form/detail/EnvironmentSummary.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/Screens.h>

#include <gtest/gtest.h>

#include <sstream>

namespace tessaline {
namespace {

class FixedScreens final : public platform::ScreenSource {
 public:
  explicit FixedScreens(std::vector<platform::Screen> screens) : screens_(std::move(screens)) {}
  std::vector<platform::Screen> screens() const override { return screens_; }

 private:
  std::vector<platform::Screen> screens_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    result.push_back(line);
  }
  if (!text.empty() && text.back() == '\n') {
    result.emplace_back();
  }
  return result;
}

class EnvironmentSummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    model_ = FeedbackFormViewModel::make(
        {}, std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
  }
  void TearDown() override {
    platform::ScreenSource::install(nullptr);
    FeedbackFormViewModel::setAwbazYLhws("?");
    platform::MainQueue::drain();
  }
  std::shared_ptr<FeedbackFormViewModel> model_;
};

TEST_F(EnvironmentSummaryTest, NineLabelledLinesThenTheSharedSuffix) {
  platform::ScreenSource::install(std::make_shared<FixedScreens>(std::vector<platform::Screen>{}));
  const auto summary = lines(model_->basicEnvironmentInformation());
  ASSERT_EQ(summary.size(), 11u);
  const char* labels[] = {"Operating System: ",
                          "Application Version: ",
                          "Hardware: ",
                          "Thermal State: ",
                          "Uptime: ",
                          "Processor Count: ",
                          "Memory: ",
                          "Screens: ",
                          "Locale: "};
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(summary[i].rfind(labels[i], 0), 0u) << summary[i];
  }
  EXPECT_EQ(summary[1], "Application Version: 2.4.1 (310)");
  EXPECT_EQ(summary[2], "Hardware: " + hardwareModelIdentifier());
  EXPECT_EQ(summary[7], "Screens: ");
  EXPECT_EQ(summary[9], "");
  EXPECT_EQ(summary[10], "?");

  FeedbackFormViewModel::setAwbazYLhws("");
  const auto text = model_->basicEnvironmentInformation();
  EXPECT_TRUE(text.ends_with("\n\n")) << text;
  FeedbackFormViewModel::setAwbazYLhws("build 42");
  EXPECT_TRUE(model_->basicEnvironmentInformation().ends_with("\n\nbuild 42"));
}

TEST_F(EnvironmentSummaryTest, HostWithoutBundleKeysShowsUnknownAndMinusOne) {
  platform::MainBundle::setInfoDictionary({});
  const auto summary = lines(model_->basicEnvironmentInformation());
  EXPECT_EQ(summary[1], "Application Version: Unknown (-1)");
}

TEST_F(EnvironmentSummaryTest, ScreensAreJoinedWithNameSizeAndScale) {
  platform::ScreenSource::install(std::make_shared<FixedScreens>(std::vector<platform::Screen>{
      {"DP-1", std::pair{2560.0, 1440.0}, 1.0}, {"eDP-1", std::nullopt, 2.0}}));
  const auto summary = lines(model_->basicEnvironmentInformation());
  EXPECT_EQ(summary[7], "Screens: DP-1 2560x1440 (1x); eDP-1 Unknown Size (2x)");
  EXPECT_EQ(detail::screensText({}), "");
}

TEST_F(EnvironmentSummaryTest, ThermalStatesOutsideTheKnownFourAreUnknown) {
  EXPECT_EQ(detail::thermalStateText(0), "Nominal");
  EXPECT_EQ(detail::thermalStateText(1), "Fair");
  EXPECT_EQ(detail::thermalStateText(2), "Serious");
  EXPECT_EQ(detail::thermalStateText(3), "Critical");
  EXPECT_EQ(detail::thermalStateText(4), "Unknown");
  EXPECT_EQ(detail::thermalStateText(-1), "Unknown");
}

}  // namespace
}  // namespace tessaline
