#pragma once

#include "ServiceConfig.h"
#include "Store.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tessaline::server {

struct ServiceOptions {
  std::uint64_t maxUploadBytes = 64 * 1024 * 1024;
  std::uint64_t maxReportBytes = 1024 * 1024;
  // Receives one line per stored report and per refused request; may be empty.
  std::function<void(const std::string&)> log;
};

// Hands the body's bytes to the sink chunk by chunk, in order, until the sink returns false.
// Returns true when the whole body was delivered.
using BodySink = std::function<bool(std::string_view chunk)>;
using BodyReader = std::function<bool(const BodySink& sink)>;

// One request, already split by the HTTP layer.
struct ServiceRequest {
  std::string method;
  std::string path;                                          // decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded names and values
  std::vector<std::pair<std::string, std::string>> headers;  // names in any letter case
  BodyReader body;                                           // empty when there is none

  // The value of the header, names compared without regard to letter case.
  std::optional<std::string_view> header(std::string_view name) const;
  // A reader that hands over the given bytes in one piece.
  static BodyReader bodyOf(std::string bytes);
};

// The answer: a status and a JSON body. An error body is {"error": "..."} and nothing else, so
// it never decodes as one of the client's answer records.
struct ServiceResponse {
  int status = 200;
  std::string body;
};

// A request whose body is read: the HTTP layer hands over the body's bytes in order, then takes
// the answer.
class ServiceExchange {
 public:
  virtual ~ServiceExchange() = default;
  // False once the rest of the body is not wanted (the answer is then a refusal).
  virtual bool take(std::string_view chunk) = 0;
  // complete: the whole body arrived.
  virtual ServiceResponse finish(bool complete) = 0;
};

// The four endpoints under /v1, independent of the HTTP library: the HTTP layer passes each
// request in and writes the answer out. Thread-safe; requests may be handled concurrently.
class ServiceCore {
 public:
  ServiceCore(ServiceConfig config, Store& store, ServiceOptions options);

  // What can be judged before the body is read: route, method, headers, declared size and
  // query. Gives the answer when the request is refused; the body then need not be read.
  std::optional<ServiceResponse> refuseEarly(const ServiceRequest& request) const;
  // Handles the whole request, reading its body as it goes.
  ServiceResponse handle(const ServiceRequest& request);
  // The same, for a body that arrives later: the answer at once (the body, if any, is not
  // wanted), or the exchange that takes the body. The request's own body is not read.
  std::variant<ServiceResponse, std::unique_ptr<ServiceExchange>> begin(
      const ServiceRequest& request);

  static ServiceResponse errorResponse(int status, const std::string& message);

 private:
  ServiceResponse updateCheck(const ServiceRequest& request) const;
  ServiceResponse logged(const ServiceRequest& request, ServiceResponse response) const;
  void log(const std::string& line) const;

  friend class PostExchange;
  friend class UploadExchange;
  friend class ReportExchange;

  ServiceConfig config_;
  Store& store_;
  ServiceOptions options_;
};

}  // namespace tessaline::server
