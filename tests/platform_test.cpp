// The platform layer: URLs, the logger, user defaults, machine facts, formatters, locale,
// screens, the file panel and alert with their dialog tools, and child processes.
#include <Tessaline/Url.h>
#include <platform/FilePanel.h>
#include <platform/Formatters.h>
#include <platform/Logger.h>
#include <platform/Process.h>
#include <platform/Screens.h>
#include <platform/UserDefaults.h>
#include <platform/detail/DrmScreens.h>
#include <platform/detail/ProcessSupport.h>

#include "support/ChildProcess.h"
#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

namespace tessaline::platform {
namespace {

using tessaline::testing::ScopedEnvironment;
using tessaline::testing::TemporaryDirectory;

// Redaction is checked with the default setting, whatever the developer's shell exports.
const bool kPrivateValuesHidden = [] {
  unsetenv("TESSALINE_LOG_PRIVATE");
  return true;
}();

TEST(UrlTest, ParsesAbsoluteUrlsOnly) {
  const auto url = Url::parse("HTTPS://Example.COM:8443/v1/x%20y?q=1&r=a%20b#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->host(), "example.com");
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->percentEncodedPath(), "/v1/x%20y");
  EXPECT_EQ(url->path(), "/v1/x y");
  EXPECT_EQ(url->query(), "q=1&r=a%20b");
  EXPECT_FALSE(url->isFileURL());
  EXPECT_EQ(Url::parse("http://[::1]:8080/")->host(), "::1");
  EXPECT_EQ(Url::parse("http://[::1]:8080/")->port(), 8080);
  EXPECT_EQ(Url::parse("https://ann@h.example:99/")->port(), 99);
  EXPECT_EQ(Url::parse("https://h.example:99999/")->port(), std::nullopt);
  EXPECT_EQ(Url::parse("https://example.com/")->port(), std::nullopt);
  EXPECT_EQ(Url::parse("mailto:ann@example.com")->absoluteString(), "mailto:ann@example.com");
  for (const char* bad : {"", "relative/path", "/absolute/path", ":nothing", "1http://x",
                          "ht tp://x", "http://a b", "http://a\tb", "http://x/\x7f"}) {
    EXPECT_FALSE(Url::parse(bad)) << bad;
  }

  const Url file = Url::fileURL("/tmp/a b/c%d é.txt");
  EXPECT_EQ(file.absoluteString(), "file:///tmp/a%20b/c%25d%20%C3%A9.txt");
  EXPECT_TRUE(file.isFileURL());
  EXPECT_EQ(file.path(), "/tmp/a b/c%d é.txt");
  EXPECT_EQ(file.deletingPathExtensionOfLastComponent(), "c%d é");
  EXPECT_EQ(Url::parse(file.absoluteString()), file);
  EXPECT_EQ(Url::fileURL("logs/app.log").path(),
            (std::filesystem::current_path() / "logs/app.log").string())
      << "a relative path is taken against the working directory";
}

TEST(UrlTest, PathComponentsQueriesAndPercentEncoding) {
  const std::tuple<const char*, const char*, const char*> components[] = {
      {"file:///a/b.tar.gz", "b.tar.gz", "gz"},
      {"file:///a/b/", "b", ""},
      {"file:///a/.hidden", ".hidden", ""},
      {"file:///a/name.", "name.", ""},
      {"https://h.example/v1/report.ips?x=1", "report.ips", "ips"},
      {"file:///", "/", ""}};
  for (const auto& [text, last, extension] : components) {
    EXPECT_EQ(Url::parse(text)->lastPathComponent(), last) << text;
    EXPECT_EQ(Url::parse(text)->pathExtension(), extension) << text;
  }
  const std::tuple<const char*, const char*, const char*> appended[] = {
      {"https://h.example/v1", "config", "https://h.example/v1/config"},
      {"https://h.example/v1/", "config", "https://h.example/v1/config"},
      {"https://h.example", "config", "https://h.example/config"},
      {"https://h.example/v1?key=1#top", "updateCheck",
       "https://h.example/v1/updateCheck?key=1#top"},
      {"https://h.example/v1", "a b?#", "https://h.example/v1/a%20b%3F%23"}};
  for (const auto& [base, component, expected] : appended) {
    EXPECT_EQ(Url::parse(base)->appendingPathComponent(component).absoluteString(), expected);
  }
  const Url url = *Url::parse("https://h.example/v1/updateCheck?old=1#f");
  EXPECT_EQ(url.withPercentEncodedQuery("buildNumber=1&train=a%20b").absoluteString(),
            "https://h.example/v1/updateCheck?buildNumber=1&train=a%20b#f");
  EXPECT_EQ(url.withPercentEncodedQuery("").absoluteString(), "https://h.example/v1/updateCheck#f");

  const std::pair<std::string, std::string> encoded[] = {{"a b", "a%20b"},
                                                         {"1+1", "1%2B1"},
                                                         {"AZaz09-._~", "AZaz09-._~"},
                                                         {"/?&=#%", "%2F%3F%26%3D%23%25"},
                                                         {"é", "%C3%A9"},
                                                         {std::string("\0\xFF", 2), "%00%FF"}};
  for (const auto& [plain, text] : encoded) {
    EXPECT_EQ(percentEncodeQueryValue(plain), text);
    EXPECT_EQ(percentDecode(text), plain);
  }
  EXPECT_EQ(percentDecode("%c3%a9"), "é");
  EXPECT_EQ(percentDecode("100%"), "100%");
  EXPECT_EQ(percentDecode("%zz%4"), "%zz%4");
}

TEST(LoggerTest, RendersEveryPlaceholderAndCapturesWhileInstalled) {
  const char* format = "a %{public}@ b %@ c %d d %{public}s e %{public}d f %% g %{private}@ h %s";
  const auto arguments = {LogArgument("pub"),
                          LogArgument("priv"),
                          LogArgument(42),
                          LogArgument("cstr"),
                          LogArgument(std::int64_t{-7}),
                          LogArgument(std::string("secret")),
                          LogArgument(std::string_view("plain"))};
  EXPECT_EQ(Logger::render(format, arguments, false),
            "a pub b priv c 42 d cstr e -7 f % g secret h plain");
  EXPECT_EQ(Logger::render(format, arguments, true),
            "a pub b <private> c 42 d cstr e -7 f % g <private> h plain");
  // Missing arguments, unknown conversions and a trailing percent sign.
  EXPECT_EQ(Logger::render("%@ and %d", {LogArgument("x")}, false), "x and (null)");
  EXPECT_EQ(Logger::render("%x 100%", {}, false), "%x 100%");
  EXPECT_EQ(Logger::render("%{public}@", {LogArgument(static_cast<const char*>(nullptr))}, false),
            "(null)");

  ASSERT_TRUE(kPrivateValuesHidden);
  LogCapture capture;
  const Logger log{std::string(kLogSubsystem), "PlatformTest"};
  log.debug("Loaded %{public}@ with %d reasons", "config", 3);
  {
    LogCapture inner;
    log.error("Failed for %@", std::string("ann@example.com"));
    EXPECT_EQ(inner.records().size(), 1u);
  }
  Logger{"other.subsystem", "Other"}.log("State = %@", "loading");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, LogLevel::debug);
  EXPECT_EQ(records[0].subsystem, "brisquet.Tessaline");
  EXPECT_EQ(records[0].redacted, "Loaded config with 3 reasons");
  EXPECT_EQ(records[1].message, "Failed for ann@example.com");
  EXPECT_EQ(records[1].redacted, "Failed for <private>");
  EXPECT_EQ(logLevelName(records[2].level), "default");
  EXPECT_EQ(capture.count("Failed for %@", "PlatformTest"), 1u);
  EXPECT_EQ(capture.count("Failed for %@", "Other"), 0u);
  EXPECT_EQ(capture.withFormat("State = %@", "Other").at(0).message, "State = loading");
  capture.clear();
  EXPECT_TRUE(capture.records().empty());
}

TEST(UserDefaultsTest, ProcessValuesOverTheDefaultsFile) {
  // The file is read on first use, so the folder is chosen before anything asks.
  TemporaryDirectory config;
  config.write("tessaline/defaults.json",
               R"({"TSDisableDeviceModelInUserAgent":true,"Off":false,"Text":"yes","Number":1})");
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  auto& defaults = UserDefaults::standard();
  EXPECT_TRUE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  EXPECT_EQ(defaults.objectForKey("Off"), std::optional<bool>(false));
  for (const char* key : {"Text", "Number", "Missing"}) {  // only booleans are read
    EXPECT_EQ(defaults.objectForKey(key), std::nullopt) << key;
  }
  defaults.setBool("TSDisableDeviceModelInUserAgent", false);
  EXPECT_FALSE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  defaults.removeObject("TSDisableDeviceModelInUserAgent");
  EXPECT_TRUE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  defaults.setBool("Missing", true);
  EXPECT_TRUE(defaults.boolForKey("Missing"));
}

TEST(FormattersTest, ByteCountsAndDurationsInBriefUnits) {
  using F = ByteCountFormatter;
  constexpr auto binary = F::CountStyle::binary;
  constexpr auto decimal = F::CountStyle::decimal;
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  const std::tuple<std::int64_t, F::CountStyle, const char*> counts[] = {
      {0, decimal, "0 bytes"},
      {1, decimal, "1 byte"},
      {1501, decimal, "2 kB"},
      {1'260'000, decimal, "1.3 MB"},
      {17'179'869'184, decimal, "17.18 GB"},
      {999'999, decimal, "1 MB"},
      {min, decimal, "-9.22 EB"},
      {1023, binary, "1023 bytes"},
      {1'048'575, binary, "1 MiB"},
      {1'610'612'736, binary, "1.5 GiB"},
      {min, binary, "-8 EiB"}};
  for (const auto& [count, style, text] : counts) {
    EXPECT_EQ(F::string(count, style), text) << count;
  }
  const std::pair<double, std::optional<std::string>> durations[] = {
      {3 * 86400 + 4 * 3600 + 12 * 60 + 59, "3d 4hr 12min"},
      {86400 + 60, "1d 1min"},
      {400 * 86400.0, "400d"},
      {59.9, "0min"},
      {-1, std::nullopt},
      {std::nan(""), std::nullopt},
      {1e300, std::nullopt}};
  for (const auto& [seconds, text] : durations) {
    EXPECT_EQ(DateComponentsFormatter::briefDaysHoursMinutes(seconds), text) << seconds;
  }
}

TEST(LocaleTest, TheFirstSetVariableNamesTheLocaleWithoutEncodingOrModifier) {
  const std::array<const char*, 4> cases[] = {
      {"de_DE.UTF-8", "fr_FR.UTF-8", "en_GB.UTF-8", "de_DE"},
      {"", "fr_FR.UTF-8", "en_GB.UTF-8", "fr_FR"},  // empty counts as unset
      {nullptr, nullptr, "en_GB.UTF-8", "en_GB"},
      {nullptr, nullptr, "sr_RS@latin", "sr_RS"},
      {nullptr, nullptr, nullptr, "en_US_POSIX"},
      {nullptr, nullptr, "C.UTF-8", "en_US_POSIX"},
      {nullptr, nullptr, "POSIX", "en_US_POSIX"},
      {nullptr, nullptr, "en US\n", "en_US_POSIX"}};
  for (const auto& [all, messages, lang, expected] : cases) {
    ScopedEnvironment allVariable("LC_ALL", all);
    ScopedEnvironment messagesVariable("LC_MESSAGES", messages);
    ScopedEnvironment langVariable("LANG", lang);
    EXPECT_EQ(currentLocaleDescription(), std::string(expected) + " (current)");
  }
}

TEST(ScreensTest, DrmConnectorsGiveConnectedScreensWithTheirPreferredModeInFolderOrder) {
  TemporaryDirectory drm;
  const std::pair<const char*, const char*> connectors[] = {
      {"card0-eDP-1", "2560x1440\n1920x1080\n"},
      {"card0-HDMI-A-1", nullptr},
      {"card0-Virtual-1", "1024x768i\n"},
      {"card1-DP-2", ""},
      {"card1-DP-3", "x1080\n"},
      {"card1-DP-4", "99999999999x1\n"},
      {"card0", ""},
      {"renderD128", ""}};
  for (const auto& [name, modes] : connectors) {
    drm.write(std::string(name) + "/status", modes ? "connected\n" : "disconnected\n");
    drm.write(std::string(name) + "/modes", modes ? modes : "1920x1080\n");
  }
  drm.write("version", "drm 1.1.0 20060810\n");
  std::vector<std::string> described;
  for (const auto& screen : detail::drmScreens(drm.path())) {
    described.push_back(screen.localizedName + " " +
                        (screen.size ? std::to_string(int(screen.size->first)) + "x" +
                                           std::to_string(int(screen.size->second))
                                     : "none") +
                        " " + std::to_string(int(screen.backingScaleFactor)));
  }
  EXPECT_EQ(described, (std::vector<std::string>{"Virtual-1 1024x768 1", "eDP-1 2560x1440 1",
                                                 "DP-2 none 1", "DP-3 none 1", "DP-4 none 1"}));
  EXPECT_TRUE(detail::drmScreens(drm.path() / "absent").empty());

  // Without a reachable display the machine's connectors are used.
  for (const char* display : {static_cast<const char*>(nullptr), ":9876"}) {
    ScopedEnvironment variable("DISPLAY", display);
    EXPECT_EQ(ScreenSource::current()->screens().size(),
              detail::drmScreens("/sys/class/drm").size());
  }
}

TEST(ScreensTest, AnXDisplayReportsItsActiveOutputsThroughXRandR) {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  // Xvfb picks a free display itself and writes its number once it accepts connections.
  auto xvfb = tessaline::testing::ChildProcess::start(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {});
  ASSERT_TRUE(xvfb);
  ASSERT_TRUE(xvfb->waitForOutput("\n", std::chrono::seconds(30))) << xvfb->err();
  ScopedEnvironment display("DISPLAY", ":" + xvfb->out().substr(0, xvfb->out().find('\n')));
  const auto screens = ScreenSource::current()->screens();
  ASSERT_EQ(screens.size(), 1u);
  EXPECT_EQ(screens[0].size, (std::pair{1280.0, 800.0}));
  EXPECT_EQ(screens[0].backingScaleFactor, 1);
  xvfb->terminate(std::chrono::seconds(10));  // so that it removes its socket and lock file
}

// A stand-in for zenity or kdialog: records its arguments (each followed by \x1e) in
// $FAKE_TOOL_ARGS, prints $FAKE_TOOL_OUTPUT and exits with $FAKE_TOOL_STATUS. Shell built-ins
// only: PATH holds nothing else.
constexpr const char* kFakeDialogTool = R"(printf '%s\036' "$@" > "$FAKE_TOOL_ARGS"
[ -z "$FAKE_TOOL_OUTPUT" ] || printf '%s\n' "$FAKE_TOOL_OUTPUT"
exit "${FAKE_TOOL_STATUS:-0}"
)";

class DefaultDialogTest : public ::testing::Test {
 protected:
  void addTool(const std::string& name) {
    tessaline::testing::script(tools_.path(), kFakeDialogTool, name);
  }
  // What the tool was given, "" when it did not run.
  std::string arguments() const {
    std::ifstream in(records_.path() / "arguments");
    std::string text(std::istreambuf_iterator<char>(in), {});
    std::replace(text.begin(), text.end(), '\x1e', ' ');
    return text;
  }
  // Standard error of an alert.
  std::string alertError(const AlertContent& content) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Alert::current()->runModal(content), 0);
    return ::testing::internal::GetCapturedStderr();
  }

  TemporaryDirectory tools_;
  TemporaryDirectory records_;
  ScopedEnvironment path_{"PATH", tools_.path().string()};
  ScopedEnvironment display_{"DISPLAY", ":0"};
  ScopedEnvironment wayland_{"WAYLAND_DISPLAY", nullptr};
  ScopedEnvironment desktop_{"XDG_CURRENT_DESKTOP", nullptr};
  ScopedEnvironment arguments_{"FAKE_TOOL_ARGS", (records_.path() / "arguments").string()};
};

TEST_F(DefaultDialogTest, ThePanelRunsZenityOrOnKdeKdialog) {
  struct Case {
    std::vector<std::string> tools;
    const char* display;
    const char* desktop;
    const char* status;
    std::string expected;  // the paths chosen, "cancelled", or the error
    std::string arguments;
    const char* output = "/home/u/a b.png\x1f/home/u/c.log";  // zenity's separator
  };
  const std::string zenity =
      "--file-selection --separator=\x1f --multiple --file-filter=Supported files | *.png *.PNG "
      "*.log *.LOG --ok-label=Attach ";
  const Case cases[] = {
      {{}, ":0", nullptr, "0", "No file panel is available", ""},
      {{"zenity"}, nullptr, nullptr, "0", "No file panel is available", ""},
      {{"zenity"}, ":0", nullptr, "0", "/home/u/a b.png /home/u/c.log ", zenity},
      {{"zenity", "kdialog"},
       ":0",
       "KDE",
       "0",
       "/home/u/a b.png /home/u/c.log ",
       "--getopenfilename /home/u *.png *.PNG *.log *.LOG|Supported files --multiple "
       "--separate-output --ok-label Attach ",
       "/home/u/a b.png\n/home/u/c.log"},
      {{"zenity"}, ":0", nullptr, "1", "cancelled", zenity},
      {{"zenity"}, ":0", nullptr, "255", "status 255", zenity}};
  for (const auto& c : cases) {
    for (const auto& tool : c.tools) {
      addTool(tool);
    }
    ScopedEnvironment display("DISPLAY", c.display);
    ScopedEnvironment desktop("XDG_CURRENT_DESKTOP", c.desktop);
    ScopedEnvironment home("HOME", "/home/u");
    ScopedEnvironment output("FAKE_TOOL_OUTPUT", c.output);
    ScopedEnvironment status("FAKE_TOOL_STATUS", c.status);
    std::filesystem::remove(records_.path() / "arguments");
    const auto chosen = FilePanel::current()->runModal({{"png", "log"}, "Attach", true});
    std::string outcome;
    if (!chosen.ok()) {
      outcome = chosen.error().description();
    } else if (!chosen.value()) {
      outcome = "cancelled";
    } else {
      for (const auto& url : *chosen.value()) {
        outcome += url.path() + " ";
      }
    }
    EXPECT_THAT(outcome, ::testing::HasSubstr(c.expected));
    EXPECT_EQ(arguments(), c.arguments);
  }
}

TEST_F(DefaultDialogTest, AlertsShowTheTextVerbatimOrFallBackToStandardError) {
  const AlertContent notice{"Error Adding Attachment", "<b>x</b> too large.", {"OK"}};
  EXPECT_EQ(alertError(notice), "Error Adding Attachment: <b>x</b> too large.\n") << "no tool";
  addTool("zenity");
  EXPECT_EQ(alertError(notice), "");
  EXPECT_EQ(arguments(),
            "--warning --no-markup --title=Error Adding Attachment --text=Error Adding "
            "Attachment\n\n<b>x</b> too large. --ok-label=OK ");
  {
    ScopedEnvironment failing("FAKE_TOOL_STATUS", "255");
    EXPECT_EQ(alertError(notice), "Error Adding Attachment: <b>x</b> too large.\n");
  }

  const AlertContent choice{"Replace?", "", {"Replace", "Keep", "Later"}};
  const std::tuple<const char*, const char*, int> answers[] = {
      {"0", "", 0}, {"1", "", 1}, {"1", "Later", 2}};
  for (const auto& [status, output, button] : answers) {
    ScopedEnvironment exitStatus("FAKE_TOOL_STATUS", status);
    ScopedEnvironment printed("FAKE_TOOL_OUTPUT", output);
    EXPECT_EQ(Alert::current()->runModal(choice), button);
  }
  EXPECT_THAT(arguments(), ::testing::HasSubstr("--extra-button=Later"));
}

// Run directly, without a shell, in its folder; standard output read wholly, as its newest bytes
// or not at all; standard error never blocks; no descriptor of the host beyond the standard three;
// the stand-in tools refuse arguments they do not know before they print anything.
TEST(ProcessTest, RunsWithoutAShellAndReadsItsOutputWhollyOrItsNewestBytes) {
  TemporaryDirectory directory;
  const auto tool =
      tessaline::testing::script(directory.path(), tessaline::testing::kRecordArguments);
  const std::vector<std::string> odd{"plain",       "two words", "'quoted'",   "\"double\"",
                                     "$HOME; ls *", "",          "line\nbreak"};
  std::string recorded;
  for (const auto& argument : odd) {
    recorded += argument + "\x1e";
  }
  recorded += std::filesystem::canonical(directory.path()).string() + "\x1e";
  constexpr std::size_t flood = 8 * 1024 * 1024;
  const std::string line = "abcdefghijklmnopqrstuvwxy\n";
  const std::string yes = "yes abcdefghijklmnopqrstuvwxy | head -c " + std::to_string(flood);
  std::string full;
  while (full.size() < flood) {
    full += line;
  }
  full.resize(flood);
  const int leaked = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 100);  // no close-on-exec
  ASSERT_GE(leaked, 100);
  struct Case {
    std::string path;
    std::vector<std::string> arguments;
    std::size_t limit;  // 0 for none
    bool discard;
    int status;
    std::string expected;
  };
  const Case cases[] = {
      {tool.string(), odd, 0, false, 0, recorded},
      {"/bin/sh", {"-c", yes}, 0, false, 0, full},
      {"/bin/sh", {"-c", yes}, 1024 * 1024 + 7, false, 0, full.substr(flood - 1024 * 1024 - 7)},
      {"/bin/sh", {"-c", yes}, 0, true, 0, ""},
      {"/bin/sh", {"-c", yes + " >&2; echo stdout line"}, 0, false, 0, "stdout line\n"},
      {"/bin/ls", {"/proc/self/fd"}, 0, false, 0, "0\n1\n2\n3\n"},  // 3: the one ls reads
      {"/usr/sbin/system_profiler", {"-timeout", "soon"}, 0, false, 1, ""},
      {"/usr/sbin/system_profiler", {"-xml"}, 0, false, 1, ""},
      {"/usr/sbin/system_profiler", {"-timeout"}, 0, false, 1, ""},
      {"/usr/bin/log", {"stream", "--predicate", "process contains"}, 0, false, 64, ""}};
  for (const auto& c : cases) {
    Process process(c.path, c.arguments);
    process.setCurrentDirectory(directory.path().string());
    process.setOutputLimit(c.limit);
    if (c.discard) {
      process.setStandardOutput(Process::Output::discard);
    }
    ASSERT_TRUE(process.launch().ok());
    const auto termination = process.waitUntilExit();
    EXPECT_EQ(termination.reason, Process::Termination::Reason::exit) << c.path;
    EXPECT_EQ(termination.status, c.status) << c.path;
    EXPECT_EQ(process.output().size(), c.expected.size()) << c.path << " " << c.limit;
    EXPECT_TRUE(process.output().view() == c.expected) << c.path << " " << c.limit;
  }
  ::close(leaked);
}

TEST(ProcessTest, LaunchFailuresAndRepeatedLaunchesAreErrors) {
  Process missing("/nonexistent/tool", {"x"});
  const auto launched = missing.launch();
  ASSERT_FALSE(launched.ok());
  EXPECT_EQ(launched.error().kind(), Error::Kind::process);
  EXPECT_EQ(launched.error().description(),
            "Cannot launch /nonexistent/tool: No such file or directory");
  EXPECT_EQ(missing.waitUntilExit().reason, Process::Termination::Reason::unknown);
  missing.terminate();  // nothing to terminate

  Process elsewhere("/bin/true", {});
  elsewhere.setCurrentDirectory("/nonexistent/folder");
  EXPECT_THAT(elsewhere.launch().error().description(),
              ::testing::HasSubstr("No such file or directory"));

  Process twice("/bin/true", {});
  ASSERT_TRUE(twice.launch().ok());
  EXPECT_FALSE(twice.launch().ok());
  EXPECT_EQ(twice.waitUntilExit().status, 0);
}

TEST(ProcessTest, TerminateEndsTheChildEvenWhereTheHostIgnoresOrBlocksTheSignal) {
  // A host that ignores and blocks SIGTERM must not pass that on to its tools.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGTERM, &ignore, &previous);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &term, &previousMask);
  Process process("/bin/sleep", {"600"});
  ASSERT_TRUE(process.launch().ok());
  process.terminate();
  const auto termination = process.waitUntilExit();
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGTERM, &previous, nullptr);
  EXPECT_EQ(termination.reason, Process::Termination::Reason::uncaughtSignal);
  EXPECT_EQ(termination.status, SIGTERM);

  Process ignored("/bin/true", {});
  ignored.terminate();  // before the launch: ignored
  ASSERT_TRUE(ignored.launch().ok());
  EXPECT_EQ(ignored.waitUntilExit().reason, Process::Termination::Reason::exit);

  std::optional<int> pid;
  {
    Process dropped("/bin/sleep", {"600"});
    ASSERT_TRUE(dropped.launch().ok());
    pid = dropped.processIdentifier();
  }
  ASSERT_TRUE(pid);
  EXPECT_FALSE(tessaline::testing::processExists(*pid));  // destroying it ends and reaps it
}

}  // namespace
}  // namespace tessaline::platform
