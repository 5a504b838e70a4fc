// Load test of tessaline-service on loopback: concurrent clients, each on one kept-alive
// connection, upload one 64 KiB attachment and submit a report that names it. The baseline stores
// the same rows with the same durability (file and folder synced, WAL commit with
// synchronous=FULL) through the service's own store, without HTTP. Then the same submissions
// again while a flood of connections that sent half a request head stall: their p99 latency
// against the one without the flood, and the service's resident memory meanwhile. Bounded in
// count and time; prints the figures and their ratios. With --port it only submits to a service
// that is already running on that loopback port (bench/run-scale compares such runs).
//
//   service_bench [--reports N] [--clients C] [--seconds S] [--flood CONNECTIONS] [--port P]

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"

#include <Tessaline/records/Uuid.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using namespace tessaline;

struct Settings {
  int reports = 300;
  int clients = 4;
  int seconds = 60;
  int flood = 10000;
  int port = 0;  // a running service's, or 0 to start one
};

struct Figures {
  int reports = 0;
  int failures = 0;
  double seconds = 0;
  double p99Ms = 0;
  double medianMs = 0;

  double perSecond() const { return seconds > 0 ? reports / seconds : 0; }
};

std::string payload() {
  std::string bytes(64 * 1024, '\0');
  std::mt19937 random(42);
  for (char& byte : bytes) {
    byte = static_cast<char>(random());
  }
  return bytes;
}

json reportBody(const std::string& localId, const std::string& attachmentId,
                const std::string& name) {
  return {{"localId", localId},
          {"reasonId", 2},
          {"frequencyId", 1},
          {"subject", "Crackling audio"},
          {"messages", {{{"body", "It crackles after sleep.\n\nMacBookPro18,1 - macOS 14.1"}}}},
          {"name", "Ann Example"},
          {"email", "ann@example.org"},
          {"attachments", {{{"id", attachmentId}, {"name", name}}}}};
}

// Runs `one` from `clients` threads until `reports` have been tried or the time is up; each call
// stores one report and says whether it succeeded.
template <class PerClient>
Figures measure(const Settings& settings, PerClient makeClient) {
  std::atomic<int> next{0};
  std::mutex mutex;
  std::vector<double> latencies;
  int failures = 0;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(settings.seconds);
  std::vector<std::thread> threads;
  for (int client = 0; client < settings.clients; ++client) {
    threads.emplace_back([&] {
      auto one = makeClient();
      std::vector<double> mine;
      int myFailures = 0;
      while (next.fetch_add(1) < settings.reports && Clock::now() < deadline) {
        const auto begun = Clock::now();
        if (one()) {
          mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        } else {
          ++myFailures;
        }
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      failures += myFailures;
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  Figures figures;
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.reports = static_cast<int>(latencies.size());
  figures.failures = failures;
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    figures.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    figures.medianMs = latencies[latencies.size() / 2];
  }
  return figures;
}

std::filesystem::path makeTemporaryDirectory(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

// The service as a child process; its port is read from its first line of output.
struct ServiceChild {
  pid_t pid = -1;
  int port = 0;

  bool start(const std::filesystem::path& data) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return false;
    }
    std::vector<std::string> argv{TESSALINE_SERVICE_BINARY,
                                  "--port",
                                  "0",
                                  "--data",
                                  data.string(),
                                  "--config",
                                  TESSALINE_SOURCE_DIR "/server/sample-service-config.json",
                                  "--threads",
                                  "8"};
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(devNull, 0);
      ::dup2(fds[1], 1);
      ::dup2(devNull, 2);  // one log line per report would only measure the terminal
      ::execve(pointers[0], pointers.data(), environ);
      ::_exit(127);
    }
    ::close(fds[1]);
    ::close(devNull);
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd readable{fds[0], POLLIN, 0};
      if (::poll(&readable, 1, 1000) <= 0) {
        continue;
      }
      char buffer[128];
      const ssize_t count = ::read(fds[0], buffer, sizeof buffer);
      if (count <= 0) {
        break;
      }
      line.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fds[0]);
    if (line.rfind("listening on ", 0) == 0) {
      port = std::atoi(line.c_str() + 13);
    }
    return port > 0;
  }

  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
      pid = -1;
    }
  }
};

void print(const char* label, const Figures& figures) {
  std::printf("%-28s %5d reports in %6.2f s: %8.1f reports/s, median %7.2f ms, p99 %7.2f ms", label,
              figures.reports, figures.seconds, figures.perSecond(), figures.medianMs,
              figures.p99Ms);
  if (figures.failures > 0) {
    std::printf("  (%d failed)", figures.failures);
  }
  std::printf("\n");
}

// Connections that send half a request head and stall, spread over loopback addresses the way
// many clients would come from many addresses.
class Flood {
 public:
  Flood(int port, int count) {
    const std::string halfHead = "POST /v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le";
    for (int index = 0; index < count; ++index) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(0x7f000100u + static_cast<std::uint32_t>(index / 1000) + 2);
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          ::send(fd, halfHead.data(), halfHead.size(), MSG_NOSIGNAL) <= 0) {
        ++failed_;
      }
      fds_.push_back(fd);
    }
  }
  ~Flood() {
    for (const int fd : fds_) {
      ::close(fd);
    }
  }
  int failed() const { return failed_; }

 private:
  std::vector<int> fds_;
  int failed_ = 0;
};

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

std::size_t openDescriptors(pid_t pid) {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error),
       end;
       !error && entry != end; entry.increment(error)) {
    ++count;
  }
  return count;
}

// The same rows through the service's store, without HTTP.
Figures measureDirect(const Settings& settings, const std::string& bytes) {
  const std::filesystem::path directDir = makeTemporaryDirectory("tessaline-store-bench");
  auto store = server::Store::open(directDir / "data", server::Store::Mode::service);
  if (!store) {
    std::fprintf(stderr, "%s\n", store.error().description().c_str());
    return Figures{0, settings.reports, 0, 0, 0};
  }
  const Figures direct = measure(settings, [&] {
    return [&store, &bytes] {
      const std::string localId = Uuid::random().uuidString();
      auto upload = store.value()->beginUpload();
      if (!upload || !upload->append(bytes)) {
        return false;
      }
      auto record =
          store.value()->commitUpload(std::move(upload).value(), localId, "System Profile", "spx");
      if (!record) {
        return false;
      }
      server::NewReport report;
      report.localId = localId;
      report.reasonId = 2;
      report.frequencyId = 1;
      report.subject = "Crackling audio";
      report.messages = {"It crackles after sleep.\n\nMacBookPro18,1 - macOS 14.1"};
      report.name = "Ann Example";
      report.email = "ann@example.org";
      report.attachments = {{record->id, record->name}};
      return std::holds_alternative<std::string>(store.value()->insertReport(report));
    };
  });
  store.value().reset();
  std::error_code ignored;
  std::filesystem::remove_all(directDir, ignored);
  return direct;
}

// Uploads and reports over HTTP to the service on a loopback port.
Figures submitOverHttp(const Settings& settings, int port, const std::string& bytes) {
  return measure(settings, [&] {
    auto client = std::make_shared<httplib::Client>("127.0.0.1", port);
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);  // as libcurl, which the library uses, does by default
    client->set_read_timeout(60, 0);
    return [client, &bytes] {
      const std::string localId = Uuid::random().uuidString();
      const auto uploaded = client->Post(
          "/v1/attachments?fileId=System%20Profile&localId=" + localId + "&extension=spx", bytes,
          "application/octet-stream");
      if (!uploaded || uploaded->status != 201) {
        return false;
      }
      const json attachment = json::parse(uploaded->body);
      const auto reported = client->Post(
          "/v1/reports", reportBody(localId, attachment["attachmentId"], attachment["name"]).dump(),
          "application/json");
      return reported && reported->status == 201;
    };
  });
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int index = 1; index + 1 < argc; index += 2) {
    const std::string option = argv[index];
    const int value = std::atoi(argv[index + 1]);
    if (option == "--reports") {
      settings.reports = std::clamp(value, 1, 100000);
    } else if (option == "--clients") {
      settings.clients = std::clamp(value, 1, 64);
    } else if (option == "--seconds") {
      settings.seconds = std::clamp(value, 1, 600);
    } else if (option == "--flood") {
      settings.flood = std::clamp(value, 0, 100000);
    } else if (option == "--port") {
      settings.port = std::clamp(value, 1, 65535);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--reports N] [--clients C] [--seconds S] [--flood N] [--port P]\n",
                   argv[0]);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  const std::string bytes = payload();
  std::printf("%d reports at most, %d clients, %d s at most; one 64 KiB attachment per report\n",
              settings.reports, settings.clients, settings.seconds);
  if (settings.port > 0) {
    const Figures figures = submitOverHttp(settings, settings.port, bytes);
    print("service over HTTP", figures);
    return figures.failures == 0 ? 0 : 1;
  }

  // The baseline runs before and after the service, so neither side alone pays for the disk's
  // write-back of the other's files.
  const Figures directBefore = measureDirect(settings, bytes);

  // Over HTTP, against the real binary.
  const std::filesystem::path serviceDir = makeTemporaryDirectory("tessaline-service-bench");
  ServiceChild service;
  if (!service.start(serviceDir / "data")) {
    std::fprintf(stderr, "the service did not start\n");
    service.stop();
    return 1;
  }
  auto submissions = [&] { return submitOverHttp(settings, service.port, bytes); };
  const Figures overHttp = submissions();

  // Under the flood, with the service's memory sampled meanwhile.
  const auto floodStart = Clock::now();
  auto flood = std::make_unique<Flood>(service.port, settings.flood);
  const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
  std::atomic<bool> sampling{true};
  std::atomic<long> peakKiB{residentKiB(service.pid)};
  std::thread sampler([&] {
    while (sampling) {
      peakKiB = std::max(peakKiB.load(), residentKiB(service.pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const Figures flooded = submissions();
  const std::size_t heldOpen = openDescriptors(service.pid);
  const int floodFailed = flood->failed();
  sampling = false;
  sampler.join();
  flood.reset();
  service.stop();
  std::error_code ignored;
  std::filesystem::remove_all(serviceDir, ignored);

  const Figures directAfter = measureDirect(settings, bytes);
  Figures direct;
  direct.reports = directBefore.reports + directAfter.reports;
  direct.failures = directBefore.failures + directAfter.failures;
  direct.seconds = directBefore.seconds + directAfter.seconds;
  direct.medianMs = (directBefore.medianMs + directAfter.medianMs) / 2;
  direct.p99Ms = (directBefore.p99Ms + directAfter.p99Ms) / 2;

  print("store without HTTP, before", directBefore);
  print("service over HTTP", overHttp);
  print("service under the flood", flooded);
  print("store without HTTP, after", directAfter);
  std::printf("ratio HTTP/direct: throughput %.2f, p99 latency %.2f\n",
              direct.perSecond() > 0 ? overHttp.perSecond() / direct.perSecond() : 0,
              direct.p99Ms > 0 ? overHttp.p99Ms / direct.p99Ms : 0);
  std::printf(
      "flood: %d stalled connections opened in %.2f s (%d failed), %zu descriptors open "
      "in the service at the end; service RSS peak %.1f MiB\n",
      settings.flood, floodSeconds, floodFailed, heldOpen, peakKiB / 1024.0);
  std::printf("ratio flood/no flood: p99 latency %.2f, throughput %.2f\n",
              overHttp.p99Ms > 0 ? flooded.p99Ms / overHttp.p99Ms : 0,
              overHttp.perSecond() > 0 ? flooded.perSecond() / overHttp.perSecond() : 0);

  return overHttp.failures + flooded.failures + direct.failures == 0 ? 0 : 1;
}
