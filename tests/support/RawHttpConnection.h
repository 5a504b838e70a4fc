#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tessaline::testing {

// A plain TCP connection to a server on loopback that sends raw bytes and reads answers one at a
// time, so a test sees exactly what goes over a kept-alive connection.
class RawHttpConnection {
 public:
  // From the given loopback source address (any 127.x.y.z), so a test can act as many clients.
  explicit RawHttpConnection(int port, const char* from = "127.0.0.1");
  ~RawHttpConnection();
  RawHttpConnection(const RawHttpConnection&) = delete;
  RawHttpConnection& operator=(const RawHttpConnection&) = delete;

  bool connected() const { return connected_; }
  bool send(std::string_view bytes);
  // The next whole answer (head and Content-Length body); empty when the connection ended
  // first or nothing came within the wait.
  std::string answer(std::chrono::milliseconds wait = std::chrono::seconds(20));
  // True once the server has closed the connection (what it sent before is dropped).
  bool closedByServer(std::chrono::milliseconds wait = std::chrono::seconds(20));

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

// The status of an answer, 0 when there is none; its body.
int statusOf(const std::string& answer);
std::string bodyOf(const std::string& answer);

}  // namespace tessaline::testing
