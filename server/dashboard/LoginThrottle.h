#pragma once

#include "Store.h"

#include <chrono>
#include <string_view>

namespace tessaline::server {

// Counts failed logins per account and per client address in the store, so every instance on a
// shared store counts them together. After maxFailures failures within the window, that account
// or address is refused until the window has passed since its last failure; a success clears the
// account's and the address's count. Thread-safe.
class LoginThrottle {
 public:
  explicit LoginThrottle(Store& store, int maxFailures = 5,
                         std::chrono::seconds window = std::chrono::minutes(15))
      : store_(store), maxFailures_(maxFailures), window_(window) {}

  Result<bool> allowed(std::string_view account, std::string_view address);
  Result<Unit> failed(std::string_view account, std::string_view address);
  Result<Unit> succeeded(std::string_view account, std::string_view address);

 private:
  Store& store_;
  int maxFailures_;
  std::chrono::seconds window_;
};

}  // namespace tessaline::server
