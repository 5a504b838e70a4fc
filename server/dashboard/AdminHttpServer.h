#pragma once

#include <Tessaline/Error.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace tessaline::server {

using NameValues = std::vector<std::pair<std::string, std::string>>;

// One request to the admin listener, already decoded.
struct AdminRequest {
  std::string method;
  std::string path;
  NameValues query;    // decoded, in order; a name may repeat
  NameValues form;     // an application/x-www-form-urlencoded body, decoded
  NameValues headers;  // names in any letter case
  NameValues cookies;
  std::string remoteAddress;
  bool tls = false;
  bool bodyTooLarge = false;

  // The first value of a name; nothing when absent.
  static std::optional<std::string> first(const NameValues& values, std::string_view name);
  std::optional<std::string> header(std::string_view name) const;
};

struct AdminResponse {
  AdminResponse() = default;
  AdminResponse(int status, std::string contentType, std::string body, NameValues headers = {})
      : status(status),
        contentType(std::move(contentType)),
        body(std::move(body)),
        headers(std::move(headers)) {}

  int status = 200;
  std::string contentType = "text/html; charset=utf-8";
  std::string body;
  NameValues headers;          // never text from a request: header values must hold no line breaks
  std::filesystem::path file;  // when set, the body is this file's content, sent from disk
  std::shared_ptr<const void> fileOwner;  // keeps a temporary file until it is opened
};

using AdminHandler = std::function<AdminResponse(const AdminRequest&)>;

struct AdminHttpOptions {
  std::string bind = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  std::optional<std::filesystem::path> certificate;
  std::optional<std::filesystem::path> privateKey;
  unsigned threads = 4;
  std::size_t maxBodyBytes = 256 * 1024;
  std::chrono::seconds timeout{30};
};

// The admin listener on libmicrohttpd: the only file that knows that library. Requests run on
// its thread pool and are handed to the handler whole (bodies are small forms).
class AdminHttpServer {
 public:
  // Listens at once; serves until destroyed.
  static Result<std::unique_ptr<AdminHttpServer>> start(AdminHandler handler,
                                                        const AdminHttpOptions& options);
  ~AdminHttpServer();
  AdminHttpServer(const AdminHttpServer&) = delete;
  AdminHttpServer& operator=(const AdminHttpServer&) = delete;

  int port() const { return port_; }

  // Used by the library's callbacks.
  struct Exchange;
  const AdminHandler& handler() const { return handler_; }
  std::size_t maxBodyBytes() const { return maxBodyBytes_; }
  bool tls() const { return tls_; }

 private:
  AdminHttpServer() = default;
  AdminHandler handler_;
  std::size_t maxBodyBytes_ = 0;
  bool tls_ = false;
  std::string certificatePem_;
  std::string keyPem_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
};

// Percent-decoding of one form or query component ("+" is a blank).
std::string formDecode(std::string_view text);
NameValues parseForm(std::string_view body);

}  // namespace tessaline::server
