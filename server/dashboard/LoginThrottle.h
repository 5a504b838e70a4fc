#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tessaline::server {

// Counts failed logins per account and per client address. After maxFailures failures within
// the window, that account or address is refused until the window has passed since its last
// failure; a success clears the account's and the address's count. Thread-safe.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LoginThrottle(int maxFailures = 5,
                         std::chrono::seconds window = std::chrono::minutes(15))
      : maxFailures_(maxFailures), window_(window) {}

  bool allowed(std::string_view account, std::string_view address);
  void failed(std::string_view account, std::string_view address);
  void succeeded(std::string_view account, std::string_view address);

 private:
  struct Failures {
    int count = 0;
    Clock::time_point last;
  };
  bool blocked(const std::string& key, Clock::time_point now);
  void count(const std::string& key, Clock::time_point now);

  static constexpr std::size_t kMaxEntries = 100000;  // bounds memory under a spray of names
  int maxFailures_;
  std::chrono::seconds window_;
  std::mutex mutex_;
  std::map<std::string, Failures, std::less<>> failures_;
};

}  // namespace tessaline::server
