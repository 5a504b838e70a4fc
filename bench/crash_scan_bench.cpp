// The crash-report scan against `find -iname` over the same tree: 20,000 files in nested
// folders, one in fifty named like a report of the host. Both are measured warm, best of five.
//
//   crash_scan_bench [files]     (default 20000)

#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline;
  const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
  char pattern[] = "/tmp/tessaline-scan-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path home = pattern;
  const auto reports = home / "Library/Logs/DiagnosticReports";
  int matching = 0;
  for (int i = 0; i < files; ++i) {
    const auto folder = reports / ("group-" + std::to_string(i % 20)) /
                        ("batch-" + std::to_string(i / 20 % 10)) /
                        ("part-" + std::to_string(i / 200 % 5));
    std::filesystem::create_directories(folder);
    const bool report = i % 50 == 0;
    matching += report ? 1 : 0;
    std::ofstream(folder / ((report ? "Pairloom_" : "Other_") + std::to_string(i) + ".ips"))
        << "report " << i << "\n";
  }
  ::setenv("HOME", home.c_str(), 1);

  double stepBest = 1e18;
  std::size_t delivered = 0;
  for (int round = 0; round < 5; ++round) {
    std::optional<Result<Bytes>> result;
    const auto start = Clock::now();
    auto step = std::make_shared<CollectCrashReportsStep>();
    step->run(Feedback(), [&result](Result<Bytes> outcome) { result = std::move(outcome); });
    platform::MainQueue::drainUntil([&result] { return result.has_value(); },
                                    std::chrono::minutes(2));
    stepBest = std::min(stepBest, milliseconds(Clock::now() - start));
    if (!result || !result->ok()) {
      std::fprintf(stderr, "the scan did not complete\n");
      return 1;
    }
    delivered = CollectCrashReportsStep::Report::decodeList(result->value().view()).value().size();
  }

  std::vector<std::string> arguments{reports.string(), "("};
  for (const auto& token : CollectCrashReportsStep::tokens()) {
    if (arguments.size() > 2) {
      arguments.push_back("-o");
    }
    arguments.insert(arguments.end(), {"-iname", "*" + token + "*"});
  }
  arguments.push_back(")");
  double findBest = 1e18;
  long found = 0;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    platform::Process find("/usr/bin/find", arguments);
    if (!find.launch().ok()) {
      return 1;
    }
    find.waitUntilExit();
    findBest = std::min(findBest, milliseconds(Clock::now() - start));
    const auto output = find.output().str();
    found = std::count(output.begin(), output.end(), '\n');
  }
  std::filesystem::remove_all(home);

  std::printf(
      "crash-report scan over %d files (%d matching): step %.1f ms (%zu reports "
      "delivered), find -iname %.1f ms (%ld found); ratio step/find %.2f\n",
      files, matching, stepBest, delivered, findBest, found, stepBest / findBest);
  return delivered == std::min<std::size_t>(4, static_cast<std::size_t>(matching)) &&
                 found == matching
             ? 0
             : 1;
}
