// The feedback record, its nested records, the report attachment and the shared JSON coding.
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/ReportAttachment.h>
#include <Tessaline/records/detail/Json.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

namespace tessaline {
namespace {

using Reason = Feedback::Reason;
using Requirement = Feedback::Requirement;
using Message = Feedback::Message;

Feedback sampleFeedback() {
  Feedback feedback;
  feedback.localId = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  feedback.remoteId = "R1";
  feedback.creationDate = Date{700000000.5};
  feedback.reason = Reason{
      1,           "Crash", Requirement::required, Requirement::optional, Requirement::notRequired,
      std::nullopt};
  feedback.reproductionFrequency = {2, "Often"};
  feedback.subject = "Hi";
  feedback.messages = {
      Message{Date{700000001.25},
              Message::Sender::support,
              "Body",
              {*Url::parse("https://example.com/a.png")}},
  };
  feedback.contactInformation = Feedback::ContactInformation{"Ann", "ann@example.com"};
  return feedback;
}

constexpr const char* kSampleFeedbackJson =
    R"({"localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","remoteId":"R1",)"
    R"("creationDate":700000000.5,"reason":{"id":1,"title":"Crash","systemProfile":"required",)"
    R"("appLogs":"optional","crashLogs":"notRequired"},"reproductionFrequency":{"id":2,)"
    R"("title":"Often"},"subject":"Hi","messages":[{"date":700000001.25,"sender":1,)"
    R"("body":"Body","attachments":["https://example.com/a.png"]}],)"
    R"("contactInformation":{"name":"Ann","email":"ann@example.com"}})";

constexpr const char* kMinimalFeedbackJson =
    R"({"localId":"6f9619ff-8b86-d011-b42d-00c04fc964ff","creationDate":1,)"
    R"("reason":{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
    R"("crashLogs":"required"},"reproductionFrequency":{"id":2,"title":"Often"},"messages":[]})";

// A reason object with one key replaced (or removed when value is empty).
std::string reasonJson(const std::string& key, const std::string& value) {
  detail::Json reason = detail::Json::parse(
      R"({"id":1,"title":"Crash","systemProfile":"required","appLogs":"optional",)"
      R"("crashLogs":"notRequired","requiresFrequency":true})");
  if (value.empty()) {
    reason.erase(key);
  } else {
    reason[key] = detail::Json::parse(value);
  }
  return reason.dump();
}

TEST(FeedbackTest, NewReportsHaveTheirOwnIdentityAndThePlaceholderChoices) {
  const Feedback first;
  const Feedback second;
  EXPECT_NE(first.localId, second.localId);
  EXPECT_EQ(first.id(), first.localId);
  EXPECT_EQ(first.reason, Reason::empty());
  EXPECT_EQ(first.reason, second.reason);
  EXPECT_EQ(first.reproductionFrequency, Feedback::ReproductionFrequency::empty());
  EXPECT_EQ(first.reproductionFrequency, second.reproductionFrequency);
  EXPECT_EQ(first.reproductionFrequency.toJson().value(), R"({"id":-1,"title":"Select"})");
  EXPECT_TRUE(first.messages.empty());
  EXPECT_FALSE(first.remoteId || first.subject || first.contactInformation);
  // Created now: well after the reference date of 2001.
  EXPECT_GT(first.creationDate.timeIntervalSinceReferenceDate, 7e8);
  EXPECT_EQ(Feedback::maxAttachmentSize, 9437184);
}

TEST(FeedbackTest, EncodesEveryFieldInTableOrder) {
  const auto json = sampleFeedback().toJson();
  ASSERT_TRUE(json) << json.error().description();
  EXPECT_EQ(json.value(), kSampleFeedbackJson);
}

TEST(FeedbackTest, RoundTripsThroughJson) {
  const Feedback original = sampleFeedback();
  const auto decoded = Feedback::fromJson(original.toJson().value());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded.value(), original);
  EXPECT_EQ(std::hash<Feedback>{}(decoded.value()), std::hash<Feedback>{}(original));

  const Feedback fresh;
  EXPECT_EQ(Feedback::fromJson(fresh.toJson().value()).value(), fresh);
}

TEST(FeedbackTest, OptionalFieldsAreNeitherRequiredNorWrittenWhenAbsent) {
  const auto decoded = Feedback::fromJson(kMinimalFeedbackJson);
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_FALSE(decoded->remoteId);
  EXPECT_FALSE(decoded->subject);
  EXPECT_FALSE(decoded->contactInformation);
  EXPECT_FALSE(decoded->reason.requiresFrequency);
  // Lower-case UUID text is read and written back in upper case.
  EXPECT_EQ(decoded->localId.uuidString(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(decoded->toJson().value(),
            R"({"localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","creationDate":1.0,)"
            R"("reason":{"id":1,"title":"Crash","systemProfile":"required","appLogs":"required",)"
            R"("crashLogs":"required"},"reproductionFrequency":{"id":2,"title":"Often"},)"
            R"("messages":[]})");

  // Null reads as none, too.
  auto withNulls = detail::Json::parse(kMinimalFeedbackJson);
  withNulls["remoteId"] = nullptr;
  withNulls["subject"] = nullptr;
  withNulls["contactInformation"] = nullptr;
  const auto nulls = Feedback::fromJson(withNulls.dump());
  ASSERT_TRUE(nulls) << nulls.error().description();
  EXPECT_EQ(nulls.value(), decoded.value());
}

TEST(FeedbackTest, MissingOrNullRequiredKeysFailWithTheirPath) {
  auto document = detail::Json::parse(kMinimalFeedbackJson);
  document.erase("messages");
  auto result = Feedback::fromJson(document.dump());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), Error(Error::Kind::decoding, "messages: required key is missing"));

  document["messages"] = nullptr;
  result = Feedback::fromJson(document.dump());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), Error(Error::Kind::decoding, "messages: required value is null"));

  document = detail::Json::parse(kMinimalFeedbackJson);
  document["messages"] = detail::Json::parse(
      R"([{"date":1,"sender":0,"body":"a","attachments":[]},{"date":2,"sender":0,"body":"b"}])");
  result = Feedback::fromJson(document.dump());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "messages[1].attachments: required key is missing");

  document = detail::Json::parse(kMinimalFeedbackJson);
  document["contactInformation"] = detail::Json::parse(R"({"name":"Ann"})");
  result = Feedback::fromJson(document.dump());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "contactInformation.email: required key is missing");
}

TEST(FeedbackTest, ValueFormsAreChecked) {
  struct Case {
    const char* key;
    const char* value;
    const char* error;
  };
  const Case cases[] = {
      {"localId", R"("6F9619FF8B86D011B42D00C04FC964FF")", "localId: invalid UUID string"},
      {"localId", R"("{6F9619FF-8B86-D011-B42D-00C04FC964FF}")", "localId: invalid UUID string"},
      {"localId", R"("6F9619FF-8B86-D011-B42D-00C04FC964FG")", "localId: invalid UUID string"},
      {"localId", R"("6F9619F-F8B86-D011-B42D-00C04FC964FF")", "localId: invalid UUID string"},
      {"localId", "7", "localId: expected a string, found a number"},
      {"creationDate", R"("2024-01-01")", "creationDate: expected a number, found a string"},
      {"subject", "false", "subject: expected a string, found a boolean"},
      {"messages", "{}", "messages: expected an array, found an object"},
      {"reason", "[]", "reason: expected an object, found an array"},
  };
  for (const auto& c : cases) {
    auto document = detail::Json::parse(kMinimalFeedbackJson);
    document[c.key] = detail::Json::parse(c.value);
    const auto result = Feedback::fromJson(document.dump());
    ASSERT_FALSE(result) << c.key << " = " << c.value;
    EXPECT_EQ(result.error(), Error(Error::Kind::decoding, c.error));
  }
}

TEST(FeedbackTest, DatesRoundTripExactly) {
  const double values[] = {0.0,
                           -1.5,
                           0.1,
                           700000000.123456789,
                           std::nextafter(700000000.0, 1e10),
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max()};
  for (const double value : values) {
    Message message{Date{value}, Message::Sender::user, "", {}};
    const auto decoded = Message::fromJson(message.toJson().value());
    ASSERT_TRUE(decoded) << decoded.error().description();
    EXPECT_EQ(decoded->date.timeIntervalSinceReferenceDate, value);
  }
}

TEST(FeedbackTest, NonFiniteDatesAndInvalidTextFailToEncode) {
  Feedback feedback = sampleFeedback();
  feedback.creationDate = Date{std::numeric_limits<double>::quiet_NaN()};
  auto json = feedback.toJson();
  ASSERT_FALSE(json);
  EXPECT_EQ(json.error().kind(), Error::Kind::encoding);

  feedback = sampleFeedback();
  feedback.messages[0].body = "caf\xC3";  // cut in the middle of a character
  json = feedback.toJson();
  ASSERT_FALSE(json);
  EXPECT_EQ(json.error().kind(), Error::Kind::encoding);

  feedback.messages[0].body = "caf\xC3\xA9 \xF0\x9F\x8E\xA7";
  json = feedback.toJson();
  ASSERT_TRUE(json) << json.error().description();
  EXPECT_EQ(Feedback::fromJson(json.value()).value(), feedback);
}

TEST(FeedbackTest, TextThatIsNotJsonFailsToDecode) {
  for (const char* text : {"", "{", "nul", "{\"localId\":}", "{} {}", "\"caf\xC3\""}) {
    const auto result = Feedback::fromJson(text);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().kind(), Error::Kind::decoding) << text;
  }
  const auto array = Feedback::fromJson("[]");
  ASSERT_FALSE(array);
  EXPECT_EQ(array.error(), Error(Error::Kind::decoding, "expected an object, found an array"));
}

TEST(ReasonTest, RequiresFrequencyIsOptional) {
  for (const auto& json :
       {reasonJson("requiresFrequency", ""), reasonJson("requiresFrequency", "null")}) {
    const auto reason = Reason::fromJson(json);
    ASSERT_TRUE(reason) << reason.error().description();
    EXPECT_FALSE(reason->requiresFrequency);
    EXPECT_EQ(reason->toJson().value(),
              R"({"id":1,"title":"Crash","systemProfile":"required","appLogs":"optional",)"
              R"("crashLogs":"notRequired"})");
  }
  EXPECT_EQ(Reason::empty().toJson().value(),
            R"({"id":-1,"title":"Select","systemProfile":"notRequired",)"
            R"("appLogs":"notRequired","crashLogs":"notRequired","requiresFrequency":false})");
  EXPECT_EQ(Reason::fromJson(reasonJson("requiresFrequency", "false"))->requiresFrequency,
            std::optional<bool>(false));
}

TEST(ReasonTest, RequirementsAreCaseSensitiveRawValues) {
  EXPECT_EQ(Feedback::requirementFromRawValue("required"), Requirement::required);
  EXPECT_EQ(Feedback::requirementFromRawValue("optional"), Requirement::optional);
  EXPECT_EQ(Feedback::requirementFromRawValue("notRequired"), Requirement::notRequired);
  EXPECT_EQ(Feedback::requirementFromRawValue("Required"), std::nullopt);
  EXPECT_EQ(Feedback::requirementFromRawValue("notrequired"), std::nullopt);
  EXPECT_EQ(Feedback::requirementFromRawValue(""), std::nullopt);
  for (const auto requirement :
       {Requirement::optional, Requirement::required, Requirement::notRequired}) {
    EXPECT_EQ(Feedback::requirementFromRawValue(Feedback::rawValue(requirement)), requirement);
  }

  const auto result = Reason::fromJson(reasonJson("crashLogs", R"("Required")"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            Error(Error::Kind::decoding, R"(crashLogs: "Required" is not a valid value)"));
}

TEST(ReasonTest, ValuesHaveExactJsonTypes) {
  struct Case {
    const char* key;
    const char* value;
    const char* error;
  };
  const Case cases[] = {
      {"id", "1.5", "id: number 1.5 is not a 64-bit integer"},
      {"id", R"("1")", "id: expected an integer, found a string"},
      {"id", "true", "id: expected an integer, found a boolean"},
      {"id", "9223372036854775808",
       "id: number 9223372036854775808 does not fit in a 64-bit integer"},
      {"id", "1e19", "id: number 1e+19 is not a 64-bit integer"},
      {"title", "5", "title: expected a string, found a number"},
      {"title", "null", "title: required value is null"},
      {"requiresFrequency", "1", "requiresFrequency: expected a boolean, found a number"},
      {"requiresFrequency", "0", "requiresFrequency: expected a boolean, found a number"},
      {"requiresFrequency", R"("true")", "requiresFrequency: expected a boolean, found a string"},
      {"systemProfile", "1", "systemProfile: expected a string, found a number"},
  };
  for (const auto& c : cases) {
    const auto result = Reason::fromJson(reasonJson(c.key, c.value));
    ASSERT_FALSE(result) << c.key << " = " << c.value;
    EXPECT_EQ(result.error(), Error(Error::Kind::decoding, c.error));
  }
  // The extreme integers, and a whole number written with a fraction, are integers.
  EXPECT_EQ(Reason::fromJson(reasonJson("id", "-9223372036854775808"))->id,
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Reason::fromJson(reasonJson("id", "9223372036854775807"))->id,
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Reason::fromJson(reasonJson("id", "3.0"))->id, 3);
}

TEST(ReasonTest, UnknownKeysAreIgnored) {
  const auto reason = Reason::fromJson(reasonJson("colour", R"({"deep":[1,2,null]})"));
  ASSERT_TRUE(reason) << reason.error().description();
  EXPECT_EQ(reason->title, "Crash");
}

TEST(ReasonTest, EqualityAndHashingCoverEveryField) {
  const Reason reason = Reason::fromJson(reasonJson("id", "1")).value();
  Reason other = reason;
  EXPECT_EQ(reason, other);
  EXPECT_EQ(std::hash<Reason>{}(reason), std::hash<Reason>{}(other));
  other.appLogs = Requirement::required;
  EXPECT_NE(reason, other);
  other = reason;
  other.requiresFrequency.reset();
  EXPECT_NE(reason, other);

  std::unordered_set<Reason> set{reason, other, reason};
  EXPECT_EQ(set.size(), 2u);
}

TEST(MessageTest, SenderTravelsAsItsInteger) {
  EXPECT_EQ(Message::senderFromRawValue(0), Message::Sender::user);
  EXPECT_EQ(Message::senderFromRawValue(1), Message::Sender::support);
  EXPECT_EQ(Message::senderFromRawValue(2), std::nullopt);
  EXPECT_EQ(Message::senderFromRawValue(-1), std::nullopt);

  const auto user = Message::fromJson(R"({"date":0,"sender":0,"body":"","attachments":[]})");
  ASSERT_TRUE(user) << user.error().description();
  EXPECT_EQ(user->sender, Message::Sender::user);

  const auto two = Message::fromJson(R"({"date":0,"sender":2,"body":"","attachments":[]})");
  ASSERT_FALSE(two);
  EXPECT_EQ(two.error(), Error(Error::Kind::decoding, "sender: 2 is not a valid value"));

  const auto text = Message::fromJson(R"({"date":0,"sender":"user","body":"","attachments":[]})");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().description(), "sender: expected an integer, found a string");
}

TEST(MessageTest, AttachmentsAreAbsoluteUrls) {
  const auto message = Message::fromJson(
      R"({"date":0,"sender":1,"body":"b","attachments":["file:///tmp/a%20b.txt","https://x/y"]})");
  ASSERT_TRUE(message) << message.error().description();
  ASSERT_EQ(message->attachments.size(), 2u);
  EXPECT_EQ(message->attachments[0].path(), "/tmp/a b.txt");

  const auto relative =
      Message::fromJson(R"({"date":0,"sender":1,"body":"b","attachments":["x","a/b.txt"]})");
  ASSERT_FALSE(relative);
  EXPECT_EQ(relative.error().description(), "attachments[0]: invalid URL string");
}

TEST(FeedbackTest, DescriptionIsOneReadableLine) {
  Feedback feedback = sampleFeedback();
  feedback.messages[0].body = "first line\nsecond \"line\"";
  const std::string text = feedback.description();
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_NE(text.find("6F9619FF-8B86-D011-B42D-00C04FC964FF"), std::string::npos);
  EXPECT_NE(text.find(R"("first line\nsecond \"line\"")"), std::string::npos);
  EXPECT_NE(text.find("title: \"Crash\""), std::string::npos);
  EXPECT_NE(text.find("ann@example.com"), std::string::npos);
  EXPECT_NE(Feedback().description().find("contactInformation: nil"), std::string::npos);
}

TEST(ReportAttachmentTest, EqualityCoversTheCaseAndThePayload) {
  const auto url = Url::fileURL("/tmp/report.txt");
  const ReportAttachment file("report", ReportAttachment::file(url), "txt");
  const ReportAttachment payload("report", ReportAttachment::payload(Bytes(url.absoluteString())),
                                 "txt");
  EXPECT_NE(file, payload);
  ASSERT_NE(file.fileURL(), nullptr);
  EXPECT_EQ(*file.fileURL(), url);
  EXPECT_EQ(file.payloadBytes(), nullptr);

  // Separate buffers with the same bytes are equal, and hash alike.
  const ReportAttachment first("log", ReportAttachment::payload(Bytes(std::string("a\0b", 3))),
                               "zip");
  const ReportAttachment second("log", ReportAttachment::payload(Bytes(std::string("a\0b", 3))),
                                "zip");
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::hash<ReportAttachment>{}(first), std::hash<ReportAttachment>{}(second));
  EXPECT_NE(first, ReportAttachment("log", ReportAttachment::payload(Bytes("a")), "zip"));
  EXPECT_NE(first, ReportAttachment("log", first.contents, "txt"));
  EXPECT_NE(first, ReportAttachment("log2", first.contents, "zip"));

  std::unordered_set<ReportAttachment> set{file, payload, first, second};
  EXPECT_EQ(set.size(), 3u);
}

TEST(UuidTest, TextForm) {
  const Uuid random = Uuid::random();
  const std::string text = random.uuidString();
  ASSERT_EQ(text.size(), 36u);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(text[i], '-');
    } else {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i])) ||
                  (text[i] >= 'A' && text[i] <= 'F'))
          << text;
    }
  }
  EXPECT_EQ(Uuid::parse(text), random);
  // A version 4 identifier.
  EXPECT_EQ(text[14], '4');
  EXPECT_FALSE(Uuid::parse(""));
  EXPECT_FALSE(Uuid::parse(text + "0"));
  EXPECT_FALSE(Uuid::parse(text.substr(1)));
}

}  // namespace
}  // namespace tessaline
