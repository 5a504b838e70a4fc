#include "AdminHttpServer.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace tessaline::server {

struct AdminHttpServer::Exchange {
  std::string body;
  bool tooLarge = false;
};

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

MHD_Result collect(void* target, MHD_ValueKind, const char* key, const char* value) {
  static_cast<NameValues*>(target)->emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

// The library decodes query values itself but leaves "+" alone.
MHD_Result collectQuery(void* target, MHD_ValueKind, const char* key, const char* value) {
  std::string text = value ? value : "";
  for (char& c : text) {
    if (c == '+')
      c = ' ';
  }
  static_cast<NameValues*>(target)->emplace_back(key ? key : "", std::move(text));
  return MHD_YES;
}

MHD_Result answer(MHD_Connection* connection, const AdminResponse& response) {
  MHD_Response* reply = nullptr;
  if (!response.file.empty()) {
    // Large attachments go out from the file, never whole in memory.
    const int fd = ::open(response.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      if (fd >= 0) {
        ::close(fd);
      }
      return answer(connection, {500, "text/plain; charset=utf-8", "Cannot read the file.\n"});
    }
    reply = MHD_create_response_from_fd(static_cast<std::uint64_t>(info.st_size), fd);
  } else {
    reply = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  if (!reply) {
    return MHD_NO;
  }
  MHD_add_response_header(reply, "Content-Type", response.contentType.c_str());
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(reply, name.c_str(), value.c_str());
  }
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued;
}

MHD_Result handle(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* uploadData, size_t* uploadSize, void** state) {
  auto& server = *static_cast<AdminHttpServer*>(context);
  if (!*state) {
    *state = new AdminHttpServer::Exchange();
    return MHD_YES;
  }
  auto& exchange = *static_cast<AdminHttpServer::Exchange*>(*state);
  if (*uploadSize > 0) {
    // Bodies are small forms; the rest of an oversized one is read and dropped.
    if (exchange.body.size() + *uploadSize > server.maxBodyBytes()) {
      exchange.tooLarge = true;
    } else {
      exchange.body.append(uploadData, *uploadSize);
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  AdminRequest request;
  request.method = method;
  request.path = url;
  request.tls = server.tls();
  request.bodyTooLarge = exchange.tooLarge;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &request.headers);
  MHD_get_connection_values(connection, MHD_COOKIE_KIND, collect, &request.cookies);
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectQuery, &request.query);
  const std::optional<std::string> type = request.header("Content-Type");
  if (type && strncasecmp(type->c_str(), "application/x-www-form-urlencoded", 33) == 0) {
    request.form = parseForm(exchange.body);
  }
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      info && info->client_addr) {
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    } else if (address->sa_family == AF_INET6) {
      const in6_addr& peer = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
      // An IPv4 client of a dual-stack socket is named as IPv4, as proxies are configured.
      if (IN6_IS_ADDR_V4MAPPED(&peer)) {
        inet_ntop(AF_INET, &peer.s6_addr[12], text, sizeof text);
      } else {
        inet_ntop(AF_INET6, &peer, text, sizeof text);
      }
    }
    request.remoteAddress = text;
  }
  AdminResponse response;
  try {
    response = server.handler()(request);
  } catch (const std::exception&) {
    response = AdminResponse{500, "text/plain; charset=utf-8", "Internal error\n"};
  }
  return answer(connection, response);
}

void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<AdminHttpServer::Exchange*>(*state);
  *state = nullptr;
}

Result<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) {
    return Error(Error::Kind::fileSystem, "cannot read " + path.string());
  }
  return text.str();
}

}  // namespace

std::optional<std::string> AdminRequest::first(const NameValues& values, std::string_view name) {
  for (const auto& [key, value] : values) {
    if (key == name) {
      return value;
    }
  }
  return std::nullopt;
}

std::optional<std::string> AdminRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

std::string formDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() + 0 && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

NameValues parseForm(std::string_view body) {
  NameValues values;
  while (!body.empty()) {
    const std::size_t end = body.find('&');
    const std::string_view pair = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
    if (pair.empty()) {
      continue;
    }
    const std::size_t equals = pair.find('=');
    values.emplace_back(
        formDecode(pair.substr(0, equals)),
        equals == std::string_view::npos ? std::string() : formDecode(pair.substr(equals + 1)));
  }
  return values;
}

Result<std::unique_ptr<AdminHttpServer>> AdminHttpServer::start(AdminHandler handler,
                                                                const AdminHttpOptions& options) {
  std::unique_ptr<AdminHttpServer> server(new AdminHttpServer());
  server->handler_ = std::move(handler);
  server->maxBodyBytes_ = options.maxBodyBytes;
  server->tls_ = options.certificate.has_value();

  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
  const std::string host = options.bind == "localhost" ? "127.0.0.1" : options.bind;
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(options.port));
    address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(options.port));
    address = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_DUAL_STACK;  // as the public listener: "::" takes IPv4 clients too
  } else {
    return Error(Error::Kind::process,
                 "the admin address " + options.bind + " is not an IP address");
  }
  if (server->tls_) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      return Error(Error::Kind::process, "this libmicrohttpd has no TLS");
    }
    Result<std::string> certificate = readFile(*options.certificate);
    Result<std::string> key = readFile(*options.privateKey);
    if (!certificate || !key) {
      return certificate ? key.error() : certificate.error();
    }
    server->certificatePem_ = std::move(certificate).value();
    server->keyPem_ = std::move(key).value();
    flags |= MHD_USE_TLS;
  }
  const unsigned timeout = static_cast<unsigned>(options.timeout.count());
  if (server->tls_) {
    server->daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, handle, server.get(), MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_THREAD_POOL_SIZE, options.threads, MHD_OPTION_CONNECTION_TIMEOUT, timeout,
        MHD_OPTION_NOTIFY_COMPLETED, completed, nullptr, MHD_OPTION_HTTPS_MEM_CERT,
        server->certificatePem_.c_str(), MHD_OPTION_HTTPS_MEM_KEY, server->keyPem_.c_str(),
        MHD_OPTION_END);
  } else {
    server->daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, handle, server.get(), MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_THREAD_POOL_SIZE, options.threads, MHD_OPTION_CONNECTION_TIMEOUT, timeout,
        MHD_OPTION_NOTIFY_COMPLETED, completed, nullptr, MHD_OPTION_END);
  }
  if (!server->daemon_) {
    return Error(Error::Kind::transport, "cannot listen on " + options.bind + ":" +
                                             std::to_string(options.port) + " for the dashboard");
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT);
  server->port_ = info ? info->port : options.port;
  return server;
}

AdminHttpServer::~AdminHttpServer() {
  if (daemon_) {
    MHD_stop_daemon(daemon_);
  }
}

}  // namespace tessaline::server
