// The form configuration, the version value and the host's bundle accessors.
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/records/detail/SystemIdentifiers.h>
#include <Tessaline/records/detail/Utf8.h>
#include <platform/MainBundle.h>
#include <platform/SystemInfo.h>

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <unordered_set>

namespace tessaline {
namespace {

constexpr const char* kConfigJson =
    R"({"minVersion":"1.2.3","minBuildNumber":100,"minBuildNumberBeta":90,)"
    R"("minMessageLength":10,"maxMessageLength":5000,"maxAttachmentSize":9437184,)"
    R"("reasons":[{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
    R"("crashLogs":"required","requiresFrequency":true},{"id":2,"title":"Idea",)"
    R"("systemProfile":"notRequired","appLogs":"optional","crashLogs":"notRequired"}],)"
    R"("frequencies":[{"id":1,"title":"Always"}],)"
    R"("blockedOSBuilds":[{"id":"23A5257q","name":"Beta 1","message":"Closed."}],)"
    R"("knownIssues":[{"id":"bt","affectedAppBuilds":[310,311],"affectedOSBuilds":["23B74"],)"
    R"("message":"Bluetooth drops."}]})";

detail::Json configDocument() {
  return detail::Json::parse(kConfigJson);
}

Result<Config> decodeWith(const char* pointer, const detail::Json& value) {
  auto document = configDocument();
  document[detail::Json::json_pointer(pointer)] = value;
  return Config::fromJson(document.dump());
}

AppVersion version(std::string_view text) {
  const auto parsed = AppVersion::parse(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(AppVersion{});
}

TEST(ConfigTest, DecodesEveryField) {
  const auto config = Config::fromJson(kConfigJson);
  ASSERT_TRUE(config) << config.error().description();
  EXPECT_EQ(config->minVersion, (AppVersion{1, 2, 3}));
  EXPECT_EQ(config->minBuildNumber, 100);
  EXPECT_EQ(config->minBuildNumberBeta, 90);
  EXPECT_EQ(config->minMessageLength, 10);
  EXPECT_EQ(config->maxMessageLength, 5000);
  EXPECT_EQ(config->maxAttachmentSize, 9437184);
  ASSERT_EQ(config->reasons.size(), 2u);
  EXPECT_EQ(config->reasons[1].appLogs, Feedback::Requirement::optional);
  EXPECT_FALSE(config->reasons[1].requiresFrequency);
  EXPECT_EQ(config->frequencies, (std::vector<Feedback::ReproductionFrequency>{{1, "Always"}}));
  EXPECT_EQ(config->blockedOSBuilds, (std::vector<OSBuild>{{"23A5257q", "Beta 1", "Closed."}}));
  EXPECT_EQ(config->knownIssues,
            (std::vector<KnownIssue>{{"bt", {310, 311}, {"23B74"}, "Bluetooth drops."}}));
}

TEST(ConfigTest, EncodesInTableOrderAndRoundTrips) {
  const auto config = Config::fromJson(kConfigJson);
  ASSERT_TRUE(config);
  const auto json = config->toJson();
  ASSERT_TRUE(json) << json.error().description();
  EXPECT_EQ(json.value(), kConfigJson);
  const auto again = Config::fromJson(json.value());
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), config.value());
  EXPECT_EQ(std::hash<Config>{}(again.value()), std::hash<Config>{}(config.value()));
}

TEST(ConfigTest, TheSampleConfigurationDecodes) {
  std::ifstream in(std::string(TESSALINE_SOURCE_DIR) + "/examples/sample-config.json");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  const auto config = Config::fromJson(text.str());
  ASSERT_TRUE(config) << config.error().description();
  EXPECT_EQ(config->minVersion.description(), "2.0.0");
  EXPECT_EQ(config->reasons.size(), 3u);
  EXPECT_EQ(config->frequencies.size(), 3u);
}

TEST(ConfigTest, EveryKeyIsRequired) {
  for (const char* key : {"minVersion", "minBuildNumber", "minBuildNumberBeta", "minMessageLength",
                          "maxMessageLength", "maxAttachmentSize", "reasons", "frequencies",
                          "blockedOSBuilds", "knownIssues"}) {
    auto document = configDocument();
    document.erase(key);
    auto result = Config::fromJson(document.dump());
    ASSERT_FALSE(result) << key;
    EXPECT_EQ(result.error(),
              Error(Error::Kind::decoding, std::string(key) + ": required key is missing"));

    document[key] = nullptr;
    result = Config::fromJson(document.dump());
    ASSERT_FALSE(result) << key;
    EXPECT_EQ(result.error().description(), std::string(key) + ": required value is null");
  }
  for (const char* key : {"id", "affectedAppBuilds", "affectedOSBuilds", "message"}) {
    auto document = configDocument();
    document["knownIssues"][0].erase(key);
    const auto result = Config::fromJson(document.dump());
    ASSERT_FALSE(result) << key;
    EXPECT_EQ(result.error().description(),
              "knownIssues[0]." + std::string(key) + ": required key is missing");
  }
  for (const char* key : {"id", "name", "message"}) {
    auto document = configDocument();
    document["blockedOSBuilds"][0].erase(key);
    const auto result = Config::fromJson(document.dump());
    ASSERT_FALSE(result) << key;
    EXPECT_EQ(result.error().description(),
              "blockedOSBuilds[0]." + std::string(key) + ": required key is missing");
  }
}

TEST(ConfigTest, NestedFailuresNameTheirPath) {
  auto result = decodeWith("/reasons/1/crashLogs", "Required");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), Error(Error::Kind::decoding,
                                  R"(reasons[1].crashLogs: "Required" is not a valid value)"));

  result = decodeWith("/knownIssues/0/affectedAppBuilds/1", "311");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(),
            "knownIssues[0].affectedAppBuilds[1]: expected an integer, found a string");

  result = decodeWith("/knownIssues/0/affectedOSBuilds/0", 23);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(),
            "knownIssues[0].affectedOSBuilds[0]: expected a string, found a number");

  result = decodeWith("/frequencies/0", detail::Json::array());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "frequencies[0]: expected an object, found an array");

  result = decodeWith("/maxAttachmentSize", 1.5);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "maxAttachmentSize: number 1.5 is not a 64-bit integer");
}

TEST(ConfigTest, ExtraKeysAreIgnored) {
  auto document = configDocument();
  document["theme"] = "dark";
  document["reasons"][0]["icon"] = detail::Json::object();
  document["knownIssues"][0]["severity"] = 3;
  const auto config = Config::fromJson(document.dump());
  ASSERT_TRUE(config) << config.error().description();
  EXPECT_EQ(config.value(), Config::fromJson(kConfigJson).value());
}

TEST(ConfigTest, MinVersionIsOneString) {
  auto config = decodeWith("/minVersion", "4");
  ASSERT_TRUE(config) << config.error().description();
  EXPECT_EQ(config->minVersion, (AppVersion{4, 0, 0}));
  EXPECT_NE(config->toJson().value().find(R"("minVersion":"4.0.0")"), std::string::npos);

  config = decodeWith("/minVersion", "beta");
  ASSERT_FALSE(config);
  EXPECT_EQ(config.error(), Error(Error::Kind::decoding, "Invalid app version string"));

  config = decodeWith("/minVersion", detail::Json::parse(R"({"major":1,"minor":2,"patch":3})"));
  ASSERT_FALSE(config);
  EXPECT_EQ(config.error().description(), "minVersion: expected a string, found an object");

  config = decodeWith("/minVersion", 4);
  ASSERT_FALSE(config);
  EXPECT_EQ(config.error().description(), "minVersion: expected a string, found a number");
}

TEST(ConfigTest, RecordsCompareAndHashEveryField) {
  const KnownIssue issue{"bt", {1}, {"A"}, "m"};
  EXPECT_NE(issue, (KnownIssue{"bt", {1}, {"B"}, "m"}));
  EXPECT_NE(issue, (KnownIssue{"bt", {1, 2}, {"A"}, "m"}));
  EXPECT_NE(issue, (KnownIssue{"bt", {1}, {"A"}, "n"}));
  std::unordered_set<KnownIssue> issues{issue, issue, KnownIssue{"bt", {}, {"A"}, "m"}};
  EXPECT_EQ(issues.size(), 2u);

  const OSBuild build{"23B74", "Sonoma", "m"};
  EXPECT_NE(build, (OSBuild{"23B74", "Sonoma 14.1", "m"}));
  std::unordered_set<OSBuild> builds{build, build};
  EXPECT_EQ(builds.size(), 1u);

  Config config = Config::fromJson(kConfigJson).value();
  Config other = config;
  other.minBuildNumberBeta += 1;
  EXPECT_NE(config, other);
  other = config;
  std::swap(other.reasons[0], other.reasons[1]);
  EXPECT_NE(config, other);
}

TEST(AppVersionTest, ParsesByComponents) {
  struct Case {
    const char* text;
    AppVersion expected;
  };
  const Case cases[] = {
      {"1.2.3", {1, 2, 3}},
      {"1.x.3", {1, 0, 3}},
      {"2.1.0-beta", {2, 1, 0}},
      {"3", {3, 0, 0}},
      {"7.2.1.9", {7, 2, 1}},
      {"1..2", {1, 0, 2}},
      {"1.2", {1, 2, 0}},
      {"1.", {1, 0, 0}},
      {"+1.-2.+3", {1, -2, 3}},
      {"-4.0.0", {-4, 0, 0}},
      {"01.002.0003", {1, 2, 3}},
      {"1.2.3 ", {1, 2, 0}},
      {"1.99999999999999999999.3", {1, 0, 3}},
      {"9223372036854775807.0.1", {std::numeric_limits<std::int64_t>::max(), 0, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AppVersion::parse(c.text), c.expected) << c.text;
  }
  for (const char* text : {"", ".1", "a.1", "v1.2", " 1.2", "1 .2", "+", "-", "+-1", "1e3", "0x10",
                           "9223372036854775808", "Unknown", "\xD9\xA3"}) {
    EXPECT_EQ(AppVersion::parse(text), std::nullopt) << text;
  }
}

TEST(AppVersionTest, IntegerTextRule) {
  EXPECT_EQ(parseIntegerText("1234"), 1234);
  EXPECT_EQ(parseIntegerText("+7"), 7);
  EXPECT_EQ(parseIntegerText("-7"), -7);
  EXPECT_EQ(parseIntegerText("-0"), 0);
  EXPECT_EQ(parseIntegerText("0009"), 9);
  EXPECT_EQ(parseIntegerText("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parseIntegerText("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* text :
       {"", "+", "-", "++1", "--1", "+-1", " 1", "1 ", "1.2", "1,2", "1e3", "0x1F",
        "9223372036854775808", "-9223372036854775809", "99999999999999999999999", "١٢"}) {
    EXPECT_EQ(parseIntegerText(text), std::nullopt) << text;
  }
}

TEST(AppVersionTest, OrdersNumerically) {
  EXPECT_GT(version("1.10.0"), version("1.9.9"));
  EXPECT_LT(version("2.0.0"), version("10.0.0"));
  EXPECT_LT(version("1.2"), version("1.2.1"));
  EXPECT_GT(version("2"), version("1.99.99"));
  EXPECT_LE(version("1.2.3"), version("1.2.3"));
  EXPECT_GE(version("1.2.3"), version("1.2.3"));
  EXPECT_FALSE(version("1.2.3") < version("1.2.3"));
  EXPECT_EQ(version("1.2"), version("1.2.0"));
  EXPECT_NE(version("1.2.3"), version("1.3.2"));
  EXPECT_LT(version("-1"), version("0"));
}

TEST(AppVersionTest, DescriptionAndHash) {
  EXPECT_EQ((AppVersion{-1, 0, 12}).description(), "-1.0.12");
  EXPECT_EQ(std::hash<AppVersion>{}(version("1.2")), std::hash<AppVersion>{}(version("1.2.0")));
}

TEST(BundleTest, ReadsTheHostsVersionAndBuild) {
  platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
  EXPECT_EQ(appShortVersionString(), "2.4.1");
  EXPECT_EQ(appBuildNumber(), 310);
  const auto version = appVersion();
  ASSERT_TRUE(version) << version.error().description();
  EXPECT_EQ(version.value(), (AppVersion{2, 4, 1}));

  // Read on every call: a changed dictionary shows at once.
  platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", "3.0-rc1"}, {"CFBundleVersion", "+1234"}});
  EXPECT_EQ(appShortVersionString(), "3.0-rc1");
  EXPECT_EQ(appBuildNumber(), 1234);
  EXPECT_EQ(appVersion().value(), (AppVersion{3, 0, 0}));
}

TEST(BundleTest, BuildNumberIsMinusOneUnlessItIsAnIntegerText) {
  const std::vector<platform::InfoValue> values = {std::string("1.2"), std::string(""),
                                                   std::string(" 12"), std::string("12a"),
                                                   std::int64_t{310},  true};
  for (const auto& value : values) {
    platform::MainBundle::setInfoDictionary({{"CFBundleVersion", value}});
    EXPECT_EQ(appBuildNumber(), -1);
  }
  platform::MainBundle::setInfoDictionary({});
  EXPECT_EQ(appBuildNumber(), -1);
}

TEST(BundleTest, AVersionThatDoesNotParseIsAnErrorNotACrash) {
  platform::MainBundle::setInfoDictionary({});
  EXPECT_EQ(appShortVersionString(), "Unknown");
  auto version = appVersion();
  ASSERT_FALSE(version);
  EXPECT_EQ(version.error(), Error(Error::Kind::generic, "Invalid app version: Unknown"));

  platform::MainBundle::setInfoDictionary({{"CFBundleShortVersionString", std::int64_t{2}}});
  EXPECT_EQ(appShortVersionString(), "Unknown");

  platform::MainBundle::setInfoDictionary({{"CFBundleShortVersionString", "beta 2"}});
  version = appVersion();
  ASSERT_FALSE(version);
  EXPECT_EQ(version.error().description(), "Invalid app version: beta 2");
}

TEST(SystemIdentifierTest, OperatingSystemBuildCodeIsReadOnce) {
  const auto first = operatingSystemBuildCode();
  const auto second = operatingSystemBuildCode();
  EXPECT_EQ(detail::operatingSystemBuildCodeReadCount(), 1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, platform::SystemInfo::kernelOSVersion());
}

TEST(SystemIdentifierTest, HardwareModelIsValidOneLineText) {
  const std::string model = hardwareModelIdentifier();
  EXPECT_FALSE(model.empty());
  EXPECT_EQ(model, platform::removingControlCharacters(model));
  EXPECT_EQ(model, detail::replacingInvalidUtf8(model));
}

TEST(SystemIdentifierTest, InvalidUtf8IsReplaced) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(detail::replacingInvalidUtf8(""), "");
  EXPECT_EQ(detail::replacingInvalidUtf8("MacBookPro18,1"), "MacBookPro18,1");
  EXPECT_EQ(detail::replacingInvalidUtf8("caf\xC3\xA9 \xF0\x9F\x8E\xA7"),
            "caf\xC3\xA9 \xF0\x9F\x8E\xA7");
  EXPECT_EQ(detail::replacingInvalidUtf8("a\xFF"
                                         "b"),
            "a" + replacement + "b");
  EXPECT_EQ(detail::replacingInvalidUtf8("a\xE2\x82"), "a" + replacement);         // truncated
  EXPECT_EQ(detail::replacingInvalidUtf8("\xC0\xAF"), replacement + replacement);  // overlong
  EXPECT_EQ(detail::replacingInvalidUtf8("\xED\xA0\x80"),
            replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(detail::replacingInvalidUtf8("\xF4\x90\x80\x80"),
            replacement + replacement + replacement + replacement);  // beyond U+10FFFF
  EXPECT_EQ(detail::replacingInvalidUtf8("\xF0\x9F\x8E"
                                         "x"),
            replacement + "x");
}

}  // namespace
}  // namespace tessaline
