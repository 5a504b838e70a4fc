// The remote feedback and preferences records, and the Base64 coding of byte buffers.
#include <Tessaline/records/Base64.h>
#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/RemoteFeedback.h>
#include <Tessaline/records/detail/Json.h>

#include <gtest/gtest.h>

#include <random>
#include <unordered_set>

namespace tessaline {
namespace {

constexpr const char* kMinimalRemoteJson =
    R"({"id":"F-17","localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
    R"("reason":{"id":3,"title":"Idea","systemProfile":"notRequired","appLogs":"optional",)"
    R"("crashLogs":"notRequired"},"subject":"Dark mode","message":"Please add it."})";

constexpr const char* kFullRemoteJson =
    R"({"id":"F-17","localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
    R"("reason":{"id":3,"title":"Idea","systemProfile":"notRequired","appLogs":"optional",)"
    R"("crashLogs":"notRequired","requiresFrequency":false},"frequency":{"id":1,)"
    R"("title":"Always"},"subject":"Dark mode","name":"Ann","email":"ann@example.com",)"
    R"("message":"Please add it.","attachments":[{"id":"a1","name":"shot.png"}],)"
    R"("releaseTrain":"beta"})";

TEST(RemoteFeedbackTest, MinimalItemHasNoneForEveryOptionalField) {
  const auto item = RemoteFeedback::fromJson(kMinimalRemoteJson);
  ASSERT_TRUE(item) << item.error().description();
  EXPECT_EQ(item->id, "F-17");
  EXPECT_EQ(item->localId.uuidString(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(item->reason.title, "Idea");
  EXPECT_EQ(item->subject, "Dark mode");
  EXPECT_EQ(item->message, "Please add it.");
  EXPECT_FALSE(item->frequency);
  EXPECT_FALSE(item->name);
  EXPECT_FALSE(item->email);
  EXPECT_FALSE(item->attachments);
  EXPECT_FALSE(item->releaseTrain);
  // Exactly the five keys are written back.
  EXPECT_EQ(item->toJson().value(), kMinimalRemoteJson);
}

TEST(RemoteFeedbackTest, NullReadsAsNone) {
  auto document = detail::Json::parse(kMinimalRemoteJson);
  for (const char* key : {"frequency", "name", "email", "attachments", "releaseTrain"}) {
    document[key] = nullptr;
  }
  const auto item = RemoteFeedback::fromJson(document.dump());
  ASSERT_TRUE(item) << item.error().description();
  EXPECT_EQ(item.value(), RemoteFeedback::fromJson(kMinimalRemoteJson).value());
}

TEST(RemoteFeedbackTest, AnEmptyAttachmentListIsNotNone) {
  auto document = detail::Json::parse(kMinimalRemoteJson);
  document["attachments"] = detail::Json::array();
  const auto item = RemoteFeedback::fromJson(document.dump());
  ASSERT_TRUE(item) << item.error().description();
  ASSERT_TRUE(item->attachments);
  EXPECT_TRUE(item->attachments->empty());
  EXPECT_NE(item->toJson().value().find(R"("attachments":[])"), std::string::npos);
  EXPECT_NE(item.value(), RemoteFeedback::fromJson(kMinimalRemoteJson).value());
}

TEST(RemoteFeedbackTest, FullItemRoundTripsInKeyOrder) {
  const auto item = RemoteFeedback::fromJson(kFullRemoteJson);
  ASSERT_TRUE(item) << item.error().description();
  EXPECT_EQ(item->frequency, (Feedback::ReproductionFrequency{1, "Always"}));
  EXPECT_EQ(item->attachments, (std::vector<RemoteFeedback::Attachment>{{"a1", "shot.png"}}));
  EXPECT_EQ(item->toJson().value(), kFullRemoteJson);

  RemoteFeedback changed = item.value();
  changed.message = "Edited";
  changed.releaseTrain.reset();
  EXPECT_NE(changed, item.value());
  const auto again = RemoteFeedback::fromJson(changed.toJson().value());
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), changed);
  EXPECT_EQ(std::hash<RemoteFeedback>{}(again.value()), std::hash<RemoteFeedback>{}(changed));

  std::unordered_set<RemoteFeedback> set{item.value(), changed, again.value()};
  EXPECT_EQ(set.size(), 2u);
}

TEST(RemoteFeedbackTest, RequiredKeysAndNestedRecordsFail) {
  for (const char* key : {"id", "localId", "reason", "subject", "message"}) {
    auto document = detail::Json::parse(kMinimalRemoteJson);
    document.erase(key);
    const auto item = RemoteFeedback::fromJson(document.dump());
    ASSERT_FALSE(item) << key;
    EXPECT_EQ(item.error(),
              Error(Error::Kind::decoding, std::string(key) + ": required key is missing"));
  }
  auto document = detail::Json::parse(kMinimalRemoteJson);
  document["reason"]["appLogs"] = "sometimes";
  auto item = RemoteFeedback::fromJson(document.dump());
  ASSERT_FALSE(item);
  EXPECT_EQ(item.error().description(), R"(reason.appLogs: "sometimes" is not a valid value)");

  document = detail::Json::parse(kFullRemoteJson);
  document["attachments"][0].erase("name");
  item = RemoteFeedback::fromJson(document.dump());
  ASSERT_FALSE(item);
  EXPECT_EQ(item.error().description(), "attachments[0].name: required key is missing");

  document = detail::Json::parse(kFullRemoteJson);
  document["frequency"] = "Always";
  item = RemoteFeedback::fromJson(document.dump());
  ASSERT_FALSE(item);
  EXPECT_EQ(item.error().description(), "frequency: expected an object, found a string");
}

TEST(RemoteFeedbackTest, AttachmentCodesAlone) {
  const auto attachment = RemoteFeedback::Attachment::fromJson(R"({"name":"n","id":"i","x":1})");
  ASSERT_TRUE(attachment) << attachment.error().description();
  EXPECT_EQ(attachment.value(), (RemoteFeedback::Attachment{"i", "n"}));
  EXPECT_EQ(attachment->toJson().value(), R"({"id":"i","name":"n"})");
}

TEST(PreferencesDumpTest, BuffersTravelAsBase64) {
  const PreferencesDump dump(true, Bytes(std::string("\x00\xFF\x10", 3)), Bytes(), Bytes("plist"),
                             Bytes("alerts"));
  const auto json = dump.toJson();
  ASSERT_TRUE(json) << json.error().description();
  EXPECT_EQ(json.value(), R"({"isUsingCloud":true,"syncedDefaults":"AP8Q","appGroupDefaults":"",)"
                          R"("helperDefaults":"cGxpc3Q=","batteryAlerts":"YWxlcnRz"})");

  const auto decoded = PreferencesDump::fromJson(json.value());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_TRUE(decoded->isUsingCloud);
  EXPECT_EQ(decoded->syncedDefaults, dump.syncedDefaults);
  EXPECT_EQ(decoded->appGroupDefaults, Bytes());
  EXPECT_EQ(decoded->helperDefaults, Bytes("plist"));
  EXPECT_EQ(decoded->batteryAlerts, std::optional<Bytes>(Bytes("alerts")));
}

TEST(PreferencesDumpTest, BatteryAlertsAreOptional) {
  PreferencesDump dump(false, Bytes("a"), Bytes("b"), Bytes("c"));
  EXPECT_FALSE(dump.batteryAlerts);
  EXPECT_EQ(dump.toJson().value(),
            R"({"isUsingCloud":false,"syncedDefaults":"YQ==","appGroupDefaults":"Yg==",)"
            R"("helperDefaults":"Yw=="})");
  auto decoded = PreferencesDump::fromJson(dump.toJson().value());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_FALSE(decoded->batteryAlerts);

  dump.batteryAlerts = Bytes();  // present but empty
  decoded = PreferencesDump::fromJson(dump.toJson().value());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->batteryAlerts, std::optional<Bytes>(Bytes()));

  decoded = PreferencesDump::fromJson(
      R"({"isUsingCloud":false,"syncedDefaults":"","appGroupDefaults":"","helperDefaults":"",)"
      R"("batteryAlerts":null})");
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->batteryAlerts);
}

TEST(PreferencesDumpTest, RequiredKeysAndBadBase64Fail) {
  const auto valid = detail::Json::parse(
      R"({"isUsingCloud":false,"syncedDefaults":"","appGroupDefaults":"","helperDefaults":""})");
  for (const char* key : {"isUsingCloud", "syncedDefaults", "appGroupDefaults", "helperDefaults"}) {
    auto document = valid;
    document.erase(key);
    const auto decoded = PreferencesDump::fromJson(document.dump());
    ASSERT_FALSE(decoded) << key;
    EXPECT_EQ(decoded.error(),
              Error(Error::Kind::decoding, std::string(key) + ": required key is missing"));
  }
  struct Case {
    const char* key;
    detail::Json value;
    const char* error;
  };
  const Case cases[] = {
      {"syncedDefaults", "YQ=", "syncedDefaults: invalid Base64 string"},
      {"helperDefaults", "YQ==\n", "helperDefaults: invalid Base64 string"},
      {"batteryAlerts", "-_8=", "batteryAlerts: invalid Base64 string"},
      {"appGroupDefaults", detail::Json::array({1, 2}),
       "appGroupDefaults: expected a string, found an array"},
      {"isUsingCloud", 1, "isUsingCloud: expected a boolean, found a number"},
  };
  for (const auto& c : cases) {
    auto document = valid;
    document[c.key] = c.value;
    const auto decoded = PreferencesDump::fromJson(document.dump());
    ASSERT_FALSE(decoded) << c.key;
    EXPECT_EQ(decoded.error(), Error(Error::Kind::decoding, c.error));
  }
}

TEST(Base64Test, KnownVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(plain), encoded);
    EXPECT_EQ(base64Decode(encoded), std::optional<std::string>(plain));
  }
  EXPECT_EQ(base64Encode(std::string("\xFB\xFF\xBF", 3)), "+/+/");
  EXPECT_EQ(base64Decode("+/+/"), std::string("\xFB\xFF\xBF", 3));
}

TEST(Base64Test, RoundTripsEveryLength) {
  std::mt19937 random(42);
  for (std::size_t length = 0; length < 70; ++length) {
    std::string bytes(length, '\0');
    for (auto& byte : bytes) {
      byte = static_cast<char>(random() & 0xFF);
    }
    const std::string encoded = base64Encode(bytes);
    EXPECT_EQ(encoded.size() % 4, 0u);
    EXPECT_EQ(base64Decode(encoded), bytes) << encoded;
  }
}

TEST(Base64Test, DecodingIsStrict) {
  for (const char* text : {
           "Zg",          // padding missing
           "Zg=",         // padding short
           "Zg===",       // padding long
           "Z===",        // too much padding
           "====",        // padding only
           "=Zm9",        // padding first
           "Zg==Zg==",    // padding inside
           "Zm9v\n",      // line break
           " Zm9v",       // blank
           "Zm9 v",       // blank inside
           "Zm-v",        // URL-safe alphabet
           "Zm_v",        // URL-safe alphabet
           "Zm9v*A==",    // outside the alphabet
           "Zh==",        // unused bits set
           "Zm9=",        // unused bits set
           "Zm\xC3\xA9",  // not ASCII
       }) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(base64Decode(std::string("Zg=\0", 4)), std::nullopt);
}

}  // namespace
}  // namespace tessaline
