// Decoders and encoders that must not read more, less or otherwise than the bytes say: NUL bytes,
// the standalone record codings, and query encoding under a single-byte locale.
#include <Tessaline/Url.h>
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "ServiceConfig.h"
#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"

namespace tessaline {
namespace {

using namespace std::string_literals;

TEST(CodingStrictnessTest, ADocumentHoldingANulByteIsRefused) {
  const std::pair<std::string, std::function<bool(const std::string&)>> cases[] = {
      {R"({"id":"x1"})",
       [](const std::string& text) { return FeedbackSubmissionResponse::fromJson(text).ok(); }},
      {R"({"form":)" + testing::acceptingConfig().toJson().value() + R"(,"trains":{}})",
       [](const std::string& text) { return server::ServiceConfig::fromJson(text).ok(); }}};
  for (const auto& [document, accepts] : cases) {
    EXPECT_TRUE(accepts(document)) << document;
    EXPECT_FALSE(accepts(document + "\0{\"id\":\"evil\"}"s)) << document;
  }
}

template <class T>
Result<std::string> recode(std::string_view text) {
  auto decoded = T::fromJson(text);
  return decoded ? decoded.value().toJson() : Result<std::string>(decoded.error());
}

TEST(CodingStrictnessTest, StandaloneRecordsDecodeAndEncodeTheSameDocument) {
  const std::pair<std::string, std::function<Result<std::string>(std::string_view)>> cases[] = {
      {R"({"id":"k","affectedAppBuilds":[3],"affectedOSBuilds":["6.1"],"message":"m"})",
       recode<KnownIssue>},
      {R"({"id":"6.1","name":"n","message":"m"})", recode<OSBuild>},
      {R"({"name":"A","email":"a@b.c"})", recode<Feedback::ContactInformation>},
      {R"("1.2.3")", recode<AppVersion>}};
  for (const auto& [document, recoded] : cases) {
    EXPECT_EQ(recoded(document).value(), document);
    EXPECT_FALSE(recoded("{}").ok()) << document;
  }
}

TEST(CodingStrictnessTest, QueryEncodingKeepsOnlyAsciiUnderASingleByteLocale) {
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
