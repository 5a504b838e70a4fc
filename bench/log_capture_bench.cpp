// The system log capture loses nothing: a producer in place of the log tool writes numbered lines
// as fast as it can; the step's payload must hold every one, in order. The baseline is the same
// bytes read through a pipe from cat.
//
//   log_capture_bench [lines]     (default 200000)

#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <platform/MainQueue.h>
#include <platform/Process.h>
#include <platform/detail/ProcessSupport.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// Lines that are missing or out of order: line i must end in "capture line <i, 8 digits>".
long missingLines(std::string_view payload, long expected) {
  long next = 0;
  long wrong = 0;
  while (!payload.empty()) {
    const auto end = payload.find('\n');
    const auto line = payload.substr(0, end);
    payload.remove_prefix(end == std::string_view::npos ? payload.size() : end + 1);
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "capture line %08ld", next);
    if (line.ends_with(suffix)) {
      ++next;
    } else {
      ++wrong;
    }
  }
  return wrong + (expected - next);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline;
  const long lines = argc > 1 ? std::atol(argv[1]) : 200000;
  char pattern[] = "/tmp/tessaline-capture-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path directory = pattern;
  const auto done = directory / "done";
  ::setenv("TESSALINE_BENCH_LINES", std::to_string(lines).c_str(), 1);
  ::setenv("TESSALINE_BENCH_DONE", done.c_str(), 1);
  platform::detail::setExecutableOverride("/usr/bin/log", TESSALINE_BENCH_PRODUCER);

  std::optional<Result<Bytes>> result;
  const auto start = Clock::now();
  auto step = std::make_shared<SystemLogsCollectorStep>();
  step->run(Feedback(), [&result](Result<Bytes> outcome) { result = std::move(outcome); });
  const auto deadline = Clock::now() + std::chrono::minutes(2);
  while (!std::filesystem::exists(done) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  step->stop();  // the user's "Done"
  platform::MainQueue::drainUntil([&result] { return result.has_value(); },
                                  std::chrono::minutes(2));
  const auto captureTime = Clock::now() - start;
  if (!result || !result->ok()) {
    std::fprintf(stderr, "the capture did not complete\n");
    return 1;
  }
  const Bytes payload = result->value();
  const long missing = missingLines(payload.view(), lines);

  // Baseline: the same bytes through a pipe from cat.
  const auto file = directory / "lines.txt";
  std::ofstream(file, std::ios::binary) << payload.view();
  const auto baselineStart = Clock::now();
  platform::Process cat("/bin/cat", {file.string()});
  if (!cat.launch().ok()) {
    return 1;
  }
  cat.waitUntilExit();
  const auto baselineTime = Clock::now() - baselineStart;
  std::filesystem::remove_all(directory);

  std::printf("log capture: %ld lines written, %ld captured, %ld missing or out of order\n", lines,
              lines - missing, missing);
  std::printf(
      "log capture: %.1f MiB in %.3f s (tool start to payload); cat through a pipe %.3f s; "
      "ratio %.2f\n",
      static_cast<double>(payload.size()) / (1024.0 * 1024.0), seconds(captureTime),
      seconds(baselineTime), seconds(captureTime) / seconds(baselineTime));
  return missing == 0 && cat.output() == payload ? 0 : 1;
}
