// The dashboard's report list on a large store. Fills a data folder with generated reports (once;
// a folder that already holds them is reused), then asks the dashboard over HTTP on loopback for
// the first page of the list with filters and with text searches, and prints p50 and p99 of each
// against the baseline of an answer that reads no reports (the style sheet), measured in the same
// run. The goal is a p99 of at most 100 ms for every query.
//
//   dashboard_bench [--reports N] [--data DIR] [--rounds R]

#include "ServiceConfig.h"
#include "Store.h"
#include "dashboard/AdminHttpServer.h"
#include "dashboard/Dashboard.h"
#include "dashboard/Passwords.h"

#include <Tessaline/records/Uuid.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tessaline;
using namespace tessaline::server;
using Clock = std::chrono::steady_clock;

// A vocabulary of made-up words with a skewed use, so searched words are common or rare as in
// real text.
std::vector<std::string> vocabulary(std::mt19937_64& random) {
  static const char* syllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo", "ze", "pa",
                                    "qu", "dr", "el", "on", "ar", "is", "um", "ex", "ob", "ly"};
  std::vector<std::string> words;
  for (int i = 0; i < 5000; ++i) {
    std::string word;
    const int length = 2 + static_cast<int>(random() % 3);
    for (int s = 0; s < length; ++s) {
      word += syllables[random() % 20];
    }
    words.push_back(word);
  }
  return words;
}

std::string sentence(std::mt19937_64& random, const std::vector<std::string>& words, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    // Squaring a uniform number favours the first words of the vocabulary.
    const double u = std::uniform_real_distribution<double>(0, 1)(random);
    text += (i ? " " : "") + words[static_cast<std::size_t>(u * u * words.size())];
  }
  return text;
}

bool fill(Store& store, std::int64_t count) {
  std::mt19937_64 random(42);
  const std::vector<std::string> words = vocabulary(random);
  const std::int64_t startMs = 1'700'000'000'000;
  std::vector<NewReport> batch;
  const auto started = Clock::now();
  for (std::int64_t i = 0; i < count; ++i) {
    NewReport report;
    report.localId = Uuid::random().uuidString();
    report.receivedMs = startMs + i * 30'000;  // one every 30 s: about a year for a million
    report.reasonId = 1 + static_cast<std::int64_t>(random() % 3);
    report.frequencyId = 1 + static_cast<std::int64_t>(random() % 3);
    report.subject = sentence(random, words, 6);
    const int minor = static_cast<int>(random() % 10);
    report.messages.push_back(sentence(random, words, 40) + "\n\nOperating System: Version 14." +
                              std::to_string(random() % 4) + "\nApplication Version: 2." +
                              std::to_string(minor) + ".0 (" + std::to_string(300 + minor) +
                              ")\nHardware: Mac14,2\nLocale: en_US\n\n?");
    report.name = "User " + std::to_string(i % 50000);
    report.email = "user" + std::to_string(i % 50000) + "@example.com";
    batch.push_back(std::move(report));
    if (batch.size() == 20000 || i + 1 == count) {
      if (!store.importReports(batch)) {
        return false;
      }
      batch.clear();
      std::printf("\rgenerated %lld reports", static_cast<long long>(i + 1));
      std::fflush(stdout);
    }
  }
  std::printf(" in %.0f s\n", std::chrono::duration<double>(Clock::now() - started).count());
  return true;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t reports = 1'000'000;
  std::filesystem::path data = std::filesystem::temp_directory_path() / "tessaline-dashboard-bench";
  int rounds = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--reports"))
      reports = std::atoll(argv[i + 1]);
    if (!std::strcmp(argv[i], "--data"))
      data = argv[i + 1];
    if (!std::strcmp(argv[i], "--rounds"))
      rounds = std::atoi(argv[i + 1]);
  }
  if (!passwords::initialise()) {
    return 1;
  }
  {
    Result<std::unique_ptr<Store>> store = Store::open(data, Store::Mode::bulkLoad);
    if (!store) {
      std::fprintf(stderr, "%s\n", store.error().description().c_str());
      return 1;
    }
    Result<ReportPage> all = store.value()->findReports({});
    if (!all || all->count < std::min<std::int64_t>(reports, ReportPage::countLimit)) {
      if (!fill(*store.value(), reports)) {
        std::fprintf(stderr, "cannot fill the store\n");
        return 1;
      }
    } else {
      std::printf("reusing the reports in %s\n", data.c_str());
    }
  }
  Result<std::unique_ptr<Store>> store = Store::open(data, Store::Mode::service);
  Result<ServiceConfig> config = ServiceConfig::load(std::filesystem::path(TESSALINE_SOURCE_DIR) /
                                                     "server" / "sample-service-config.json");
  if (!store || !config) {
    std::fprintf(stderr, "cannot open the store or the configuration\n");
    return 1;
  }
  const std::string token = passwords::randomToken();
  if (!store.value()->addUser("bench", passwords::hash("bench password")) ||
      !store.value()->addSession(passwords::tokenHash(token),
                                 {"bench", "csrf", (std::time(nullptr) + 3600) * 1000LL})) {
    std::fprintf(stderr, "cannot start a session\n");
    return 1;
  }
  Dashboard dashboard(*store.value(), config.value(), {});
  Result<std::unique_ptr<AdminHttpServer>> server = AdminHttpServer::start(
      [&](const AdminRequest& request) { return dashboard.handle(request); }, {});
  if (!server) {
    std::fprintf(stderr, "%s\n", server.error().description().c_str());
    return 1;
  }
  httplib::Client client("127.0.0.1", server.value()->port());
  const httplib::Headers cookie = {{"Cookie", "tessaline_session=" + token}};

  struct Query {
    const char* label;
    std::string path;
  };
  const std::vector<Query> queries = {
      {"baseline: style sheet", "/assets/style.css"},
      {"no filter", "/"},
      {"reason", "/?reason=2"},
      {"status (none match)", "/?status=closed"},
      {"version and build", "/?version=2.3.0&build=303"},
      {"operating system", "/?os=Version+14.1"},
      {"date range (old month)", "/?from=2024-01-01&to=2024-01-31"},
      {"reason, frequency, version", "/?reason=1&frequency=2&version=2.7.0"},
      {"search: common word", "/?q=kaka"},
      {"search: two words", "/?q=kaka+lolo"},
      {"search: rare word", "/?q=lylyly"},
      {"search: e-mail", "/?q=user4242%40example.com"},
      {"search and reason", "/?q=kaka&reason=3"},
  };
  std::printf("%-30s %9s %9s %7s %s\n", "first page of the list", "p50 ms", "p99 ms", "x base",
              "count");
  double baseline = 0;
  bool met = true;
  for (const Query& query : queries) {
    std::vector<double> times;
    std::string count;
    for (int round = 0; round < rounds; ++round) {
      const auto started = Clock::now();
      httplib::Result answer = client.Get(query.path, cookie);
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
      if (!answer || answer->status != 200) {
        std::fprintf(stderr, "%s: no answer\n", query.path.c_str());
        return 1;
      }
      const std::size_t at = answer->body.find("id=\"count\">");
      if (at != std::string::npos) {
        count = answer->body.substr(at + 11, answer->body.find('<', at) - at - 11);
      }
    }
    const double p50 = percentile(times, 0.5);
    const double p99 = percentile(times, 0.99);
    if (baseline == 0) {
      baseline = p50;
    } else {
      met = met && p99 <= 100;
    }
    std::printf("%-30s %9.2f %9.2f %7.1f %s\n", query.label, p50, p99, p50 / baseline,
                count.c_str());
  }
  std::printf("goal (p99 <= 100 ms for every query): %s\n", met ? "met" : "NOT met");
  return 0;
}
