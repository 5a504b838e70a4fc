// Decoders and encoders that must not read more, less or otherwise than the bytes say: NUL bytes,
// integers a double cannot hold, the standalone record codings, and query encoding under a
// single-byte locale.

#include <Tessaline/Url.h>
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>
#include <Tessaline/service/UpdateCheckResponse.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "ServiceConfig.h"
#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

using namespace std::string_literals;

struct NulCase {
  const char* name;
  std::string document;  // accepted as it is
  std::function<bool(const std::string&)> accepts;
};

class NulByteTest : public ::testing::TestWithParam<NulCase> {};

TEST_P(NulByteTest, ADocumentHoldingANulByteIsRefused) {
  ASSERT_TRUE(GetParam().accepts(GetParam().document));
  EXPECT_FALSE(GetParam().accepts(GetParam().document + "\0{\"id\":\"evil\"}"s));
}

INSTANTIATE_TEST_SUITE_P(
    EveryDecoder, NulByteTest,
    ::testing::Values(NulCase{"submissionResponse", R"({"id":"x1"})",
                              [](const std::string& text) {
                                return FeedbackSubmissionResponse::fromJson(text).ok();
                              }},
                      NulCase{"serviceConfiguration",
                              R"({"form":)" + testing::acceptingConfig().toJson().value() +
                                  R"(,"trains":{}})",
                              [](const std::string& text) {
                                return server::ServiceConfig::fromJson(text).ok();
                              }}),
    [](const auto& info) { return std::string(info.param.name); });

struct IntegerCase {
  const char* written;
  std::optional<std::int64_t> read;  // nothing: refused
};

void PrintTo(const IntegerCase& c, std::ostream* out) {
  *out << c.written;
}

class IntegerFieldTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerFieldTest, TakesOnlyNumbersItHoldsExactly) {
  const auto decoded =
      UpdateCheckResponse::fromJson(R"({"beta":false,"updateAvailable":true,"latestBuild":)" +
                                    std::string(GetParam().written) + "}");
  if (GetParam().read) {
    ASSERT_TRUE(decoded.ok()) << decoded.error().description();
    EXPECT_EQ(decoded.value().latestBuild, *GetParam().read);
  } else {
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind(), Error::Kind::decoding);
    EXPECT_NE(decoded.error().description().find("latestBuild"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(EdgesOf64Bits, IntegerFieldTest,
                         ::testing::Values(IntegerCase{"-9223372036854775808", INT64_MIN},
                                           IntegerCase{"9223372036854775807", INT64_MAX},
                                           IntegerCase{"-9223372036854775809", std::nullopt},
                                           IntegerCase{"9223372036854775808", std::nullopt},
                                           IntegerCase{"9007199254740993.0", std::nullopt},
                                           IntegerCase{"9007199254740991.0", 9007199254740991},
                                           IntegerCase{"1e3", 1000},
                                           IntegerCase{"2.5", std::nullopt},
                                           IntegerCase{"1e300", std::nullopt}));

struct RoundTripCase {
  const char* name;
  std::string json;
  std::function<Result<std::string>(std::string_view)> recode;
};

class StandaloneCodingTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(StandaloneCodingTest, DecodesAndEncodesTheSameDocument) {
  const auto recoded = GetParam().recode(GetParam().json);
  ASSERT_TRUE(recoded.ok()) << recoded.error().description();
  EXPECT_EQ(recoded.value(), GetParam().json);
  EXPECT_FALSE(GetParam().recode("{}").ok());
}

template <class T>
Result<std::string> recode(std::string_view text) {
  auto decoded = T::fromJson(text);
  if (!decoded) {
    return decoded.error();
  }
  return decoded.value().toJson();
}

INSTANTIATE_TEST_SUITE_P(
    Records, StandaloneCodingTest,
    ::testing::Values(
        RoundTripCase{
            "knownIssue",
            R"({"id":"k","affectedAppBuilds":[3],"affectedOSBuilds":["6.1"],"message":"m"})",
            recode<KnownIssue>},
        RoundTripCase{"osBuild", R"({"id":"6.1","name":"n","message":"m"})", recode<OSBuild>},
        RoundTripCase{"contactInformation", R"({"name":"A","email":"a@b.c"})",
                      recode<Feedback::ContactInformation>},
        RoundTripCase{"appVersion", R"("1.2.3")", recode<AppVersion>}),
    [](const auto& info) { return std::string(info.param.name); });

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
