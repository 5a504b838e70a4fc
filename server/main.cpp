// tessaline-service: the reference feedback service, and the operator's commands on its data.

#include "HttpServer.h"
#include "OperatorCommands.h"
#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "Store.h"
#include "dashboard/AdminHttpServer.h"
#include "dashboard/Dashboard.h"
#include "dashboard/Passwords.h"
#include "dashboard/UserCommands.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

using namespace tessaline::server;
using namespace std::chrono_literals;

void logLine(const std::string& line) {
  // One write per line, so lines of concurrent requests do not interleave.
  std::cerr << ("tessaline-service: " + line + "\n") << std::flush;
}

bool isLoopback(const std::string& address) {
  if (address == "localhost") {
    return true;
  }
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    return bytes[0] == 127;
  }
  if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
    static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::equal(std::begin(bytes), std::end(bytes), std::begin(loopback));
  }
  return false;
}

// An IP address in the form the listeners report a peer's address; nothing when it is none.
std::optional<std::string> canonicalAddress(const std::string& address) {
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN] = {};
  for (const int family : {AF_INET, AF_INET6}) {
    if (inet_pton(family, address.c_str(), bytes) == 1 &&
        inet_ntop(family, bytes, text, sizeof text)) {
      return std::string(text);
    }
  }
  return std::nullopt;
}

HttpResponse toHttp(ServiceResponse response) {
  return {response.status, std::move(response.body), "application/json; charset=utf-8", {}};
}

// Hands a body to the core's exchange.
class CoreExchange final : public HttpExchange {
 public:
  explicit CoreExchange(std::unique_ptr<ServiceExchange> exchange)
      : exchange_(std::move(exchange)) {}
  bool take(std::string_view bytes) override { return exchange_->take(bytes); }
  HttpResponse finish() override { return toHttp(exchange_->finish(true)); }

 private:
  std::unique_ptr<ServiceExchange> exchange_;
};

HttpHandler serviceHandler(ServiceCore& core) {
  return
      [&core](
          const HttpRequest& request) -> std::variant<HttpResponse, std::unique_ptr<HttpExchange>> {
        ServiceRequest converted{request.method, request.path, request.query, request.headers, {}};
        auto begun = core.begin(converted);
        if (auto* answer = std::get_if<ServiceResponse>(&begun)) {
          return toHttp(std::move(*answer));
        }
        return std::make_unique<CoreExchange>(
            std::move(std::get<std::unique_ptr<ServiceExchange>>(begun)));
      };
}

// A connection costs a descriptor: take all the system allows.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Removes unreferenced uploads every interval until stopped.
class OrphanSweeper {
 public:
  OrphanSweeper(Store& store, std::chrono::seconds grace)
      : store_(store), grace_(grace), thread_([this] { loop(); }) {}
  ~OrphanSweeper() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void loop() {
    const auto interval = std::clamp<std::chrono::seconds>(grace_ / 2, 1s, 15min);
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval, [this] { return stopped_; })) {
      lock.unlock();
      report(store_.removeOrphans(grace_, false));
      lock.lock();
    }
  }

 public:
  static void report(const tessaline::Result<OrphanSweep>& sweep) {
    if (!sweep) {
      logLine("cannot remove orphaned uploads: " + sweep.error().description());
    } else if (sweep->attachmentsRemoved + sweep->strayFilesRemoved > 0) {
      logLine("removed " + std::to_string(sweep->attachmentsRemoved) +
              " unreferenced upload(s) and " + std::to_string(sweep->strayFilesRemoved) +
              " stray file(s)");
    }
  }

 private:
  Store& store_;
  std::chrono::seconds grace_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  std::thread thread_;
};

// Waits for SIGTERM or SIGINT (blocked in every thread) and stops the server. It keeps asking
// until serving has ended, so a signal that arrives before listening started is not lost.
class ShutdownOnSignal {
 public:
  explicit ShutdownOnSignal(HttpServer& server) : server_(server), thread_([this] { loop(); }) {}
  ~ShutdownOnSignal() {
    served_ = true;
    thread_.join();
  }

 private:
  void loop() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    const timespec tick{0, 100'000'000};
    bool stopping = false;
    while (!served_) {
      if (sigtimedwait(&signals, nullptr, &tick) > 0 && !stopping) {
        stopping = true;
        logLine("stopping");
      }
      if (stopping) {
        server_.stop();
      }
    }
  }

  HttpServer& server_;
  std::atomic<bool> served_{false};
  std::thread thread_;
};

struct ServeArguments {
  int port = -1;
  std::string data;
  std::string database;
  std::string config;
  std::uint64_t maxUploadBytes = 64 * 1024 * 1024;
  std::string certificate;
  std::string key;
  std::string bind = "127.0.0.1";
  std::int64_t orphanGraceSeconds = 24 * 60 * 60;
  std::size_t threads = 8;
  std::int64_t readTimeoutSeconds = 30;
  std::int64_t idleTimeoutSeconds = 0;  // 0: the read time-out
  std::size_t maxConnections = 16384;
  std::size_t maxConnectionsPerAddress = 1024;
  std::string adminBind = "127.0.0.1";
  int adminPort = -1;  // no dashboard unless given
  std::vector<std::string> trustedProxies;
};

// Where the store is: --database as given, or --data as a SQLite data folder.
std::string storeLocation(const std::string& data, const std::string& database) {
  return database.empty() && !data.empty() ? "sqlite:" + data : database;
}

// What the log may say of the store: never a PostgreSQL URL, which may hold a password.
std::string storeName(const std::string& location) {
  return location.starts_with("sqlite:") ? location.substr(7) : "a PostgreSQL database";
}

int serve(const ServeArguments& arguments) {
  const std::string location = storeLocation(arguments.data, arguments.database);
  if (arguments.port < 0 || location.empty() || arguments.config.empty()) {
    std::cerr << "tessaline-service: --port, --data or --database, and --config are required to "
                 "serve\n";
    return 2;
  }
  if (arguments.certificate.empty() != arguments.key.empty()) {
    std::cerr << "tessaline-service: --cert and --key go together\n";
    return 2;
  }
  const bool tls = !arguments.certificate.empty();
  if (!tls && arguments.adminPort >= 0 && !isLoopback(arguments.adminBind)) {
    std::cerr << "tessaline-service: the dashboard is served over plain HTTP on loopback only; "
                 "give --cert and --key to serve it on "
              << arguments.adminBind << "\n";
    return 2;
  }
  if (!tls && !isLoopback(arguments.bind)) {
    std::cerr << "tessaline-service: plain HTTP is served on loopback only; give --cert and "
                 "--key to serve on "
              << arguments.bind << "\n";
    return 2;
  }

  DashboardOptions dashboardOptions;
  dashboardOptions.log = logLine;
  dashboardOptions.loopbackHostsOnly = isLoopback(arguments.adminBind);
  for (const std::string& proxy : arguments.trustedProxies) {
    const std::optional<std::string> address = canonicalAddress(proxy);
    if (!address) {
      std::cerr << "tessaline-service: --trusted-proxy " << proxy << " is not an IP address\n";
      return 2;
    }
    dashboardOptions.trustedProxies.push_back(*address);
  }

  tessaline::Result<ServiceConfig> config = ServiceConfig::load(arguments.config);
  if (!config) {
    std::cerr << "tessaline-service: " << arguments.config << ": " << config.error().description()
              << "\n";
    return 1;
  }
  tessaline::Result<std::unique_ptr<Store>> store = Store::open(location, Store::Mode::service);
  if (!store) {
    std::cerr << "tessaline-service: " << store.error().description() << "\n";
    return 1;
  }
  const std::chrono::seconds grace(arguments.orphanGraceSeconds);
  OrphanSweeper::report(store.value()->removeOrphans(grace, true));

  ServiceOptions options;
  options.maxUploadBytes = arguments.maxUploadBytes;
  options.log = logLine;
  const ServiceConfig dashboardConfig = config.value();
  ServiceCore core(std::move(config).value(), *store.value(), options);

  HttpOptions http;
  http.bind = arguments.bind;
  http.port = arguments.port;
  if (tls) {
    http.certificate = arguments.certificate;
    http.privateKey = arguments.key;
  }
  http.threads = arguments.threads;
  http.readTimeout = std::chrono::seconds(arguments.readTimeoutSeconds);
  http.idleTimeout =
      std::chrono::seconds(arguments.idleTimeoutSeconds > 0 ? arguments.idleTimeoutSeconds
                                                            : arguments.readTimeoutSeconds);
  http.maxConnections = arguments.maxConnections;
  http.maxConnectionsPerAddress = arguments.maxConnectionsPerAddress;
  http.errorResponse = [](int status, const std::string& message) {
    return toHttp(ServiceCore::errorResponse(status, message));
  };
  raiseOpenFileLimit();
  tessaline::Result<std::unique_ptr<HttpServer>> server =
      HttpServer::create(serviceHandler(core), std::move(http));
  if (!server) {
    std::cerr << "tessaline-service: " << server.error().description() << "\n";
    return 1;
  }

  // The dashboard listens on its own address, never on the public one.
  std::unique_ptr<Dashboard> dashboard;
  std::unique_ptr<AdminHttpServer> admin;
  if (arguments.adminPort >= 0) {
    if (!passwords::initialise()) {
      std::cerr << "tessaline-service: libsodium cannot start\n";
      return 1;
    }
    dashboard = std::make_unique<Dashboard>(*store.value(), dashboardConfig, dashboardOptions);
    AdminHttpOptions adminOptions;
    adminOptions.bind = arguments.adminBind;
    adminOptions.port = arguments.adminPort;
    if (tls) {
      adminOptions.certificate = arguments.certificate;
      adminOptions.privateKey = arguments.key;
    }
    tessaline::Result<std::unique_ptr<AdminHttpServer>> started = AdminHttpServer::start(
        [&dashboard](const AdminRequest& request) { return dashboard->handle(request); },
        adminOptions);
    if (!started) {
      std::cerr << "tessaline-service: " << started.error().description() << "\n";
      return 1;
    }
    admin = std::move(started).value();
    std::cout << "dashboard on " << admin->port() << std::endl;
    logLine(std::string("dashboard on ") + (tls ? "https" : "http") + "://" + arguments.adminBind +
            ":" + std::to_string(admin->port()) + "/");
  }

  bool served = false;
  {
    OrphanSweeper sweeper(*store.value(), grace);
    ShutdownOnSignal shutdown(*server.value());
    std::cout << "listening on " << server.value()->port() << std::endl;
    logLine(std::string("serving ") + (tls ? "https" : "http") + "://" + arguments.bind + ":" +
            std::to_string(server.value()->port()) + "/v1 from " + storeName(location));
    served = server.value()->run();
  }
  admin.reset();
  logLine("stopped");
  return served ? 0 : 1;
}

std::unique_ptr<Store> openForOperator(const std::string& data, const std::string& database) {
  const std::string location = storeLocation(data, database);
  if (location.empty()) {
    std::cerr << "tessaline-service: --data or --database is required\n";
    return nullptr;
  }
  tessaline::Result<std::unique_ptr<Store>> store = Store::open(location, Store::Mode::readOnly);
  if (!store) {
    std::cerr << "tessaline-service: " << store.error().description() << "\n";
    return nullptr;
  }
  return std::move(store).value();
}

}  // namespace

int main(int argc, char** argv) {
  // Signals are taken by one thread only (ShutdownOnSignal); every thread inherits this mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit makes a write fail (EFBIG, answered as a full disk) instead of killing.
  signal(SIGXFSZ, SIG_IGN);

  CLI::App app{"tessaline-service: the reference feedback service"};
  app.require_subcommand(0, 1);
  ServeArguments serveArguments;
  app.add_option("--port", serveArguments.port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  constexpr const char* kDatabaseHelp =
      "The store instead of --data: sqlite:FOLDER, or postgresql://... shared by several "
      "instances";
  app.add_option("--data", serveArguments.data, "Data folder (database and attachments)");
  app.add_option("--database", serveArguments.database, kDatabaseHelp)
      ->excludes(app.get_option("--data"));
  app.add_option("--config", serveArguments.config,
                 "Service configuration: the form and the release trains")
      ->check(CLI::ExistingFile);
  app.add_option("--max-upload-bytes", serveArguments.maxUploadBytes,
                 "Largest attachment accepted, in bytes")
      ->check(CLI::Range(std::uint64_t{0}, std::uint64_t{1} << 40));
  app.add_option("--cert", serveArguments.certificate, "TLS certificate (PEM)")
      ->check(CLI::ExistingFile);
  app.add_option("--key", serveArguments.key, "TLS private key (PEM)")->check(CLI::ExistingFile);
  app.add_option("--bind", serveArguments.bind, "Address to listen on")->capture_default_str();
  app.add_option("--orphan-grace", serveArguments.orphanGraceSeconds,
                 "Seconds an upload that no report references is kept")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{10} * 365 * 24 * 3600));
  app.add_option("--threads", serveArguments.threads, "Worker threads")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1024}));
  app.add_option("--read-timeout", serveArguments.readTimeoutSeconds,
                 "Seconds for a request head; a body may pause this long, and a slower one must "
                 "also keep up 1 KiB/s on average")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{3600}));
  app.add_option("--idle-timeout", serveArguments.idleTimeoutSeconds,
                 "Seconds a kept-alive connection may wait for its next request (default: the "
                 "read time-out)")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{3600}));
  app.add_option("--max-connections", serveArguments.maxConnections,
                 "Connections open at once; more get a 503")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  app.add_option("--max-connections-per-address", serveArguments.maxConnectionsPerAddress,
                 "Connections open at once from one client address; more get a 503")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));

  app.add_option("--admin-bind", serveArguments.adminBind,
                 "Address of the dashboard's own listener")
      ->capture_default_str();
  app.add_option("--admin-port", serveArguments.adminPort,
                 "Port of the dashboard; 0 picks a free one; without it there is no dashboard")
      ->check(CLI::Range(0, 65535));
  app.add_option("--trusted-proxy", serveArguments.trustedProxies,
                 "Address of a proxy in front of the dashboard (nginx) whose X-Forwarded-For is "
                 "believed: its last address is the client's; may be repeated")
      ->allow_extra_args(false);

  std::string data;
  std::string database;
  // Operator commands take the store as the service does.
  auto storeOptions = [&](CLI::App* command) {
    command->add_option("--data", data, "Data folder");
    command->add_option("--database", database, kDatabaseHelp)
        ->excludes(command->get_option("--data"));
  };
  std::string reportId;
  std::string userName;
  std::string outDir;
  CLI::App* list = app.add_subcommand("list", "List the stored reports");
  storeOptions(list);
  CLI::App* show = app.add_subcommand("show", "Show one report");
  show->add_option("id", reportId, "Report id")->required();
  storeOptions(show);
  CLI::App* exportCommand =
      app.add_subcommand("export", "Write a report and its attachments to a folder");
  exportCommand->add_option("id", reportId, "Report id")->required();
  exportCommand->add_option("outdir", outDir, "Folder to write to")->required();
  storeOptions(exportCommand);

  CLI::App* user = app.add_subcommand("user", "Manage the dashboard's accounts");
  user->require_subcommand(1);
  CLI::App* userAdd = user->add_subcommand(
      "add", "Add an account; the password is read from the terminal or standard input");
  userAdd->add_option("name", userName, "User name")->required();
  storeOptions(userAdd);
  CLI::App* userRemove = user->add_subcommand("remove", "Remove an account and its sessions");
  userRemove->add_option("name", userName, "User name")->required();
  storeOptions(userRemove);
  CLI::App* userList = user->add_subcommand("list", "List the accounts");
  storeOptions(userList);

  CLI11_PARSE(app, argc, argv);

  if (user->parsed()) {
    std::unique_ptr<Store> store = openForOperator(data, database);
    if (!store) {
      return 1;
    }
    if (userAdd->parsed()) {
      return addUser(*store, userName, std::cin, std::cout, std::cerr);
    }
    if (userRemove->parsed()) {
      return removeUser(*store, userName, std::cout, std::cerr);
    }
    return listUsers(*store, std::cout, std::cerr);
  }
  if (list->parsed() || show->parsed() || exportCommand->parsed()) {
    std::unique_ptr<Store> store = openForOperator(data, database);
    if (!store) {
      return 1;
    }
    if (list->parsed()) {
      return listReports(*store, std::cout, std::cerr);
    }
    if (show->parsed()) {
      return showReport(*store, reportId, std::cout, std::cerr);
    }
    return exportReport(*store, reportId, outDir, std::cout, std::cerr);
  }
  return serve(serveArguments);
}
