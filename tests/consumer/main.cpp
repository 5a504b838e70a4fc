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

namespace {

bool check(bool condition, const char* what) {
  if (!condition) {
    std::cerr << "consumer: " << what << '\n';
  }
  return condition;
}

}  // namespace

int main() {
  const auto config = tessaline::Config::fromJson(
      R"({"minVersion":"1.2","minBuildNumber":1,"minBuildNumberBeta":1,"minMessageLength":1,)"
      R"("maxMessageLength":10,"maxAttachmentSize":100,"reasons":[],"frequencies":[],)"
      R"("blockedOSBuilds":[],"knownIssues":[]})");
  if (!config) {
    std::cerr << config.error().description() << '\n';
    return 1;
  }
  std::cout << config.value().minVersion.description() << '\n';

  tessaline::Feedback feedback;
  feedback.subject = "Hello";
  const auto json = feedback.toJson();
  const auto decoded = json ? tessaline::Feedback::fromJson(json.value()) : json.error();
  const std::unordered_set<tessaline::Config> configs{config.value()};

  const tessaline::PreferencesDump dump(false, tessaline::Bytes("a"), tessaline::Bytes(),
                                        tessaline::Bytes("c"));
  const auto remote = tessaline::RemoteFeedback::fromJson(
      R"({"id":"1","localId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","reason":{"id":1,)"
      R"("title":"t","systemProfile":"optional","appLogs":"optional","crashLogs":"optional"},)"
      R"("subject":"s","message":"m"})");

  const bool ok =
      check(config.value().minVersion.description() == "1.2.0", "version") &&
      check(tessaline::AppVersion::parse("1.10") > config.value().minVersion, "order") &&
      check(decoded && decoded.value() == feedback, "feedback round trip") &&
      check(configs.count(config.value()) == 1, "hash") &&
      check(tessaline::base64Decode(tessaline::base64Encode("tessaline")) == "tessaline",
            "Base64") &&
      check(dump.toJson().ok(), "preferences") && check(remote && !remote->frequency, "remote");
  return ok ? 0 : 1;
}
