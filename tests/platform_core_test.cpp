// The platform core: URLs, the logger and its capture, the main bundle, user defaults and the
// machine facts.
#include <Tessaline/Url.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/SystemInfo.h>
#include <platform/UserDefaults.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

// Redaction is checked with the default setting, whatever the developer's shell exports.
const bool kPrivateValuesHidden = [] {
  unsetenv("TESSALINE_LOG_PRIVATE");
  return true;
}();

std::string text(const std::optional<Url>& url) {
  return url ? url->absoluteString() : "(none)";
}

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

  const auto ipv6 = Url::parse("http://[::1]:8080/");
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv6->host(), "::1");
  EXPECT_EQ(ipv6->port(), 8080);
  EXPECT_EQ(Url::parse("https://example.com/")->port(), std::nullopt);

  for (const char* bad : {"", "relative/path", "/absolute/path", ":nothing", "1http://x",
                          "ht tp://x", "http://a b", "http://a\tb", "http://x/\x7f"}) {
    EXPECT_FALSE(Url::parse(bad)) << bad;
  }
  EXPECT_EQ(text(Url::parse("mailto:ann@example.com")), "mailto:ann@example.com");
}

TEST(UrlTest, FileUrlsEncodeTheirPath) {
  const Url url = Url::fileURL("/tmp/a b/c%d é.txt");
  EXPECT_EQ(url.absoluteString(), "file:///tmp/a%20b/c%25d%20%C3%A9.txt");
  EXPECT_TRUE(url.isFileURL());
  EXPECT_EQ(url.path(), "/tmp/a b/c%d é.txt");
  EXPECT_EQ(url.lastPathComponent(), "c%d é.txt");
  EXPECT_EQ(url.pathExtension(), "txt");
  EXPECT_EQ(url.deletingPathExtensionOfLastComponent(), "c%d é");
  EXPECT_EQ(Url::parse(url.absoluteString()), url);

  // A relative path is taken against the working directory.
  const Url relative = Url::fileURL("logs/app.log");
  EXPECT_EQ(relative.path(), (std::filesystem::current_path() / "logs/app.log").string());
}

TEST(UrlTest, PathComponentsAndExtensions) {
  struct Case {
    const char* url;
    const char* last;
    const char* extension;
  };
  const Case cases[] = {
      {"file:///a/b.tar.gz", "b.tar.gz", "gz"},
      {"file:///a/b/", "b", ""},
      {"file:///a/.hidden", ".hidden", ""},
      {"file:///a/name.", "name.", ""},
      {"https://h.example/v1/report.ips?x=1", "report.ips", "ips"},
      {"file:///", "/", ""},
  };
  for (const auto& c : cases) {
    const auto url = Url::parse(c.url);
    ASSERT_TRUE(url) << c.url;
    EXPECT_EQ(url->lastPathComponent(), c.last) << c.url;
    EXPECT_EQ(url->pathExtension(), c.extension) << c.url;
  }
}

TEST(UrlTest, AppendingPathComponentKeepsQueryAndFragment) {
  EXPECT_EQ(Url::parse("https://h.example/v1")->appendingPathComponent("config").absoluteString(),
            "https://h.example/v1/config");
  EXPECT_EQ(Url::parse("https://h.example/v1/")->appendingPathComponent("config").absoluteString(),
            "https://h.example/v1/config");
  EXPECT_EQ(Url::parse("https://h.example")->appendingPathComponent("config").absoluteString(),
            "https://h.example/config");
  EXPECT_EQ(Url::parse("https://h.example/v1?key=1#top")
                ->appendingPathComponent("updateCheck")
                .absoluteString(),
            "https://h.example/v1/updateCheck?key=1#top");
  EXPECT_EQ(Url::parse("https://h.example/v1")->appendingPathComponent("a b?#").absoluteString(),
            "https://h.example/v1/a%20b%3F%23");
  EXPECT_EQ(Url::fileURL("/tmp/x").appendingPathComponent("y z.log").path(), "/tmp/x/y z.log");
}

TEST(UrlTest, QueriesAreReplacedWhole) {
  const Url url = *Url::parse("https://h.example/v1/updateCheck?old=1#f");
  EXPECT_EQ(url.withPercentEncodedQuery("buildNumber=1&train=a%20b").absoluteString(),
            "https://h.example/v1/updateCheck?buildNumber=1&train=a%20b#f");
  EXPECT_EQ(url.withPercentEncodedQuery("").absoluteString(), "https://h.example/v1/updateCheck#f");
}

TEST(UrlTest, QueryValuesArePercentEncodedByRfc3986) {
  EXPECT_EQ(percentEncodeQueryValue("a b"), "a%20b");
  EXPECT_EQ(percentEncodeQueryValue("1+1"), "1%2B1");
  EXPECT_EQ(percentEncodeQueryValue("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percentEncodeQueryValue("/?&=#%"), "%2F%3F%26%3D%23%25");
  EXPECT_EQ(percentEncodeQueryValue("é"), "%C3%A9");  // UTF-8 bytes, upper-case hex
  EXPECT_EQ(percentEncodeQueryValue(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(percentEncodeQueryValue(""), "");
  EXPECT_EQ(percentDecode("a%20b%2B%c3%a9"), "a b+é");
  EXPECT_EQ(percentDecode("100%"), "100%");
  EXPECT_EQ(percentDecode("%zz%4"), "%zz%4");
}

TEST(LoggerTest, RendersEveryPlaceholder) {
  const char* format = "a %{public}@ b %@ c %d d %{public}s e %{public}d f %% g %{private}@ h %s";
  const auto arguments = {platform::LogArgument("pub"),
                          platform::LogArgument("priv"),
                          platform::LogArgument(42),
                          platform::LogArgument("cstr"),
                          platform::LogArgument(std::int64_t{-7}),
                          platform::LogArgument(std::string("secret")),
                          platform::LogArgument(std::string_view("plain"))};
  EXPECT_EQ(platform::Logger::render(format, arguments, false),
            "a pub b priv c 42 d cstr e -7 f % g secret h plain");
  EXPECT_EQ(platform::Logger::render(format, arguments, true),
            "a pub b <private> c 42 d cstr e -7 f % g <private> h plain");
  // Missing arguments, unknown conversions and a trailing percent sign.
  EXPECT_EQ(platform::Logger::render("%@ and %d", {platform::LogArgument("x")}, false),
            "x and (null)");
  EXPECT_EQ(platform::Logger::render("%x 100%", {}, false), "%x 100%");
  EXPECT_EQ(platform::Logger::render(
                "%{public}@", {platform::LogArgument(static_cast<const char*>(nullptr))}, false),
            "(null)");
}

TEST(LoggerTest, CaptureKeepsLinesWhileInstalled) {
  ASSERT_TRUE(kPrivateValuesHidden);
  platform::LogCapture capture;
  const platform::Logger log{std::string(platform::kLogSubsystem), "PlatformCoreTest"};
  log.debug("Loaded %{public}@ with %d reasons", "config", 3);
  {
    platform::LogCapture inner;
    log.error("Failed for %@", std::string("ann@example.com"));
    EXPECT_EQ(inner.records().size(), 1u);
  }
  platform::Logger{"other.subsystem", "Other"}.log("State = %@", "loading");

  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, platform::LogLevel::debug);
  EXPECT_EQ(records[0].subsystem, "brisquet.Tessaline");
  EXPECT_EQ(records[0].category, "PlatformCoreTest");
  EXPECT_EQ(records[0].format, "Loaded %{public}@ with %d reasons");
  EXPECT_EQ(records[0].message, "Loaded config with 3 reasons");
  EXPECT_EQ(records[0].redacted, "Loaded config with 3 reasons");
  EXPECT_EQ(records[1].level, platform::LogLevel::error);
  EXPECT_EQ(records[1].message, "Failed for ann@example.com");
  EXPECT_EQ(records[1].redacted, "Failed for <private>");
  EXPECT_EQ(records[2].level, platform::LogLevel::defaultLevel);
  EXPECT_EQ(platform::logLevelName(records[2].level), "default");

  EXPECT_EQ(capture.count("Failed for %@"), 1u);
  EXPECT_EQ(capture.count("Failed for %@", "PlatformCoreTest"), 1u);
  EXPECT_EQ(capture.count("Failed for %@", "Other"), 0u);
  EXPECT_EQ(capture.withFormat("State = %@", "Other").at(0).message, "State = loading");
  capture.clear();
  EXPECT_TRUE(capture.records().empty());
}

TEST(MainBundleTest, HoldsTheHostsInfoDictionary) {
  platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", std::int64_t{310}}});
  EXPECT_EQ(platform::MainBundle::object("CFBundleShortVersionString"),
            platform::InfoValue(std::string("2.4.1")));
  EXPECT_EQ(platform::MainBundle::object("CFBundleVersion"),
            platform::InfoValue(std::int64_t{310}));
  EXPECT_EQ(platform::MainBundle::object("CFBundleName"), std::nullopt);
  EXPECT_EQ(platform::MainBundle::infoDictionary().size(), 2u);
  platform::MainBundle::setInfoDictionary({});
  EXPECT_EQ(platform::MainBundle::object("CFBundleVersion"), std::nullopt);
}

TEST(UserDefaultsTest, ProcessValuesOverTheDefaultsFile) {
  // The file is read on first use, so the folder is chosen before anything asks.
  testing::TemporaryDirectory config;
  config.write("tessaline/defaults.json",
               R"({"TSDisableDeviceModelInUserAgent":true,"Off":false,"Text":"yes","Number":1})");
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);

  auto& defaults = platform::UserDefaults::standard();
  EXPECT_TRUE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  EXPECT_EQ(defaults.objectForKey("Off"), std::optional<bool>(false));
  // Only booleans are read.
  EXPECT_EQ(defaults.objectForKey("Text"), std::nullopt);
  EXPECT_EQ(defaults.objectForKey("Number"), std::nullopt);
  EXPECT_EQ(defaults.objectForKey("Missing"), std::nullopt);
  EXPECT_FALSE(defaults.boolForKey("Missing"));

  defaults.setBool("TSDisableDeviceModelInUserAgent", false);
  EXPECT_FALSE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  defaults.removeObject("TSDisableDeviceModelInUserAgent");
  EXPECT_TRUE(defaults.boolForKey("TSDisableDeviceModelInUserAgent"));
  defaults.setBool("Missing", true);
  EXPECT_TRUE(defaults.boolForKey("Missing"));
  EXPECT_EQ(&defaults, &platform::UserDefaults::standard());
}

TEST(SystemInfoTest, MachineFactsAreSane) {
  const std::string model = platform::SystemInfo::hardwareModel();
  EXPECT_FALSE(model.empty());
  EXPECT_EQ(model, platform::removingControlCharacters(model));

  const auto kernel = platform::SystemInfo::kernelOSVersion();
  ASSERT_TRUE(kernel);
  EXPECT_FALSE(kernel->empty());

  const std::string os = platform::SystemInfo::operatingSystemVersionString();
  EXPECT_FALSE(os.empty());
  EXPECT_EQ(os, platform::removingControlCharacters(os));

  EXPECT_GT(platform::SystemInfo::processorCount(), 0);
  EXPECT_GT(platform::SystemInfo::physicalMemory(), 0u);
  EXPECT_GT(platform::SystemInfo::systemUptime(), 0.0);
  const int thermal = platform::SystemInfo::thermalState();
  EXPECT_GE(thermal, -1);
  EXPECT_LE(thermal, 3);

  EXPECT_EQ(platform::removingControlCharacters("a\tb\nc\x7f"
                                                "d\x1b[0m"),
            "abcd[0m");
}

}  // namespace
}  // namespace tessaline
