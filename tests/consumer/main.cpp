// A host that links the installed library: it decodes a configuration, builds a report and
// codes the records it may publish, through the exported interface only.
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/RemoteFeedback.h>

#include <iostream>
#include <unordered_set>

int main() {
  using namespace tessaline;
  const auto config = Config::fromJson(
      R"({"minVersion":"1.2","minBuildNumber":1,"minBuildNumberBeta":1,"minMessageLength":1,)"
      R"("maxMessageLength":10,"maxAttachmentSize":100,"reasons":[],"frequencies":[],)"
      R"("blockedOSBuilds":[],"knownIssues":[]})");
  Feedback feedback;
  feedback.subject = "Hello";
  const auto decoded = Feedback::fromJson(feedback.toJson().value());
  const bool ok = config && AppVersion::parse("1.10") > config->minVersion &&
                  std::unordered_set<Config>{config.value(), config.value()}.size() == 1 &&
                  decoded && decoded.value() == feedback &&
                  base64Decode(base64Encode("tessaline")) == "tessaline" &&
                  PreferencesDump(false, Bytes("a"), Bytes(), Bytes("c")).toJson().ok() &&
                  !RemoteFeedback::fromJson("{}");
  std::cout << (ok ? "consumer: all checks passed" : "consumer: a check failed") << '\n';
  return ok ? 0 : 1;
}
