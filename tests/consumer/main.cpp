// A host that links the installed library and decodes a configuration.
#include <Tessaline/records/Config.h>

#include <iostream>

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
  return config.value().minVersion.description() == "1.2.0" ? 0 : 1;
}
