#pragma once

#include "AdminHttpServer.h"
#include "LoginThrottle.h"
#include "ServiceConfig.h"
#include "Store.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tessaline::server {

struct DashboardOptions {
  std::chrono::seconds sessionLifetime = std::chrono::hours(8);
  int maxLoginFailures = 5;
  std::chrono::seconds throttleWindow = std::chrono::minutes(15);
  std::function<void(const std::string&)> log;  // may be empty
  // Peers (canonical IP addresses) whose X-Forwarded-For names the client: a proxy in front.
  std::vector<std::string> trustedProxies;
  // A dashboard on loopback answers only requests that name a loopback host, so a page from
  // elsewhere cannot reach it through a name it rebinds to 127.0.0.1.
  bool loopbackHostsOnly = false;
};

// The triage dashboard and its JSON API: login, the report list with filters and search, a
// report with its attachments, triage and export. Every page renders report text as text
// through templates that escape it; no page runs script. Thread-safe.
class Dashboard {
 public:
  Dashboard(Store& store, const ServiceConfig& config, DashboardOptions options);
  AdminResponse handle(const AdminRequest& request);

 private:
  struct Visitor;
  AdminResponse route(const AdminRequest& request);
  AdminResponse loginPage(const AdminRequest& request, int status, const std::string& problem);
  AdminResponse login(const AdminRequest& request);
  AdminResponse logout(const AdminRequest& request, const Visitor& visitor);
  AdminResponse reportList(const AdminRequest& request, const Visitor& visitor, bool json);
  AdminResponse reportPage(const std::string& id, const Visitor& visitor, bool json);
  AdminResponse attachmentPage(const std::string& reportId, const std::string& attachmentId,
                               const std::string& action, const AdminRequest& request,
                               const Visitor& visitor);
  AdminResponse triage(const std::string& id, const std::string& action,
                       const AdminRequest& request, const Visitor& visitor);
  AdminResponse exportReports(const AdminRequest& request);
  AdminResponse storeFailure(const Error& error, bool json, const std::string& message) const;
  std::string clientAddress(const AdminRequest& request) const;
  bool namesAllowedHost(const AdminRequest& request) const;
  void log(const std::string& line) const;

  Store& store_;
  const ServiceConfig& config_;
  DashboardOptions options_;
  LoginThrottle throttle_;
};

}  // namespace tessaline::server
