// Upload benchmark: one large file posted to a loopback sink (upload_sink, a separate process) by
// the library's client, by the client with upload progress reported, and by the curl command
// line, in turn, in one run. Prints the best throughput of each, the ratio client/curl (goal >=
// 0.9), the ratio with/without progress (goal >= 0.98) and the client process's peak resident
// memory (goal < 32 MiB). Each upload runs in its own process so that its peak memory is its own.
//
//   upload_bench [--size-mib N] [--runs N]
//   upload_bench --client FILE [--progress]   (the client's process; the service URL comes from
//                                              the environment)

#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>

#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Progress as a window shows it: the HTTP thread's reports reach the main queue at most every
// 50 ms, where the latest value is read.
struct ProgressWatch {
  std::mutex mutex;
  std::uint64_t sent = 0;
  bool scheduled = false;
  Clock::time_point lastShown;
  std::uint64_t shown = 0;
  int updates = 0;  // main queue only

  void report(std::uint64_t bytes) {
    std::lock_guard lock(mutex);
    sent = std::max(sent, bytes);
    if (scheduled) {
      return;
    }
    scheduled = true;
    const auto task = [this] {
      std::lock_guard lock(mutex);
      scheduled = false;
      lastShown = Clock::now();
      shown = sent;
      ++updates;
    };
    const auto wait = lastShown + std::chrono::milliseconds(50) - Clock::now();
    if (wait > Clock::duration::zero()) {
      tessaline::platform::MainQueue::asyncAfter(wait, task);
    } else {
      tessaline::platform::MainQueue::async(task);
    }
  }
};

// The client's side: one upload of FILE, exit status 0 when the service answered a record.
int runClient(const char* path, bool progress) {
  auto opened = tessaline::platform::OpenFile::open(path);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().description().c_str());
    return 1;
  }
  tessaline::FeedbackAPIClient client("bench", tessaline::Environment::current());
  std::mutex mutex;
  bool done = false;
  std::optional<tessaline::Error> failure;
  ProgressWatch watch;
  tessaline::UploadProgress hook;
  if (progress) {
    hook = [&watch](std::uint64_t sent, std::uint64_t) { watch.report(sent); };
  }
  auto handle =
      client
          .postAttachment(
              tessaline::Feedback(), "bench", "bin",
              std::make_shared<tessaline::platform::OpenFile>(std::move(opened).value()), hook)
          .subscribe({}, [&](std::optional<tessaline::Error> error) {
            // Ends on the main queue, which is what wakes the loop below.
            tessaline::platform::MainQueue::async([&, error] {
              std::lock_guard lock(mutex);
              failure = error;
              done = true;
            });
          });
  // The main thread runs the main queue, as a host's would, in both modes.
  tessaline::platform::MainQueue::drainUntil(
      [&] {
        std::lock_guard lock(mutex);
        return done;
      },
      std::chrono::hours(1));
  std::lock_guard lock(mutex);
  if (failure) {
    std::fprintf(stderr, "upload failed: %s\n", failure->description().c_str());
    return 1;
  }
  return 0;
}

struct Run {
  double seconds = 0;
  long peakKiB = 0;
  bool ok = false;
};

// Runs a command to its end; its wall time and peak resident memory.
Run timed(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    return {};
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakKiB = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

std::string selfDirectory() {
  std::vector<char> buffer(4096);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  std::string path(buffer.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  return path.substr(0, path.rfind('/'));
}

// Starts the sink; its pid and port.
std::optional<std::pair<pid_t, int>> startSink(const std::string& path) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    close(pipeEnds[0]);
    return std::nullopt;
  }
  char line[32] = {};
  const ssize_t n = read(pipeEnds[0], line, sizeof line - 1);
  close(pipeEnds[0]);
  const int port = n > 0 ? std::atoi(line) : 0;
  if (port <= 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return std::nullopt;
  }
  return std::make_pair(pid, port);
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--client") == 0) {
    return runClient(argv[2], argc == 4 && std::strcmp(argv[3], "--progress") == 0);
  }
  long sizeMiB = 256;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size-mib") == 0) {
      sizeMiB = std::atol(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[i + 1]);
    }
  }

  const char* temporary = std::getenv("TMPDIR");
  std::string folder =
      std::string(temporary != nullptr ? temporary : "/tmp") + "/upload-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string file = folder + "/payload.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (long mib = 0; mib < sizeMiB; ++mib) {
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(mib)) & 0xFF);
      }
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }

  const std::string directory = selfDirectory();
  const auto sink = startSink(directory + "/upload_sink");
  if (!sink) {
    std::fprintf(stderr, "the sink server did not start\n");
    return 1;
  }
  const std::string base = "http://127.0.0.1:" + std::to_string(sink->second) + "/v1";
  setenv("TESSALINE_SERVICE_URL", base.c_str(), 1);
  const std::string url =
      base + "/attachments?fileId=bench&localId=00000000-0000-0000-0000-000000000000&extension=bin";

  std::vector<Run> clientRuns;
  std::vector<Run> progressRuns;
  std::vector<Run> curlRuns;
  bool ok = true;
  for (int run = 0; run < runs && ok; ++run) {
    curlRuns.push_back(timed({"curl", "-sS", "-o", "/dev/null", "--fail", "-X", "POST", "-H",
                              "Expect:", "-T", file, url}));
    clientRuns.push_back(timed({directory + "/upload_bench", "--client", file}));
    progressRuns.push_back(timed({directory + "/upload_bench", "--client", file, "--progress"}));
    ok = curlRuns.back().ok && clientRuns.back().ok && progressRuns.back().ok;
  }
  kill(sink->first, SIGTERM);
  waitpid(sink->first, nullptr, 0);
  std::remove(file.c_str());
  rmdir(folder.c_str());
  if (!ok) {
    std::fprintf(stderr, "an upload failed\n");
    return 1;
  }

  const auto best = [](const std::vector<Run>& all) {
    return std::min_element(all.begin(), all.end(),
                            [](const Run& a, const Run& b) { return a.seconds < b.seconds; })
        ->seconds;
  };
  const auto peak = [](const std::vector<Run>& all) {
    return std::max_element(all.begin(), all.end(),
                            [](const Run& a, const Run& b) { return a.peakKiB < b.peakKiB; })
        ->peakKiB;
  };
  const double clientRate = static_cast<double>(sizeMiB) / best(clientRuns);
  const double curlRate = static_cast<double>(sizeMiB) / best(curlRuns);
  const double progressRate = static_cast<double>(sizeMiB) / best(progressRuns);
  std::printf("upload of %ld MiB to a loopback sink, best of %d runs each\n", sizeMiB, runs);
  std::printf("  client:               %8.1f MiB/s   peak RSS %6.1f MiB\n", clientRate,
              static_cast<double>(peak(clientRuns)) / 1024);
  std::printf("  client with progress: %8.1f MiB/s   peak RSS %6.1f MiB\n", progressRate,
              static_cast<double>(peak(progressRuns)) / 1024);
  std::printf("  curl:                 %8.1f MiB/s   peak RSS %6.1f MiB\n", curlRate,
              static_cast<double>(peak(curlRuns)) / 1024);
  std::printf("throughput ratio client/curl: %.2f (goal >= 0.90)\n", clientRate / curlRate);
  std::printf("throughput ratio with/without progress: %.3f (goal >= 0.98)\n",
              progressRate / clientRate);
  std::printf("client peak RSS: %.1f MiB (goal < 32 MiB)\n",
              static_cast<double>(peak(clientRuns)) / 1024);
  return 0;
}
