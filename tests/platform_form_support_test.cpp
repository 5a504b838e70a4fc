#include <platform/FilePanel.h>
#include <platform/Formatters.h>
#include <platform/Screens.h>
#include <platform/detail/DrmScreens.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

extern char** environ;

namespace tessaline::platform {
namespace {

namespace fs = std::filesystem;

// A private folder for one test, removed afterwards.
class Folder {
 public:
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "tessaline-form-support-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  fs::path write(const std::string& relative, const std::string& contents,
                 bool executable = false) const {
    const auto file = path_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
    if (executable) {
      fs::permissions(file, fs::perms::owner_all);
    }
    return file;
  }

 private:
  fs::path path_;
};

std::string readFile(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::stringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

// Sets environment variables for one test and puts the earlier values back afterwards.
class EnvironmentTest : public ::testing::Test {
 protected:
  void set(const std::string& name, const char* value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value != nullptr) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// ---- Byte counts and durations

TEST(ByteCountFormatterTest, DecimalCountsUseUnitsOfAThousand) {
  using F = ByteCountFormatter;
  EXPECT_EQ(F::string(0), "0 bytes");
  EXPECT_EQ(F::string(1), "1 byte");
  EXPECT_EQ(F::string(999), "999 bytes");
  EXPECT_EQ(F::string(1000), "1 kB");
  EXPECT_EQ(F::string(1499), "1 kB");
  EXPECT_EQ(F::string(1501), "2 kB");
  EXPECT_EQ(F::string(1'260'000), "1.3 MB");
  EXPECT_EQ(F::string(2'000'000'000), "2 GB");
  EXPECT_EQ(F::string(17'179'869'184), "17.18 GB");
  EXPECT_EQ(F::string(1'500'000'000'000), "1.5 TB");
  EXPECT_EQ(F::string(3'000'000'000'000'000), "3 PB");
  EXPECT_EQ(F::string(3'000'000'000'000'000'000), "3 EB");
}

TEST(ByteCountFormatterTest, RoundingUpToTheNextUnitShowsThatUnit) {
  using F = ByteCountFormatter;
  EXPECT_EQ(F::string(999'999), "1 MB");
  EXPECT_EQ(F::string(999'960'000), "1 GB");
  EXPECT_EQ(F::string(1'048'575, F::CountStyle::binary), "1 MiB");
}

TEST(ByteCountFormatterTest, BinaryCountsUseUnitsOf1024) {
  using F = ByteCountFormatter;
  const auto binary = F::CountStyle::binary;
  EXPECT_EQ(F::string(1, binary), "1 byte");
  EXPECT_EQ(F::string(1023, binary), "1023 bytes");
  EXPECT_EQ(F::string(1024, binary), "1 KiB");
  EXPECT_EQ(F::string(9'437'184, binary), "9 MiB");
  EXPECT_EQ(F::string(10'485'760 + 104'858, binary), "10.1 MiB");
  EXPECT_EQ(F::string(1'610'612'736, binary), "1.5 GiB");
  EXPECT_EQ(F::string(std::int64_t{1} << 40, binary), "1 TiB");
}

TEST(ByteCountFormatterTest, NegativeAndExtremeCounts) {
  using F = ByteCountFormatter;
  EXPECT_EQ(F::string(-1), "-1 byte");
  EXPECT_EQ(F::string(-1'500'000), "-1.5 MB");
  EXPECT_EQ(F::string(std::numeric_limits<std::int64_t>::max()), "9.22 EB");
  EXPECT_EQ(F::string(std::numeric_limits<std::int64_t>::min()), "-9.22 EB");
  EXPECT_EQ(F::string(std::numeric_limits<std::int64_t>::min(), F::CountStyle::binary), "-8 EiB");
}

TEST(DateComponentsFormatterTest, DaysHoursAndMinutesInBriefUnits) {
  using F = DateComponentsFormatter;
  EXPECT_EQ(F::briefDaysHoursMinutes(3 * 86400 + 4 * 3600 + 12 * 60 + 59), "3d 4hr 12min");
  EXPECT_EQ(F::briefDaysHoursMinutes(3600), "1hr");
  EXPECT_EQ(F::briefDaysHoursMinutes(86400 + 60), "1d 1min");
  EXPECT_EQ(F::briefDaysHoursMinutes(2 * 86400 + 5 * 3600), "2d 5hr");
  EXPECT_EQ(F::briefDaysHoursMinutes(400 * 86400.0), "400d");
}

TEST(DateComponentsFormatterTest, LessThanAMinuteAndUnusableDurations) {
  using F = DateComponentsFormatter;
  EXPECT_EQ(F::briefDaysHoursMinutes(0), "0min");
  EXPECT_EQ(F::briefDaysHoursMinutes(59.9), "0min");
  EXPECT_EQ(F::briefDaysHoursMinutes(-0.0), "0min");
  EXPECT_EQ(F::briefDaysHoursMinutes(-1), std::nullopt);
  EXPECT_EQ(F::briefDaysHoursMinutes(std::nan("")), std::nullopt);
  EXPECT_EQ(F::briefDaysHoursMinutes(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(F::briefDaysHoursMinutes(1e300), std::nullopt);
}

// ---- Locale

using LocaleTest = EnvironmentTest;

TEST_F(LocaleTest, TheFirstSetVariableNamesTheLocaleWithoutEncodingOrModifier) {
  set("LC_ALL", "de_DE.UTF-8");
  set("LC_MESSAGES", "fr_FR.UTF-8");
  set("LANG", "en_GB.UTF-8");
  EXPECT_EQ(currentLocaleDescription(), "de_DE (current)");

  set("LC_ALL", "");  // empty counts as unset
  EXPECT_EQ(currentLocaleDescription(), "fr_FR (current)");

  set("LC_MESSAGES", nullptr);
  EXPECT_EQ(currentLocaleDescription(), "en_GB (current)");

  set("LANG", "sr_RS@latin");
  EXPECT_EQ(currentLocaleDescription(), "sr_RS (current)");
}

TEST_F(LocaleTest, CPosixUnsetAndMalformedGiveThePosixLocale) {
  set("LC_ALL", nullptr);
  set("LC_MESSAGES", nullptr);
  set("LANG", nullptr);
  EXPECT_EQ(currentLocaleDescription(), "en_US_POSIX (current)");
  for (const char* value : {"C", "C.UTF-8", "POSIX", "en US\n", ".UTF-8"}) {
    set("LANG", value);
    EXPECT_EQ(currentLocaleDescription(), "en_US_POSIX (current)") << value;
  }
}

// ---- Screens

class FixedScreens final : public ScreenSource {
 public:
  std::vector<Screen> screens() const override {
    return {{"Studio", std::pair{5120.0, 2880.0}, 2}};
  }
};

TEST(ScreenSourceTest, AnInstalledSourceReplacesTheDefaultUntilRemoved) {
  const auto original = ScreenSource::current();
  ASSERT_NE(original, nullptr);
  auto fixed = std::make_shared<FixedScreens>();
  ScreenSource::install(fixed);
  EXPECT_EQ(ScreenSource::current(), fixed);
  const auto screens = ScreenSource::current()->screens();
  ASSERT_EQ(screens.size(), 1u);
  EXPECT_EQ(screens[0].localizedName, "Studio");
  ScreenSource::install(nullptr);
  EXPECT_EQ(ScreenSource::current(), original);
}

TEST(DrmScreensTest, ConnectedConnectorsWithTheirPreferredModeInFolderOrder) {
  Folder drm;
  drm.write("card0-eDP-1/status", "connected\n");
  drm.write("card0-eDP-1/modes", "2560x1440\n1920x1080\n1280x720\n");
  drm.write("card0-HDMI-A-1/status", "disconnected\n");
  drm.write("card0-HDMI-A-1/modes", "1920x1080\n");
  drm.write("card0-Virtual-1/status", "connected\n");
  drm.write("card0-Virtual-1/modes", "1024x768i\n");
  drm.write("card1-DP-2/status", "connected\n");
  drm.write("card1-DP-2/modes", "");  // no mode known
  drm.write("card0/status", "connected\n");
  drm.write("renderD128/status", "connected\n");
  drm.write("version", "drm 1.1.0 20060810\n");

  const auto screens = detail::drmScreens(drm.path());
  ASSERT_EQ(screens.size(), 3u);
  EXPECT_EQ(screens[0].localizedName, "Virtual-1");
  EXPECT_EQ(screens[0].size, (std::pair{1024.0, 768.0}));
  EXPECT_EQ(screens[1].localizedName, "eDP-1");
  EXPECT_EQ(screens[1].size, (std::pair{2560.0, 1440.0}));
  EXPECT_EQ(screens[1].backingScaleFactor, 1);
  EXPECT_EQ(screens[2].localizedName, "DP-2");
  EXPECT_EQ(screens[2].size, std::nullopt);
}

TEST(DrmScreensTest, AMissingFolderOrGarbledModeGivesNoScreenOrNoSize) {
  Folder drm;
  EXPECT_TRUE(detail::drmScreens(drm.path() / "absent").empty());
  drm.write("card0-DP-1/status", "connected\n");
  drm.write("card0-DP-1/modes", "x1080\n");
  drm.write("card0-DP-3/status", "connected\n");
  drm.write("card0-DP-3/modes", "99999999999x1\n");
  const auto screens = detail::drmScreens(drm.path());
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0].size, std::nullopt);
  EXPECT_EQ(screens[1].size, std::nullopt);
}

using DefaultScreenSourceTest = EnvironmentTest;

TEST_F(DefaultScreenSourceTest, WithoutAReachableDisplayTheDrmConnectorsAreUsed) {
  ScreenSource::install(nullptr);
  set("DISPLAY", nullptr);
  const auto expected = detail::drmScreens("/sys/class/drm");
  auto screens = ScreenSource::current()->screens();
  ASSERT_EQ(screens.size(), expected.size());
  for (std::size_t index = 0; index < screens.size(); ++index) {
    EXPECT_EQ(screens[index].localizedName, expected[index].localizedName);
  }
  set("DISPLAY", ":9876");  // no such display
  EXPECT_EQ(ScreenSource::current()->screens().size(), expected.size());
}

// A virtual X server for one test; skipped where Xvfb is not installed.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      return;
    }
    int ready[2];
    if (::pipe(ready) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb",        "-displayfd", "3",   "-screen", "0",
                          "1280x800x24", "-nolisten",  "tcp", nullptr};
    if (posix_spawn(&pid_, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    // Xvfb writes its display number once it accepts connections; the read ends at its exit.
    std::string number;
    char c = 0;
    while (pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') {
      number += c;
    }
    ::close(ready[0]);
    if (!number.empty()) {
      name_ = ":" + number;
    }
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

TEST_F(DefaultScreenSourceTest, AnXDisplayReportsItsActiveOutputsThroughXRandR) {
  VirtualDisplay display;
  if (display.name().empty()) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  if (::access("/usr/lib/x86_64-linux-gnu/libXrandr.so.2", R_OK) != 0 &&
      ::access("/usr/lib/libXrandr.so.2", R_OK) != 0) {
    GTEST_SKIP() << "libXrandr is not available";
  }
  ScreenSource::install(nullptr);
  set("DISPLAY", display.name().c_str());
  const auto screens = ScreenSource::current()->screens();
  ASSERT_EQ(screens.size(), 1u);
  EXPECT_FALSE(screens[0].localizedName.empty());
  EXPECT_EQ(screens[0].size, (std::pair{1280.0, 800.0}));
  EXPECT_EQ(screens[0].backingScaleFactor, 1);
}

// ---- Open panel and alert

class RecordingPanel final : public FilePanel {
 public:
  Result<std::optional<std::vector<Url>>> runModal(const OpenPanelOptions& options) override {
    prompt = options.prompt;
    return std::optional(std::vector<Url>{Url::fileURL("/tmp/chosen.png")});
  }
  std::string prompt;
};

class RecordingAlert final : public Alert {
 public:
  int runModal(const AlertContent& content) override {
    messages.push_back(content.messageText);
    return 0;
  }
  std::vector<std::string> messages;
};

TEST(FilePanelTest, InstalledPanelAndAlertAreUsedUntilRemoved) {
  const auto defaultPanel = FilePanel::current();
  const auto defaultAlert = Alert::current();
  ASSERT_NE(defaultPanel, nullptr);
  ASSERT_NE(defaultAlert, nullptr);

  auto panel = std::make_shared<RecordingPanel>();
  auto alert = std::make_shared<RecordingAlert>();
  FilePanel::install(panel);
  Alert::install(alert);
  const auto chosen = FilePanel::current()->runModal({{"png"}, "Attach", true});
  ASSERT_TRUE(chosen.ok());
  ASSERT_TRUE(chosen.value().has_value());
  EXPECT_EQ(chosen.value()->at(0).path(), "/tmp/chosen.png");
  EXPECT_EQ(panel->prompt, "Attach");
  EXPECT_EQ(Alert::current()->runModal({"Error Adding Attachment", "Too large.", {"OK"}}), 0);
  EXPECT_EQ(alert->messages, std::vector<std::string>{"Error Adding Attachment"});

  FilePanel::install(nullptr);
  Alert::install(nullptr);
  EXPECT_EQ(FilePanel::current(), defaultPanel);
  EXPECT_EQ(Alert::current(), defaultAlert);
}

// A stand-in for zenity or kdialog: records its arguments (each ended by \x1e) in
// $FAKE_TOOL_ARGS, prints the '|'-separated $FAKE_TOOL_OUTPUT joined by zenity's --separator (a
// line break by default) and exits with $FAKE_TOOL_STATUS. Shell built-ins only: PATH holds
// nothing else.
constexpr const char* kFakeDialogTool = R"(#!/bin/sh
: > "$FAKE_TOOL_ARGS"
sep='
'
for a in "$@"; do
  printf '%s\036' "$a" >> "$FAKE_TOOL_ARGS"
  case "$a" in --separator=*) sep="${a#--separator=}" ;; esac
done
if [ -n "$FAKE_TOOL_OUTPUT" ]; then
  IFS='|'
  set -f
  first=1
  for p in $FAKE_TOOL_OUTPUT; do
    if [ $first = 1 ]; then printf '%s' "$p"; first=0; else printf '%s%s' "$sep" "$p"; fi
  done
  printf '\n'
fi
exit "${FAKE_TOOL_STATUS:-0}"
)";

class DefaultDialogTest : public EnvironmentTest {
 protected:
  void SetUp() override {
    FilePanel::install(nullptr);
    Alert::install(nullptr);
    set("PATH", tools_.path().c_str());
    set("DISPLAY", ":0");
    set("WAYLAND_DISPLAY", nullptr);
    set("XDG_CURRENT_DESKTOP", nullptr);
    set("FAKE_TOOL_ARGS", (records_.path() / "arguments").c_str());
    set("FAKE_TOOL_OUTPUT", "");
    set("FAKE_TOOL_STATUS", "0");
  }
  void addTool(const std::string& name) { tools_.write(name, kFakeDialogTool, true); }
  std::vector<std::string> arguments() const {
    std::vector<std::string> list;
    std::string current;
    for (const char c : readFile(records_.path() / "arguments")) {
      if (c == '\x1e') {
        list.push_back(current);
        current.clear();
      } else {
        current += c;
      }
    }
    return list;
  }
  static OpenPanelOptions attachmentOptions() { return {{"png", "log"}, "Attach", true}; }

  Folder tools_;
  Folder records_;
};

TEST_F(DefaultDialogTest, WithoutADialogToolThePanelFailsAndTheAlertGoesToStandardError) {
  auto chosen = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_FALSE(chosen.ok());
  EXPECT_EQ(chosen.error().kind(), Error::Kind::generic);
  EXPECT_EQ(chosen.error().description(), "No file panel is available");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Alert::current()->runModal({"Error Adding Attachment", "Not configured.", {"OK"}}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error Adding Attachment: Not configured.\n");
}

TEST_F(DefaultDialogTest, WithoutAGraphicalSessionTheToolsAreNotRun) {
  addTool("zenity");
  set("DISPLAY", nullptr);
  auto chosen = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_FALSE(chosen.ok());
  EXPECT_EQ(chosen.error().description(), "No file panel is available");
  EXPECT_FALSE(fs::exists(records_.path() / "arguments"));
}

TEST_F(DefaultDialogTest, ZenityChoosesSeveralFilesThroughItsSeparator) {
  addTool("zenity");
  set("FAKE_TOOL_OUTPUT", "/home/u/Screen Shot.png|/var/log/app.log");
  auto chosen = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_TRUE(chosen.ok()) << chosen.error().description();
  ASSERT_TRUE(chosen.value().has_value());
  ASSERT_EQ(chosen.value()->size(), 2u);
  EXPECT_EQ(chosen.value()->at(0).path(), "/home/u/Screen Shot.png");
  EXPECT_EQ(chosen.value()->at(1).path(), "/var/log/app.log");

  const auto args = arguments();
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[0], "--file-selection");
  EXPECT_EQ(args[1], "--separator=\x1f");
  EXPECT_EQ(args[2], "--multiple");
  EXPECT_EQ(args[3], "--file-filter=Supported files | *.png *.PNG *.log *.LOG");
  EXPECT_EQ(args[4], "--ok-label=Attach");
}

TEST_F(DefaultDialogTest, CancellingAndFailingPanelsAreTold) {
  addTool("zenity");
  set("FAKE_TOOL_STATUS", "1");
  auto cancelled = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_TRUE(cancelled.ok());
  EXPECT_FALSE(cancelled.value().has_value());

  set("FAKE_TOOL_STATUS", "255");
  auto failed = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().description().find("status 255"), std::string::npos);
}

TEST_F(DefaultDialogTest, KdialogIsPreferredOnAKdeDesktop) {
  addTool("zenity");
  addTool("kdialog");
  set("XDG_CURRENT_DESKTOP", "KDE");
  set("HOME", "/home/u");
  set("FAKE_TOOL_OUTPUT", "/home/u/a.png|/home/u/b.log");
  auto chosen = FilePanel::current()->runModal(attachmentOptions());
  ASSERT_TRUE(chosen.ok()) << chosen.error().description();
  ASSERT_EQ(chosen.value()->size(), 2u);
  EXPECT_EQ(chosen.value()->at(1).path(), "/home/u/b.log");
  EXPECT_EQ(arguments(), (std::vector<std::string>{"--getopenfilename", "/home/u",
                                                   "*.png *.PNG *.log *.LOG|Supported files",
                                                   "--multiple", "--separate-output"}));
}

TEST_F(DefaultDialogTest, ZenityAlertsShowTheTextVerbatimAndTellTheButtonPressed) {
  addTool("zenity");
  EXPECT_EQ(Alert::current()->runModal({"Error Adding Attachment", "<b>x</b> too large.", {"OK"}}),
            0);
  EXPECT_EQ(arguments(),
            (std::vector<std::string>{"--warning", "--no-markup", "--title=Error Adding Attachment",
                                      "--text=Error Adding Attachment\n\n<b>x</b> too large.",
                                      "--ok-label=OK"}));

  const AlertContent choice{"Replace?", "", {"Replace", "Keep", "Later"}};
  set("FAKE_TOOL_STATUS", "1");
  EXPECT_EQ(Alert::current()->runModal(choice), 1);
  set("FAKE_TOOL_OUTPUT", "Later");
  EXPECT_EQ(Alert::current()->runModal(choice), 2);
  EXPECT_EQ(arguments().back(), "--extra-button=Later");
  set("FAKE_TOOL_OUTPUT", "");
  set("FAKE_TOOL_STATUS", "0");
  EXPECT_EQ(Alert::current()->runModal(choice), 0);
}

TEST_F(DefaultDialogTest, AnAlertToolThatFailsFallsBackToStandardError) {
  addTool("zenity");
  set("FAKE_TOOL_STATUS", "255");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Alert::current()->runModal({"Error Adding Attachment", "Not configured.", {}}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error Adding Attachment: Not configured.\n");
}

}  // namespace
}  // namespace tessaline::platform
