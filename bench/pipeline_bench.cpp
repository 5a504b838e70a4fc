// The submission pipeline with 8 custom attachments of 8 MiB against a loopback server that answers
// every request after 50 ms, against the same 9 requests made one after another with the same
// client. Prints both wall times and their ratio (goal: the pipeline at most 0.3 of the serial
// sum). The server is upload_sink, which throws bodies away, so that what is measured is the
// client and not a server buffering 64 MiB.
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FormTesting.h"
#include "support/TemporaryDirectory.h"

namespace {

using namespace tessaline;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 8;
constexpr std::size_t kFileSize = 8u << 20;
constexpr int kRounds = 5;

// Waits for one deferred request on the calling thread.
template <class T>
bool await(const Deferred<T>& request) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool ok = false;
  auto handle = request.subscribe([&](T) { ok = true; },
                                  [&](const std::optional<Error>&) {
                                    std::lock_guard lock(mutex);
                                    finished = true;
                                    done.notify_all();
                                  });
  std::unique_lock lock(mutex);
  done.wait_for(lock, std::chrono::seconds(60), [&] { return finished; });
  return finished && ok;
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One submission of a fresh form with every file attached; nothing when it did not submit.
std::optional<double> pipelineTime(const std::shared_ptr<FeedbackAPIClient>& client,
                                   const Config& config, const std::vector<std::string>& paths) {
  auto model = FeedbackFormViewModel::make({}, client);
  FormModelTestAccess::applyConfig(*model, config);
  for (const auto& path : paths) {
    const auto url = Url::fileURL(path);
    if (!model->addCustomAttachment(ReportAttachment(url.deletingPathExtensionOfLastComponent(),
                                                     ReportAttachment::file(url), "bin"))) {
      std::fprintf(stderr, "cannot add %s\n", path.c_str());
      return std::nullopt;
    }
  }
  const auto start = Clock::now();
  model->submit();
  const bool ended = platform::MainQueue::drainUntil(
      [&] {
        return model->state.get() == FeedbackFormViewModel::State::submitted() ||
               model->state.get().kind() == FeedbackFormViewModel::State::Case::failed;
      },
      std::chrono::seconds(120));
  const auto elapsed = Clock::now() - start;
  if (!ended || model->state.get() != FeedbackFormViewModel::State::submitted()) {
    std::fprintf(stderr, "pipeline did not submit: %s\n", model->state.get().description().c_str());
    return std::nullopt;
  }
  return seconds(elapsed);
}

// The same requests one after another with the same client.
std::optional<double> serialTime(const std::shared_ptr<FeedbackAPIClient>& client,
                                 const std::vector<std::string>& paths) {
  const auto start = Clock::now();
  Feedback feedback;
  for (const auto& path : paths) {
    auto file = platform::OpenFile::open(path);
    if (!file || !await(client->postAttachment(
                     feedback, "file", "bin",
                     std::make_shared<platform::OpenFile>(std::move(file).value())))) {
      std::fprintf(stderr, "serial upload failed\n");
      return std::nullopt;
    }
  }
  if (!await(client->postReport(feedback, {}))) {
    std::fprintf(stderr, "serial report failed\n");
    return std::nullopt;
  }
  return seconds(Clock::now() - start);
}

}  // namespace

int main() {
  auto sink = testing::ChildProcess::start({UPLOAD_SINK, "--delay-ms", "50"}, {});
  if (!sink || !sink->waitForOutput("\n", std::chrono::seconds(10))) {
    std::fprintf(stderr, "the sink server did not start\n");
    return 1;
  }
  const std::string baseURL = "http://127.0.0.1:" + std::to_string(std::stoi(sink->out())) + "/v1";
  setenv("TESSALINE_SERVICE_URL", baseURL.c_str(), 1);
  platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});

  testing::TemporaryDirectory dir("tessaline-pipeline-bench");
  std::vector<std::string> paths;
  for (int i = 0; i < kFiles; ++i) {
    paths.push_back(
        dir.write("file" + std::to_string(i) + ".bin", std::string(kFileSize, 'x')).string());
  }

  auto client = std::make_shared<FeedbackAPIClient>("stable", Environment::current());
  auto config = testing::acceptingConfig();
  config.maxAttachmentSize = 1ll << 40;

  // Warm the connection cache once so both runs start alike.
  await(client->postReport(Feedback(), {}));

  // Rounds alternate, so that a busy moment of the machine weighs on both alike; medians.
  std::vector<double> pipelineTimes;
  std::vector<double> serialTimes;
  for (int round = 0; round < kRounds; ++round) {
    const auto pipeline = pipelineTime(client, config, paths);
    const auto serial = serialTime(client, paths);
    if (!pipeline || !serial) {
      return 1;
    }
    pipelineTimes.push_back(*pipeline);
    serialTimes.push_back(*serial);
  }
  const double pipeline = median(pipelineTimes);
  const double serial = median(serialTimes);
  std::printf("pipeline: %d uploads of %zu MiB and the report, 50 ms answer delay, median of %d\n",
              kFiles, kFileSize >> 20, kRounds);
  std::printf("pipeline wall time  %.3f s\n", pipeline);
  std::printf("serial sum          %.3f s\n", serial);
  std::printf("ratio pipeline/serial %.2f (goal <= 0.30)\n", pipeline / serial);
  // The first round opened the pipeline's extra connections; later rounds reuse them.
  std::printf("first round alone   %.3f s / %.3f s = %.2f\n", pipelineTimes.front(),
              serialTimes.front(), pipelineTimes.front() / serialTimes.front());
  return 0;
}
