// The records' JSON coding (decided cases; arbitrary round trips are the fuzz targets' job), the
// version value, Base64, UTF-8 repair and query encoding under a single-byte locale.
#include <Tessaline/Url.h>
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/RemoteFeedback.h>
#include <Tessaline/records/ReportAttachment.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/records/detail/Utf8.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <functional>
#include <limits>
#include <unordered_set>

#include "ServiceConfig.h"
#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

using detail::Json;
using Reason = Feedback::Reason;
using Requirement = Feedback::Requirement;
using Message = Feedback::Message;
using namespace std::string_literals;

constexpr const char* kConfig =
    R"({"minVersion":"1.2.3","minBuildNumber":100,"minBuildNumberBeta":90,)"
    R"("minMessageLength":10,"maxMessageLength":5000,"maxAttachmentSize":9437184,)"
    R"("reasons":[{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
    R"("crashLogs":"required","requiresFrequency":true},{"id":2,"title":"Idea",)"
    R"("systemProfile":"notRequired","appLogs":"optional","crashLogs":"notRequired"}],)"
    R"("frequencies":[{"id":1,"title":"Always"}],)"
    R"("blockedOSBuilds":[{"id":"23A5257q","name":"Beta 1","message":"Closed."}],)"
    R"("knownIssues":[{"id":"bt","affectedAppBuilds":[310,311],"affectedOSBuilds":["23B74"],)"
    R"("message":"Bluetooth drops."}]})";

constexpr const char* kFeedback =
    R"({"localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","remoteId":"R1",)"
    R"("creationDate":700000000.5,"reason":{"id":1,"title":"Crash","systemProfile":"required",)"
    R"("appLogs":"optional","crashLogs":"notRequired"},"reproductionFrequency":{"id":2,)"
    R"("title":"Often"},"subject":"Hi","messages":[{"date":700000001.25,"sender":1,)"
    R"("body":"Body","attachments":["https://example.com/a.png"]}],)"
    R"("contactInformation":{"name":"Ann","email":"ann@example.com"}})";

constexpr const char* kMinimalFeedback =
    R"({"localId":"6f9619ff-8b86-d011-b42d-00c04fc964ff","creationDate":1,)"
    R"("reason":{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
    R"("crashLogs":"required"},"reproductionFrequency":{"id":2,"title":"Often"},"messages":[]})";

constexpr const char* kRemote =
    R"({"id":"F-17","localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
    R"("reason":{"id":3,"title":"Idea","systemProfile":"notRequired","appLogs":"optional",)"
    R"("crashLogs":"notRequired","requiresFrequency":false},"frequency":{"id":1,)"
    R"("title":"Always"},"subject":"Dark mode","name":"Ann","email":"ann@example.com",)"
    R"("message":"Please add it.","attachments":[{"id":"a1","name":"shot.png"}],)"
    R"("releaseTrain":"beta"})";

constexpr const char* kPreferences =
    R"({"isUsingCloud":true,"syncedDefaults":"AP8Q","appGroupDefaults":"",)"
    R"("helperDefaults":"cGxpc3Q=","batteryAlerts":"YWxlcnRz"})";

// The text with the value at a JSON pointer replaced (or removed, for "-").
std::string with(const std::string& text, const std::string& pointer, const std::string& value) {
  Json document = Json::parse(text);
  const Json::json_pointer at(pointer);
  if (value == "-") {
    document[at.parent_pointer()].erase(at.back());
  } else {
    document[at] = Json::parse(value);
  }
  return document.dump();
}

// The decoding error of a text, or "" when it decodes; an error of another kind shows as such.
template <class T>
std::string decodingError(const std::string& text) {
  const auto result = T::fromJson(text);
  if (result) {
    return "";
  }
  return result.error().kind() == Error::Kind::decoding ? result.error().description()
                                                        : "not a decoding error";
}

// How many keys a text gives, decoded twice, and the text changed at a pointer: equal records
// hash alike, and a changed field makes another key.
template <class T>
std::size_t keys(const std::string& text, const std::string& pointer, const std::string& value) {
  const std::unordered_set<T> set{T::fromJson(text).value(), T::fromJson(text).value(),
                                  T::fromJson(with(text, pointer, value)).value()};
  return set.size();
}

template <class T>
std::string roundTrip(const std::string& text) {
  return T::fromJson(text).value().toJson().value();
}

TEST(RecordsTest, DecidedTextsEncodeBackUnchanged) {
  EXPECT_EQ(roundTrip<Config>(kConfig), kConfig);
  EXPECT_EQ(roundTrip<Feedback>(kFeedback), kFeedback);
  EXPECT_EQ(roundTrip<RemoteFeedback>(kRemote), kRemote);
  EXPECT_EQ(roundTrip<PreferencesDump>(kPreferences), kPreferences);
  // Records that also stand alone.
  const std::string issue =
      R"({"id":"k","affectedAppBuilds":[3],"affectedOSBuilds":["6.1"],"message":"m"})";
  const std::string build = R"({"id":"6.1","name":"n","message":"m"})";
  const std::string contact = R"({"name":"A","email":"a@b.c"})";
  EXPECT_EQ(roundTrip<KnownIssue>(issue), issue);
  EXPECT_EQ(roundTrip<OSBuild>(build), build);
  EXPECT_EQ(roundTrip<Feedback::ContactInformation>(contact), contact);
  EXPECT_EQ(roundTrip<AppVersion>(R"("1.2.3")"), R"("1.2.3")");
  EXPECT_EQ(roundTrip<RemoteFeedback::Attachment>(R"({"id":"a","name":"n"})"),
            R"({"id":"a","name":"n"})");
  // Absent optional fields are neither required nor written; an upper-case UUID is written.
  EXPECT_EQ(roundTrip<Feedback>(kMinimalFeedback),
            R"({"localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","creationDate":1.0,)"
            R"("reason":{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
            R"("crashLogs":"required"},"reproductionFrequency":{"id":2,"title":"Often"},)"
            R"("messages":[]})");
  std::string minimalRemote = kRemote;
  for (const char* key : {"/frequency", "/email", "/attachments", "/releaseTrain"}) {
    minimalRemote = with(minimalRemote, key, "-");
  }
  EXPECT_EQ(Json::parse(roundTrip<RemoteFeedback>(with(minimalRemote, "/name", "null"))),
            Json::parse(with(minimalRemote, "/name", "-")))
      << "null reads as absent, and absent keys are not written";
  // An empty attachment list is not an absent one.
  EXPECT_NE(
      roundTrip<RemoteFeedback>(with(kRemote, "/attachments", "[]")).find(R"("attachments":[])"),
      std::string::npos);
  EXPECT_EQ(
      roundTrip<Config>(with(with(kConfig, "/theme", R"("dark")"), "/knownIssues/0/severity", "3")),
      kConfig)
      << "unknown keys are ignored";
  EXPECT_EQ(Reason::empty().toJson().value(),
            R"({"id":-1,"title":"Select","systemProfile":"notRequired",)"
            R"("appLogs":"notRequired","crashLogs":"notRequired","requiresFrequency":false})");
  const std::string noAlerts = with(kPreferences, "/batteryAlerts", "-");
  EXPECT_EQ(Json::parse(roundTrip<PreferencesDump>(noAlerts)), Json::parse(noAlerts));
  EXPECT_EQ(PreferencesDump::fromJson(with(kPreferences, "/batteryAlerts", R"("")"))->batteryAlerts,
            std::optional<Bytes>(Bytes()));
}

TEST(RecordsTest, EqualRecordsAreOneKeyAndAnyFieldMakesAnother) {
  const std::string message = Json::parse(kFeedback)["messages"][0].dump();
  EXPECT_EQ(keys<Config>(kConfig, "/knownIssues/0/affectedOSBuilds/0", R"("X")"), 2u);
  EXPECT_EQ(keys<Config>(kConfig, "/blockedOSBuilds/0/name", R"("X")"), 2u);
  EXPECT_EQ(keys<Feedback>(kFeedback, "/contactInformation/email", R"("x")"), 2u);
  EXPECT_EQ(
      keys<Feedback::ReproductionFrequency>(R"({"id":2,"title":"Often"})", "/title", R"("x")"), 2u);
  EXPECT_EQ(keys<Message>(message, "/attachments/0", R"("https://example.com/b.png")"), 2u);
  EXPECT_EQ(Json::parse(roundTrip<Message>(message)), Json::parse(message));
  EXPECT_EQ(keys<RemoteFeedback>(kRemote, "/attachments/0/id", R"("x")"), 2u);
  EXPECT_EQ(keys<RemoteFeedback::Attachment>(R"({"id":"i","name":"n","x":1})", "/name", R"("m")"),
            2u);
}

TEST(RecordsTest, BadTextsAreRefusedWithTheirPath) {
  using Decode = std::function<std::string(const std::string&)>;
  const Decode config = decodingError<Config>;
  const Decode feedback = decodingError<Feedback>;
  const Decode remote = decodingError<RemoteFeedback>;
  const Decode reason = decodingError<Reason>;
  const Decode message = decodingError<Message>;
  const Decode preferences = decodingError<PreferencesDump>;
  const std::string aReason = Json::parse(kConfig)["reasons"][0].dump();
  const std::string aMessage = R"({"date":0,"sender":0,"body":"","attachments":[]})";
  struct Case {
    Decode decode;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {config, with(kConfig, "/minBuildNumberBeta", "-"),
       "minBuildNumberBeta: required key is missing"},
      {config, with(kConfig, "/knownIssues", "null"), "knownIssues: required value is null"},
      {config, with(kConfig, "/knownIssues/0/affectedOSBuilds", "-"),
       "knownIssues[0].affectedOSBuilds: required key is missing"},
      {config, with(kConfig, "/reasons/1/crashLogs", R"("Required")"),
       R"(reasons[1].crashLogs: "Required" is not a valid value)"},
      {config, with(kConfig, "/knownIssues/0/affectedAppBuilds/1", R"("311")"),
       "knownIssues[0].affectedAppBuilds[1]: expected an integer, found a string"},
      {config, with(kConfig, "/frequencies/0", "[]"),
       "frequencies[0]: expected an object, found an array"},
      {config, with(kConfig, "/maxAttachmentSize", "1.5"),
       "maxAttachmentSize: number 1.5 is not a 64-bit integer"},
      {config, with(kConfig, "/minVersion", R"("beta")"), "Invalid app version string"},
      {config, with(kConfig, "/minVersion", R"({"major":1})"),
       "minVersion: expected a string, found an object"},
      {feedback, with(kMinimalFeedback, "/messages/-", R"({"date":2,"sender":0,"body":"b"})"),
       "messages[0].attachments: required key is missing"},
      {feedback, with(kMinimalFeedback, "/contactInformation", R"({"name":"Ann"})"),
       "contactInformation.email: required key is missing"},
      {feedback, with(kMinimalFeedback, "/localId", R"("6F9619F-F8B86-D011-B42D-00C04FC964FF")"),
       "localId: invalid UUID string"},
      {feedback, with(kMinimalFeedback, "/creationDate", R"("2024-01-01")"),
       "creationDate: expected a number, found a string"},
      {feedback, with(kMinimalFeedback, "/subject", "false"),
       "subject: expected a string, found a boolean"},
      {feedback, "[]", "expected an object, found an array"},
      {feedback, kMinimalFeedback + "\0{}"s,
       "The given data was not valid JSON: it holds a NUL byte at offset 235"},
      {decodingError<KnownIssue>, "{}", "id: required key is missing"},
      {decodingError<OSBuild>, "{}", "id: required key is missing"},
      {decodingError<Feedback::ContactInformation>, "{}", "name: required key is missing"},
      {decodingError<AppVersion>, "{}", "expected a string, found an object"},
      {decodingError<server::ServiceConfig>, "{}\0{}"s,
       "not a valid JSON document: it holds a NUL byte"},
      {reason, with(aReason, "/id", "9223372036854775808"),
       "id: number 9223372036854775808 does not fit in a 64-bit integer"},
      {reason, with(aReason, "/id", "1e19"), "id: number 1e+19 is not a 64-bit integer"},
      {reason, with(aReason, "/requiresFrequency", "0"),
       "requiresFrequency: expected a boolean, found a number"},
      {reason, with(aReason, "/appLogs", R"("notrequired")"),
       R"(appLogs: "notrequired" is not a valid value)"},
      {reason, with(aReason, "/id", "9007199254740993.0"),
       "id: number 9.007199254740992e+15 is not a 64-bit integer"},
      {reason, with(aReason, "/id", "-9223372036854775809"),
       "id: number -9.223372036854776e+18 is not a 64-bit integer"},
      {reason, with(aReason, "/id", "9007199254740991.0"), ""},
      {reason, with(aReason, "/id", "3.0"), ""},
      {reason, with(aReason, "/id", "-9223372036854775808"), ""},
      {message, with(aMessage, "/sender", "2"), "sender: 2 is not a valid value"},
      {message, with(aMessage, "/attachments", R"(["file:///tmp/a%20b.txt","x"])"),
       "attachments[1]: invalid URL string"},
      {remote, with(kRemote, "/attachments/0/name", "-"),
       "attachments[0].name: required key is missing"},
      {preferences, with(kPreferences, "/syncedDefaults", R"("YQ=")"),
       "syncedDefaults: invalid Base64 string"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.decode(c.text), c.error) << c.text;
  }
}

TEST(RecordsTest, TextThatCannotBeJsonFailsToEncode) {
  Feedback feedback = Feedback::fromJson(kFeedback).value();
  feedback.creationDate = Date{std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(feedback.toJson().error().kind(), Error::Kind::encoding);
  feedback = Feedback::fromJson(kFeedback).value();
  feedback.messages[0].body = "caf\xC3";  // cut inside a character
  EXPECT_EQ(feedback.toJson().error().kind(), Error::Kind::encoding);
  feedback.messages[0].body = "first line\nsecond \"line\"";
  EXPECT_EQ(feedback.toJson().value().find('\n'), std::string::npos);
  const std::string text = feedback.description();
  EXPECT_EQ(text.find('\n'), std::string::npos) << "the description is one line";
  EXPECT_NE(text.find(R"("first line\nsecond \"line\"")"), std::string::npos) << text;
  EXPECT_NE(Feedback().description().find("contactInformation: nil"), std::string::npos);
}

TEST(RecordsTest, FreshReportsHaveTheirOwnIdentityAndThePlaceholders) {
  const Feedback first;
  const Feedback second;
  EXPECT_NE(first.localId, second.localId);
  EXPECT_EQ(first.reproductionFrequency.toJson().value(), R"({"id":-1,"title":"Select"})");
  EXPECT_GT(first.creationDate.timeIntervalSinceReferenceDate, 7e8);
  const std::string uuid = first.localId.uuidString();
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_EQ(uuid[14], '4') << "a version 4 identifier";
  EXPECT_EQ(uuid.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << uuid;
  EXPECT_FALSE(Uuid::parse(uuid + "0"));
}

TEST(RecordsTest, AttachmentsCompareByCaseAndBytes) {
  const auto url = Url::fileURL("/tmp/report.txt");
  const ReportAttachment file("report", ReportAttachment::file(url), "txt");
  const ReportAttachment payload("report", ReportAttachment::payload(Bytes(url.absoluteString())),
                                 "txt");
  ASSERT_NE(file.fileURL(), nullptr);
  EXPECT_EQ(file.payloadBytes(), nullptr);
  const auto bytes = [](const std::string& text) {
    return ReportAttachment("log", ReportAttachment::payload(Bytes(text)), "zip");
  };
  const std::unordered_set<ReportAttachment> set{file, payload, bytes(std::string("a\0b", 3)),
                                                 bytes(std::string("a\0b", 3)), bytes("a")};
  EXPECT_EQ(set.size(), 4u);
}

TEST(AppVersionTest, ParsesByComponentsAndOrdersNumerically) {
  const std::pair<const char*, AppVersion> parsed[] = {
      {"1.2.3", {1, 2, 3}},
      {"2.1.0-beta", {2, 1, 0}},
      {"3", {3, 0, 0}},
      {"7.2.1.9", {7, 2, 1}},
      {"1..2", {1, 0, 2}},
      {"+1.-2.+3", {1, -2, 3}},
      {"01.002.0003", {1, 2, 3}},
      {"1.99999999999999999999.3", {1, 0, 3}},
      {"9223372036854775807.0.1", {INT64_MAX, 0, 1}}};
  for (const auto& [text, expected] : parsed) {
    EXPECT_EQ(AppVersion::parse(text), expected) << text;
  }
  for (const char* text : {"", ".1", "a.1", "v1.2", " 1.2", "+", "+-1", "1e3", "0x10",
                           "9223372036854775808", "Unknown", "\xD9\xA3"}) {
    EXPECT_EQ(AppVersion::parse(text), std::nullopt) << text;
  }
  EXPECT_GT(*AppVersion::parse("1.10.0"), *AppVersion::parse("1.9.9"));
  EXPECT_LT(*AppVersion::parse("1.2"), *AppVersion::parse("1.2.1"));
  EXPECT_EQ((AppVersion{-1, 0, 12}).description(), "-1.0.12");
  EXPECT_EQ(std::unordered_set<AppVersion>({{1, 2, 0}, *AppVersion::parse("1.2")}).size(), 1u);

  const std::pair<const char*, std::int64_t> integers[] = {
      {"+7", 7}, {"-0", 0}, {"0009", 9}, {"-9223372036854775808", INT64_MIN}};
  EXPECT_EQ(parseIntegerText("-9223372036854775809"), std::nullopt);
  for (const auto& [text, expected] : integers) {
    EXPECT_EQ(parseIntegerText(text), expected) << text;
  }
  for (const char* text : {"", "-", "--1", " 1", "1 ", "1.2", "9223372036854775808", "١٢"}) {
    EXPECT_EQ(parseIntegerText(text), std::nullopt) << text;
  }
}

TEST(Utf8Test, InvalidSequencesAreReplaced) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xC3\xA9 \xF0\x9F\x8E\xA7", "caf\xC3\xA9 \xF0\x9F\x8E\xA7"},
      {"a\xFF-", "a" + r + "-"},
      {"a\xE2\x82", "a" + r},               // truncated
      {"\xC0\xAF", r + r},                  // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
      {"\xF0\x9F\x8Ex", r + "x"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(detail::replacingInvalidUtf8(text), expected) << text;
  }
}

TEST(Base64Test, KnownVectorsAndStrictDecoding) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\xFB\xFF\xBF", 3), "+/+/"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(plain), encoded);
    EXPECT_EQ(base64Decode(encoded), plain);
  }
  for (const std::string text : {"Zg", "Zg=", "Zg===", "====", "=Zm9", "Zg==Zg==", "Zm9v\n",
                                 " Zm9v", "Zm-v", "Zm_v", "Zh==", "Zm9=", "Zm\xC3\xA9"}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(base64Decode(std::string("Zg=\0", 4)), std::nullopt);
}

TEST(QueryEncodingTest, KeepsOnlyAsciiUnderASingleByteLocale) {
  testing::TemporaryDirectory locales;
  const auto command = "localedef -i en_US -f ISO-8859-1 '" + locales.path().string() +
                       "/en_US.ISO-8859-1' >/dev/null 2>&1";
  ::setenv("LOCPATH", locales.path().c_str(), 1);
  if (std::system(command.c_str()) != 0 || std::setlocale(LC_ALL, "en_US.ISO-8859-1") == nullptr) {
    GTEST_SKIP() << "an ISO-8859-1 locale cannot be made here (localedef and the locales package)";
  }
  const auto encoded = percentEncodeQueryValue("f\xC3\xA9 x+y~");
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(encoded, "f%C3%A9%20x%2By~");
}

}  // namespace
}  // namespace tessaline
