#include "Dashboard.h"

#include "AttachmentViewer.h"
#include "DashboardAssets.h"
#include "OperatorCommands.h"
#include "Passwords.h"
#include "ReportExport.h"
#include "TextChecks.h"

#include <kainjow/mustache.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <set>

namespace tessaline::server {

namespace {

namespace mustache = kainjow::mustache;
using Json = nlohmann::ordered_json;

constexpr const char* kSessionCookie = "tessaline_session";
constexpr const char* kLoginCookie = "tessaline_login";
const std::vector<std::string> kStatuses = {"new", "triaged", "closed"};
constexpr std::size_t kMaxExport = 1000;
constexpr std::size_t kMaxNoteBytes = 16 * 1024;

// No script at all, no framing, nothing from elsewhere.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

AdminResponse textResponse(int status, const std::string& text) {
  return {status, "text/plain; charset=utf-8", text + "\n", {}};
}

AdminResponse jsonResponse(int status, const Json& body) {
  return {status,
          "application/json",
          body.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n",
          {}};
}

AdminResponse redirect(const std::string& location) {
  AdminResponse response{303, "text/plain; charset=utf-8", "", {{"Location", location}}};
  return response;
}

std::string urlEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += hex[c >> 4];
      encoded += hex[c & 15];
    }
  }
  return encoded;
}

// A report or attachment id as the store makes them; anything else is not looked up.
bool plausibleId(std::string_view id) {
  return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '-';
  });
}

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const std::size_t end = path.find('/');
    if (end != 0) {
      parts.emplace_back(path.substr(0, end));
    }
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
  }
  return parts;
}

// "2024-05-01" as milliseconds since the Unix epoch at the start of that day, UTC.
std::optional<std::int64_t> dayStartMs(const std::string& text) {
  std::tm day{};
  if (text.size() != 10 || !strptime(text.c_str(), "%Y-%m-%d", &day)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(timegm(&day)) * 1000;
}

std::string humanSize(std::int64_t bytes) {
  if (bytes < 1024)
    return std::to_string(bytes) + " bytes";
  if (bytes < 1024 * 1024)
    return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

std::string titled(std::int64_t id, const std::optional<std::string>& title) {
  return title ? *title : "#" + std::to_string(id);
}

mustache::data lineList(const std::vector<std::string>& lines) {
  mustache::data list{mustache::data::type::list};
  for (const std::string& line : lines) {
    list.push_back(mustache::data(line));
  }
  return list;
}

// Renders a page template; the header and footer come in as partials, so no template ever
// inserts text unescaped.
std::string render(std::string_view name, mustache::data& data) {
  auto partial = [](const char* asset) {
    return mustache::partial([asset] { return std::string(dashboardAsset(asset).value_or("")); });
  };
  data.set("header", partial("header.mustache"));
  data.set("footer", partial("footer.mustache"));
  mustache::mustache page{
      std::string(dashboardAsset(std::string(name) + ".mustache").value_or(""))};
  return page.render(data);
}

AdminResponse page(int status, std::string_view name, mustache::data& data) {
  return {status, "text/html; charset=utf-8", render(name, data), {}};
}

std::string sessionCookie(const std::string& value, std::int64_t maxAge, bool tls) {
  return std::string(kSessionCookie) + "=" + value +
         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge) +
         (tls ? "; Secure" : "");
}

Json rowJson(const ReportRow& row) {
  auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
  return {{"id", row.id},
          {"received", isoTime(row.receivedMs)},
          {"reasonId", row.reasonId},
          {"reasonTitle", optional(row.reasonTitle)},
          {"frequencyId", row.frequencyId},
          {"frequencyTitle", optional(row.frequencyTitle)},
          {"subject", row.subject},
          {"name", optional(row.name)},
          {"email", optional(row.email)},
          {"appVersion", optional(row.appVersion)},
          {"appBuild", optional(row.appBuild)},
          {"operatingSystem", optional(row.operatingSystem)},
          {"status", row.status},
          {"knownIssue", optional(row.knownIssue)}};
}

}  // namespace

struct Dashboard::Visitor {
  std::string tokenHash;
  Session session;
};

Dashboard::Dashboard(Store& store, const ServiceConfig& config, DashboardOptions options)
    : store_(store),
      config_(config),
      options_(std::move(options)),
      throttle_(store, options_.maxLoginFailures, options_.throttleWindow) {}

void Dashboard::log(const std::string& line) const {
  if (options_.log) {
    options_.log(line);
  }
}

// A database that cannot be reached now is a 503, as the service's API answers it; the next
// request connects again.
AdminResponse Dashboard::storeFailure(const Error& error, bool json,
                                      const std::string& message) const {
  log(message + " " + error.description());
  if (Store::isUnavailable(error)) {
    return json ? jsonResponse(503, {{"error", "the dashboard cannot reach its database now"}})
                : textResponse(503, "The database cannot be reached now. Try again shortly.");
  }
  return json ? jsonResponse(500, {{"error", "the store cannot be read"}})
              : textResponse(500, message);
}

// The connection's address, or behind a trusted proxy the address that proxy added last to
// X-Forwarded-For; what comes before it is the client's own word.
std::string Dashboard::clientAddress(const AdminRequest& request) const {
  const std::vector<std::string>& proxies = options_.trustedProxies;
  const std::optional<std::string> forwarded = request.header("X-Forwarded-For");
  if (!forwarded ||
      std::find(proxies.begin(), proxies.end(), request.remoteAddress) == proxies.end()) {
    return request.remoteAddress;
  }
  std::string_view last = *forwarded;
  if (const std::size_t comma = last.rfind(','); comma != std::string_view::npos) {
    last.remove_prefix(comma + 1);
  }
  while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) {
    last.remove_prefix(1);
  }
  while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) {
    last.remove_suffix(1);
  }
  const bool address =
      !last.empty() && last.size() <= 45 && std::all_of(last.begin(), last.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':';
      });
  return address ? std::string(last) : request.remoteAddress;
}

// The Host header's name (without its port) is localhost, 127.x.x.x or [::1]. Requests a trusted
// proxy forwards carry the proxy's idea of the host and are its to check.
bool Dashboard::namesAllowedHost(const AdminRequest& request) const {
  const std::vector<std::string>& proxies = options_.trustedProxies;
  if (!options_.loopbackHostsOnly ||
      std::find(proxies.begin(), proxies.end(), request.remoteAddress) != proxies.end()) {
    return true;
  }
  std::string host = request.header("Host").value_or("");
  if (host.starts_with("[")) {
    return host == "[::1]" || host.starts_with("[::1]:");
  }
  host = host.substr(0, host.find(':'));
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (host == "localhost") {
    return true;
  }
  return host.starts_with("127.") && std::count(host.begin(), host.end(), '.') == 3 &&
         host.find("..") == std::string::npos && host.back() != '.' &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
         });
}

AdminResponse Dashboard::handle(const AdminRequest& request) {
  AdminResponse response;
  if (!namesAllowedHost(request)) {
    response = textResponse(421, "This dashboard answers only to a loopback host name.");
  } else if (request.bodyTooLarge) {
    response = textResponse(413, "The form is too large.");
  } else {
    response = route(request);
  }
  response.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
  return response;
}

AdminResponse Dashboard::route(const AdminRequest& request) {
  const std::vector<std::string> parts = splitPath(request.path);
  const bool get = request.method == "GET" || request.method == "HEAD";
  const bool post = request.method == "POST";
  if (!get && !post) {
    return textResponse(405, "Method not allowed.");
  }
  if (get && parts.size() == 2 && parts[0] == "assets" && parts[1] == "style.css") {
    return {
        200, "text/css; charset=utf-8", std::string(dashboardAsset("style.css").value_or("")), {}};
  }
  if (get && parts.size() == 1 && parts[0] == "favicon.ico") {
    return {204, "image/x-icon", "", {}};
  }
  if (parts.size() == 1 && parts[0] == "login") {
    return post ? login(request) : loginPage(request, 200, "");
  }

  // Everything else needs a session.
  const bool api = !parts.empty() && parts[0] == "api";
  std::optional<Visitor> visitor;
  if (const std::optional<std::string> token = AdminRequest::first(request.cookies, kSessionCookie);
      token && token->size() == 64) {
    const std::string hash = passwords::tokenHash(*token);
    Result<std::optional<Session>> session = store_.session(hash);
    if (!session) {
      return storeFailure(session.error(), api, "The session cannot be read.");
    }
    if (session.value()) {
      visitor = Visitor{hash, *session.value()};
    }
  }
  if (!visitor) {
    if (api) {
      return jsonResponse(401, {{"error", "log in first"}});
    }
    return post ? textResponse(403, "Log in first.") : redirect("/login");
  }
  // A state-changing request carries the session's form token; a page elsewhere cannot know it.
  if (post) {
    const std::optional<std::string> csrf = AdminRequest::first(request.form, "csrf");
    if (!csrf || !passwords::sameToken(*csrf, visitor->session.csrfToken)) {
      log("refused a form without its token from " + clientAddress(request));
      return textResponse(403, "Forbidden: the form's token is missing or wrong; reload the page.");
    }
  }

  const std::vector<std::string> rest(parts.begin() + (api ? 1 : 0), parts.end());
  if (rest.empty() && get) {
    return reportList(request, *visitor, false);
  }
  if (rest.size() == 1 && rest[0] == "reports" && get) {
    return reportList(request, *visitor, api);
  }
  if (rest.size() == 1 && rest[0] == "logout" && post) {
    return logout(request, *visitor);
  }
  if (rest.size() == 1 && rest[0] == "export" && post) {
    return exportReports(request);
  }
  if (rest.size() >= 2 && rest[0] == "reports" && plausibleId(rest[1])) {
    if (rest.size() == 2 && get) {
      return reportPage(rest[1], *visitor, api);
    }
    if (rest.size() == 3 && post && !api) {
      return triage(rest[1], rest[2], request, *visitor);
    }
    if (rest.size() >= 4 && rest.size() <= 5 && get && !api && rest[2] == "attachments" &&
        plausibleId(rest[3])) {
      return attachmentPage(rest[1], rest[3], rest.size() == 5 ? rest[4] : "", request, *visitor);
    }
  }
  return api ? jsonResponse(404, {{"error", "not found"}}) : textResponse(404, "Not found.");
}

// --- Login

AdminResponse Dashboard::loginPage(const AdminRequest& request, int status,
                                   const std::string& problem) {
  // The login form is protected like the others: its token is also in a cookie only this
  // origin can set.
  std::string token = AdminRequest::first(request.cookies, kLoginCookie).value_or("");
  if (token.size() != 64) {
    token = passwords::randomToken();
  }
  mustache::data data;
  data.set("title", "Log in");
  data.set("csrf", token);
  data.set("problem", problem);
  data.set("hasProblem", !problem.empty());
  AdminResponse response = page(status, "login", data);
  response.headers.emplace_back("Set-Cookie", std::string(kLoginCookie) + "=" + token +
                                                  "; Path=/login; HttpOnly; SameSite=Strict; "
                                                  "Max-Age=3600" +
                                                  (request.tls ? "; Secure" : ""));
  return response;
}

AdminResponse Dashboard::login(const AdminRequest& request) {
  const std::optional<std::string> cookie = AdminRequest::first(request.cookies, kLoginCookie);
  const std::optional<std::string> csrf = AdminRequest::first(request.form, "csrf");
  if (!cookie || !csrf || !passwords::sameToken(*cookie, *csrf)) {
    return textResponse(403, "Forbidden: the form's token is missing or wrong; reload the page.");
  }
  // Names have at most 64 bytes; the cut bounds what the throttle keeps per attempt.
  const std::string name = AdminRequest::first(request.form, "name").value_or("").substr(0, 65);
  const std::string password = AdminRequest::first(request.form, "password").value_or("");
  const std::string address = clientAddress(request);
  Result<bool> allowed = throttle_.allowed(name, address);
  if (!allowed) {
    return storeFailure(allowed.error(), false, "The failed logins cannot be read.");
  }
  if (!allowed.value()) {
    log("login throttled for an account or address (" + address + ")");
    return loginPage(request, 429, "Too many failed attempts. Try again later.");
  }
  Result<std::optional<std::string>> hash = store_.passwordHash(name);
  if (!hash) {
    return storeFailure(hash.error(), false, "The account store cannot be read.");
  }
  bool verified = false;
  if (hash.value() && password.size() <= 1024) {
    verified = passwords::verify(password, *hash.value());
  } else {
    passwords::verifyNothing(std::string_view(password).substr(0, 1024));
  }
  if (!verified) {
    log("failed login from " + address);
    if (Result<Unit> counted = throttle_.failed(name, address); !counted) {
      return storeFailure(counted.error(), false, "The failed login cannot be counted.");
    }
    return loginPage(request, 401, "Wrong name or password.");
  }
  if (Result<Unit> cleared = throttle_.succeeded(name, address); !cleared) {
    return storeFailure(cleared.error(), false, "The failed logins cannot be cleared.");
  }
  const std::string token = passwords::randomToken();
  const std::int64_t lifetime = options_.sessionLifetime.count();
  Session session{name, passwords::randomToken(),
                  static_cast<std::int64_t>(std::time(nullptr) + lifetime) * 1000};
  if (Result<Unit> added = store_.addSession(passwords::tokenHash(token), session); !added) {
    return storeFailure(added.error(), false, "The session cannot be stored.");
  }
  AdminResponse response = redirect("/");
  response.headers.emplace_back("Set-Cookie", sessionCookie(token, lifetime, request.tls));
  return response;
}

AdminResponse Dashboard::logout(const AdminRequest& request, const Visitor& visitor) {
  if (Result<Unit> removed = store_.removeSession(visitor.tokenHash); !removed) {
    return storeFailure(removed.error(), false, "The session cannot be ended.");
  }
  AdminResponse response = redirect("/login");
  response.headers.emplace_back("Set-Cookie", sessionCookie("", 0, request.tls));
  return response;
}

// --- The report list

AdminResponse Dashboard::reportList(const AdminRequest& request, const Visitor& visitor,
                                    bool json) {
  auto value = [&](const char* name) -> std::optional<std::string> {
    std::optional<std::string> found = AdminRequest::first(request.query, name);
    if (found && found->empty()) {
      return std::nullopt;
    }
    return found;
  };
  ReportFilter filter;
  if (auto text = value("reason"))
    filter.reasonId = parseInteger(*text);
  if (auto text = value("frequency"))
    filter.frequencyId = parseInteger(*text);
  filter.appVersion = value("version");
  if (auto text = value("build"))
    filter.appBuild = parseInteger(*text);
  filter.operatingSystem = value("os");
  if (auto text = value("from"))
    filter.fromMs = dayStartMs(*text);
  if (auto text = value("to")) {
    if (std::optional<std::int64_t> start = dayStartMs(*text)) {
      filter.toMs = *start + 24 * 3600 * 1000;
    }
  }
  filter.status = value("status");
  filter.search = value("q").value_or("").substr(0, 500);
  if (auto text = value("after"))
    filter.after = parseInteger(*text);

  Result<ReportPage> found = store_.findReports(filter);
  if (!found) {
    return storeFailure(found.error(), json, "The reports cannot be read.");
  }
  std::string nextQuery;
  for (const char* name :
       {"q", "reason", "frequency", "version", "build", "os", "from", "to", "status"}) {
    if (auto text = value(name)) {
      nextQuery += std::string(name) + "=" + urlEncode(*text) + "&";
    }
  }
  if (found->next) {
    nextQuery += "after=" + std::to_string(*found->next);
  }
  if (json) {
    Json rows = Json::array();
    for (const ReportRow& row : found->rows) {
      rows.push_back(rowJson(row));
    }
    return jsonResponse(200, {{"count", found->count},
                              {"countCapped", found->countCapped},
                              {"next", found->next ? Json(*found->next) : Json(nullptr)},
                              {"reports", rows}});
  }

  mustache::data data;
  data.set("title", "Reports");
  data.set("user", visitor.session.userName);
  data.set("csrf", visitor.session.csrfToken);
  data.set("q", filter.search);
  data.set("version", filter.appVersion.value_or(""));
  data.set("build", value("build").value_or(""));
  data.set("os", filter.operatingSystem.value_or(""));
  data.set("from", value("from").value_or(""));
  data.set("to", value("to").value_or(""));
  auto options = [](const auto& choices, const std::optional<std::string>& selected) {
    mustache::data list{mustache::data::type::list};
    for (const auto& [id, title] : choices) {
      mustache::data option;
      option.set("value", id);
      option.set("title", title);
      option.set("selected", selected && *selected == id);
      list.push_back(option);
    }
    return list;
  };
  std::vector<std::pair<std::string, std::string>> reasons, frequencies, statuses;
  for (const auto& reason : config_.form.reasons) {
    reasons.emplace_back(std::to_string(reason.id), reason.title);
  }
  for (const auto& frequency : config_.form.frequencies) {
    frequencies.emplace_back(std::to_string(frequency.id), frequency.title);
  }
  for (const std::string& status : kStatuses) {
    statuses.emplace_back(status, status);
  }
  data.set("reasons", options(reasons, value("reason")));
  data.set("frequencies", options(frequencies, value("frequency")));
  data.set("statuses", options(statuses, filter.status));
  data.set("count", found->countCapped ? "At least " + std::to_string(found->count) + " reports"
                                       : std::to_string(found->count) +
                                             (found->count == 1 ? " report" : " reports"));
  mustache::data rows{mustache::data::type::list};
  for (const ReportRow& row : found->rows) {
    mustache::data item;
    item.set("id", row.id);
    item.set("received", isoTime(row.receivedMs).substr(0, 16).replace(10, 1, " "));
    item.set("reason", titled(row.reasonId, row.reasonTitle));
    item.set("frequency", titled(row.frequencyId, row.frequencyTitle));
    item.set("subject", row.subject.empty() ? "(no subject)" : row.subject);
    item.set("status", row.status);
    item.set("version", row.appVersion.value_or("") +
                            (row.appBuild ? " (" + std::to_string(*row.appBuild) + ")" : ""));
    item.set("os", row.operatingSystem.value_or(""));
    item.set("contact", row.name.value_or(row.email.value_or("")));
    rows.push_back(item);
  }
  data.set("reports", rows);
  data.set("empty", found->rows.empty());
  data.set("hasNext", found->next.has_value());
  data.set("next", "/?" + nextQuery);
  return page(200, "list", data);
}

// --- One report

AdminResponse Dashboard::reportPage(const std::string& id, const Visitor& visitor, bool json) {
  Result<std::optional<StoredReport>> found = store_.report(id);
  if (!found) {
    return storeFailure(found.error(), json, "The report cannot be read.");
  }
  if (!found.value()) {
    return json ? jsonResponse(404, {{"error", "no such report"}})
                : textResponse(404, "No such report.");
  }
  const StoredReport& report = *found.value();
  if (json) {
    return {200, "application/json", exportJson({report}), {}};
  }
  mustache::data data;
  data.set("title", report.subject.empty() ? "Report" : report.subject);
  data.set("user", visitor.session.userName);
  data.set("csrf", visitor.session.csrfToken);
  data.set("id", report.id);
  data.set("reportId", report.id);
  data.set("subject", report.subject.empty() ? "(no subject)" : report.subject);
  data.set("received", isoTime(report.receivedMs));
  data.set("reason", titled(report.reasonId, report.reasonTitle));
  data.set("frequency", titled(report.frequencyId, report.frequencyTitle));
  data.set("name", report.name.value_or("—"));
  data.set("email", report.email.value_or("—"));
  data.set("status", report.status);

  mustache::data messages{mustache::data::type::list};
  for (const std::string& message : report.messages) {
    mustache::data item;
    const std::size_t start = environmentSummaryStart(message);
    std::string_view typed = message;
    mustache::data summary{mustache::data::type::list};
    if (start != std::string::npos) {
      typed = std::string_view(message).substr(0, start);
      std::string_view rest = std::string_view(message).substr(start);
      while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty()) {
          continue;
        }
        const std::size_t colon = line.find(": ");
        mustache::data row;
        row.set("label", colon == std::string_view::npos ? std::string()
                                                         : std::string(line.substr(0, colon)));
        row.set("value",
                std::string(colon == std::string_view::npos ? line : line.substr(colon + 2)));
        summary.push_back(row);
      }
    }
    while (typed.ends_with('\n')) {
      typed.remove_suffix(1);
    }
    item.set("text", std::string(typed));
    item.set("summary", summary);
    item.set("hasSummary", start != std::string::npos);
    messages.push_back(item);
  }
  data.set("messages", messages);

  mustache::data attachments{mustache::data::type::list};
  for (const AttachmentRecord& attachment : report.attachments) {
    mustache::data item;
    item.set("id", attachment.id);
    item.set("name", attachment.name);
    item.set("size", humanSize(attachment.size));
    attachments.push_back(item);
  }
  data.set("attachments", attachments);
  data.set("hasAttachments", !report.attachments.empty());

  mustache::data statuses{mustache::data::type::list};
  for (const std::string& status : kStatuses) {
    mustache::data option;
    option.set("value", status);
    option.set("selected", status == report.status);
    statuses.push_back(option);
  }
  data.set("statuses", statuses);
  mustache::data issues{mustache::data::type::list};
  for (const KnownIssue& issue : config_.form.knownIssues) {
    mustache::data option;
    option.set("value", issue.id);
    option.set("title", issue.id + " — " + issue.message.substr(0, 80));
    option.set("selected", report.knownIssue == issue.id);
    issues.push_back(option);
  }
  data.set("issues", issues);
  data.set("knownIssue", report.knownIssue.value_or(""));
  data.set("hasKnownIssue", report.knownIssue.has_value());
  mustache::data notes{mustache::data::type::list};
  for (const ReportNote& note : report.notes) {
    mustache::data item;
    item.set("author", note.author);
    item.set("time", isoTime(note.createdMs));
    item.set("body", note.body);
    notes.push_back(item);
  }
  data.set("notes", notes);
  return page(200, "report", data);
}

AdminResponse Dashboard::attachmentPage(const std::string& reportId,
                                        const std::string& attachmentId, const std::string& action,
                                        const AdminRequest& request, const Visitor& visitor) {
  Result<std::optional<StoredReport>> found = store_.report(reportId);
  if (!found) {
    return storeFailure(found.error(), false, "The report cannot be read.");
  }
  const AttachmentRecord* record = nullptr;
  if (found.value()) {
    for (const AttachmentRecord& attachment : found.value()->attachments) {
      if (attachment.id == attachmentId) {
        record = &attachment;
      }
    }
  }
  if (!record) {
    return textResponse(404, "No such attachment.");
  }
  Result<std::shared_ptr<const AttachmentFile>> stored = store_.attachmentFile(record->id);
  if (!stored) {
    return storeFailure(stored.error(), false, "The attachment cannot be read.");
  }
  const std::filesystem::path file = stored.value()->path;
  if (action == "download") {
    // The stored name is one safe path component; quotes and non-ASCII are replaced for the
    // header, the full name goes in the RFC 5987 form.
    std::string ascii;
    for (char c : record->name) {
      ascii += (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') ? c : '_';
    }
    AdminResponse response{
        200,
        "application/octet-stream",
        "",
        {{"Content-Disposition",
          "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + urlEncode(record->name)}}};
    response.file = file;
    response.fileOwner = stored.value();
    return response;
  }
  if (action == "image") {
    const std::optional<std::string> type = checkedImageType(file);
    if (!type) {
      return textResponse(404, "Not an image.");
    }
    AdminResponse response{200, *type, "", {{"Content-Disposition", "inline"}}};
    response.file = file;
    response.fileOwner = stored.value();
    return response;
  }

  mustache::data data;
  data.set("title", record->name);
  data.set("user", visitor.session.userName);
  data.set("csrf", visitor.session.csrfToken);
  data.set("reportId", reportId);
  data.set("reportSubject",
           found.value()->subject.empty() ? "(no subject)" : found.value()->subject);
  data.set("id", record->id);
  data.set("name", record->name);
  data.set("size", humanSize(record->size));
  if (action == "entry") {
    const std::optional<std::int64_t> index =
        parseInteger(AdminRequest::first(request.query, "index").value_or(""));
    const std::optional<ArchiveText> entry =
        index && *index >= 0 && *index < static_cast<std::int64_t>(AttachmentView::kMaxEntries)
            ? viewArchiveEntry(file, static_cast<int>(*index))
            : std::nullopt;
    if (!entry) {
      return textResponse(404, "No such file in the archive.");
    }
    data.set("entryName", entry->name);
    data.set("isEntry", true);
    data.set("lines", lineList(entry->lines));
    data.set("hasLines", !entry->lines.empty());
    data.set("note", entry->note);
    return page(200, "attachment", data);
  }
  if (!action.empty()) {
    return textResponse(404, "Not found.");
  }
  const AttachmentView view = viewAttachment(*record, file);
  using Kind = AttachmentView::Kind;
  data.set("kind", std::string(view.kind == Kind::text           ? "text"
                               : view.kind == Kind::json         ? "JSON"
                               : view.kind == Kind::archive      ? "archive"
                               : view.kind == Kind::crashReports ? "crash reports"
                               : view.kind == Kind::image        ? "image"
                                                                 : "download only"));
  data.set("lines", lineList(view.lines));
  data.set("hasLines", !view.lines.empty());
  data.set("isImage", view.kind == Kind::image);
  data.set("note", view.note);
  mustache::data entries{mustache::data::type::list};
  for (const AttachmentView::Entry& entry : view.entries) {
    mustache::data item;
    item.set("index", std::to_string(entry.index));
    item.set("name", entry.name);
    entries.push_back(item);
  }
  data.set("entries", entries);
  data.set("isArchive", view.kind == Kind::archive);
  mustache::data parts{mustache::data::type::list};
  for (const AttachmentView::Part& part : view.parts) {
    mustache::data item;
    item.set("name", part.name);
    item.set("lines", lineList(part.lines));
    item.set("note", part.note);
    parts.push_back(item);
  }
  data.set("parts", parts);
  data.set("isCrashReports", view.kind == Kind::crashReports);
  return page(200, "attachment", data);
}

// --- Triage and export

AdminResponse Dashboard::triage(const std::string& id, const std::string& action,
                                const AdminRequest& request, const Visitor& visitor) {
  Result<bool> changed = false;
  const std::string value = AdminRequest::first(request.form, "value").value_or("");
  if (action == "status") {
    if (std::find(kStatuses.begin(), kStatuses.end(), value) == kStatuses.end()) {
      return textResponse(400, "Unknown status.");
    }
    changed = store_.setStatus(id, value);
  } else if (action == "issue") {
    const auto& issues = config_.form.knownIssues;
    const bool known = std::any_of(issues.begin(), issues.end(),
                                   [&](const KnownIssue& issue) { return issue.id == value; });
    if (!value.empty() && !known) {
      return textResponse(400, "Unknown issue.");
    }
    changed = store_.setKnownIssue(id, value.empty() ? std::nullopt : std::optional(value));
  } else if (action == "notes") {
    if (value.empty() || value.size() > kMaxNoteBytes || !isValidUtf8(value)) {
      return textResponse(400, "A note is between 1 byte and 16 KiB of UTF-8 text.");
    }
    changed = store_.addNote(id, visitor.session.userName, value);
  } else {
    return textResponse(404, "Not found.");
  }
  if (!changed) {
    return storeFailure(changed.error(), false, "The report cannot be changed.");
  }
  if (!changed.value()) {
    return textResponse(404, "No such report.");
  }
  log(visitor.session.userName + " changed " + action + " of report " + id);
  return redirect("/reports/" + id);
}

AdminResponse Dashboard::exportReports(const AdminRequest& request) {
  std::vector<std::string> ids;
  for (const auto& [name, value] : request.form) {
    if (name == "id" && plausibleId(value) && ids.size() < kMaxExport) {
      ids.push_back(value);
    }
  }
  const std::string format = AdminRequest::first(request.form, "format").value_or("json");
  if (ids.empty()) {
    return textResponse(400, "Select the reports to export.");
  }
  std::vector<StoredReport> reports;
  for (const std::string& id : ids) {
    Result<std::optional<StoredReport>> found = store_.report(id);
    if (!found) {
      return storeFailure(found.error(), false, "The reports cannot be read.");
    }
    if (found.value()) {
      reports.push_back(std::move(*found.value()));
    }
  }
  const bool csv = format == "csv";
  return {200,
          csv ? "text/csv; charset=utf-8" : "application/json",
          csv ? exportCsv(reports) : exportJson(reports),
          {{"Content-Disposition",
            std::string("attachment; filename=\"reports.") + (csv ? "csv" : "json") + "\""}}};
}

}  // namespace tessaline::server
