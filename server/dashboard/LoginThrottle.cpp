#include "LoginThrottle.h"

#include <string>

namespace tessaline::server {

namespace {

std::string accountKey(std::string_view account) {
  return "account:" + std::string(account);
}
std::string addressKey(std::string_view address) {
  return "address:" + std::string(address);
}

}  // namespace

Result<bool> LoginThrottle::allowed(std::string_view account, std::string_view address) {
  const std::int64_t windowMs = std::chrono::milliseconds(window_).count();
  for (const std::string& key : {accountKey(account), addressKey(address)}) {
    Result<std::int64_t> failures = store_.loginFailures(key, windowMs);
    if (!failures) {
      return failures.error();
    }
    if (failures.value() >= maxFailures_) {
      return false;
    }
  }
  return true;
}

Result<Unit> LoginThrottle::failed(std::string_view account, std::string_view address) {
  const std::int64_t windowMs = std::chrono::milliseconds(window_).count();
  Result<Unit> counted = store_.addLoginFailure(accountKey(account), windowMs);
  return counted ? store_.addLoginFailure(addressKey(address), windowMs) : counted;
}

Result<Unit> LoginThrottle::succeeded(std::string_view account, std::string_view address) {
  Result<Unit> cleared = store_.clearLoginFailures(accountKey(account));
  return cleared ? store_.clearLoginFailures(addressKey(address)) : cleared;
}

}  // namespace tessaline::server
