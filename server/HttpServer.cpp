#include "HttpServer.h"

#include <httplib.h>

namespace tessaline::server {

namespace {

ServiceRequest toServiceRequest(const httplib::Request& request) {
  ServiceRequest converted;
  converted.method = request.method;
  converted.path = request.path;
  for (const auto& [name, value] : request.params) {
    converted.query.emplace_back(name, value);
  }
  for (const auto& [name, value] : request.headers) {
    converted.headers.emplace_back(name, value);
  }
  return converted;
}

const char* statusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 408:
      return "request timed out";
    case 413:
      return "request body too large";
    case 414:
      return "request URI too long";
    case 415:
      return "unsupported media type";
    case 431:
      return "request headers too large";
    default:
      return status >= 500 ? "internal error" : "request refused";
  }
}

// The most of a refused body that is read and dropped before the connection is closed.
constexpr std::uint64_t kDrainLimit = 1024 * 1024;

void answer(httplib::Response& response, const ServiceResponse& serviceResponse) {
  response.status = serviceResponse.status;
  response.set_content(serviceResponse.body, "application/json; charset=utf-8");
}

}  // namespace

Result<std::unique_ptr<HttpServer>> HttpServer::create(ServiceCore& core,
                                                       const HttpOptions& options) {
  std::unique_ptr<HttpServer> server(new HttpServer());
  if (options.certificate) {
    auto tls = std::make_unique<httplib::SSLServer>(options.certificate->c_str(),
                                                    options.privateKey->c_str());
    if (!tls->is_valid()) {
      return Error(Error::Kind::fileSystem, "cannot load the certificate " +
                                                options.certificate->string() + " or the key " +
                                                options.privateKey->string());
    }
    server->server_ = std::move(tls);
  } else {
    server->server_ = std::make_unique<httplib::Server>();
  }
  httplib::Server& http = *server->server_;

  const std::size_t threads = options.threads;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http.set_read_timeout(options.readTimeout);
  http.set_write_timeout(options.writeTimeout);
  http.set_keep_alive_timeout(options.keepAliveTimeout.count());
  http.set_keep_alive_max_count(options.keepAliveMaxCount);
  http.set_payload_max_length(options.payloadMaxLength);

  // Requests that carry no body of ours are judged before httplib reads anything.
  http.set_pre_routing_handler(
      [&core](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "POST") {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        if (core.refuseEarly(toServiceRequest(request))) {
          answer(response, core.handle(toServiceRequest(request)));
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  http.Get(".*", [&core](const httplib::Request& request, httplib::Response& response) {
    answer(response, core.handle(toServiceRequest(request)));
  });
  // Bodies are streamed to the core, never buffered here.
  http.Post(".*", [&core](const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) {
    ServiceRequest converted = toServiceRequest(request);
    // Without a length or chunked coding a request has no body (httplib would wait for the
    // connection to close instead).
    const bool hasBody =
        request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
    bool bodyRead = false;
    if (hasBody) {
      converted.body = [&reader, &bodyRead](const BodySink& sink) {
        bodyRead = true;
        // Once the core stops taking the body, the rest is read (bounded) and dropped, so the
        // client can finish sending and read the answer instead of a reset connection.
        bool refused = false;
        std::uint64_t drained = 0;
        const bool complete = reader([&](const char* data, std::size_t length) {
          if (!refused && sink(std::string_view(data, length))) {
            return true;
          }
          refused = true;
          drained += length;
          return drained <= kDrainLimit;
        });
        return complete && !refused;
      };
    }
    const ServiceResponse result = core.handle(converted);
    if (hasBody && !bodyRead) {
      // A refusal the client may still be sending a body for: read a bounded amount of it, so
      // the answer is not lost to a reset connection. A larger body is cut off; the connection
      // then closes (httplib ends it after a failed read).
      std::uint64_t drained = 0;
      reader([&drained](const char*, std::size_t length) {
        drained += length;
        return drained <= kDrainLimit;
      });
    }
    // After the drain, which sets a status of its own when it stops.
    answer(response, result);
  });
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) {
      answer(response, ServiceCore::errorResponse(response.status, statusText(response.status)));
    }
  });
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, ServiceCore::errorResponse(500, "internal error"));
      });

  if (options.port == 0) {
    server->port_ = http.bind_to_any_port(options.bind);
  } else {
    server->port_ = http.bind_to_port(options.bind, options.port) ? options.port : -1;
  }
  if (server->port_ <= 0) {
    return Error(Error::Kind::transport,
                 "cannot listen on " + options.bind + " port " + std::to_string(options.port));
  }
  return server;
}

HttpServer::~HttpServer() = default;

bool HttpServer::run() {
  return server_->listen_after_bind();
}

void HttpServer::stop() {
  server_->stop();
}

}  // namespace tessaline::server
