// Decodes a sample form configuration with the installed library and prints what a form offers.
#include <Tessaline/records/Config.h>

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tessaline-example CONFIG.json\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << '\n';
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  const auto config = tessaline::Config::fromJson(text.str());
  if (!config) {
    std::cerr << config.error().description() << '\n';
    return 1;
  }
  std::cout << "minimum version " << config->minVersion.description() << " (build "
            << config->minBuildNumber << ")\n";
  std::cout << "message length " << config->minMessageLength << " to " << config->maxMessageLength
            << " characters, attachments below " << config->maxAttachmentSize << " bytes\n";
  for (const auto& reason : config->reasons) {
    std::cout << "reason " << reason.id << ": " << reason.title << " (system profile "
              << tessaline::Feedback::rawValue(reason.systemProfile) << ", app logs "
              << tessaline::Feedback::rawValue(reason.appLogs) << ", crash logs "
              << tessaline::Feedback::rawValue(reason.crashLogs) << ")\n";
  }
  for (const auto& frequency : config->frequencies) {
    std::cout << "frequency " << frequency.id << ": " << frequency.title << '\n';
  }
  for (const auto& issue : config->knownIssues) {
    std::cout << "known issue " << issue.id << ": " << issue.message << '\n';
  }
  for (const auto& build : config->blockedOSBuilds) {
    std::cout << "blocked OS build " << build.id << " (" << build.name << ")\n";
  }
  return 0;
}
