#include "LoginThrottle.h"

#include <iterator>

namespace tessaline::server {

namespace {

std::string accountKey(std::string_view account) {
  return "account:" + std::string(account);
}
std::string addressKey(std::string_view address) {
  return "address:" + std::string(address);
}

}  // namespace

bool LoginThrottle::blocked(const std::string& key, Clock::time_point now) {
  const auto found = failures_.find(key);
  if (found == failures_.end()) {
    return false;
  }
  if (now - found->second.last >= window_) {
    failures_.erase(found);
    return false;
  }
  return found->second.count >= maxFailures_;
}

void LoginThrottle::count(const std::string& key, Clock::time_point now) {
  if (failures_.size() >= kMaxEntries) {
    // Forget entries whose window has passed; if none has, the oldest-named half.
    std::erase_if(failures_, [&](const auto& entry) { return now - entry.second.last >= window_; });
    if (failures_.size() >= kMaxEntries) {
      failures_.erase(failures_.begin(), std::next(failures_.begin(), kMaxEntries / 2));
    }
  }
  Failures& entry = failures_[key];
  if (now - entry.last >= window_) {
    entry.count = 0;
  }
  ++entry.count;
  entry.last = now;
}

bool LoginThrottle::allowed(std::string_view account, std::string_view address) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = Clock::now();
  const bool accountBlocked = blocked(accountKey(account), now);
  const bool addressBlocked = blocked(addressKey(address), now);
  return !accountBlocked && !addressBlocked;
}

void LoginThrottle::failed(std::string_view account, std::string_view address) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = Clock::now();
  count(accountKey(account), now);
  count(addressKey(address), now);
}

void LoginThrottle::succeeded(std::string_view account, std::string_view address) {
  std::lock_guard lock(mutex_);
  failures_.erase(accountKey(account));
  failures_.erase(addressKey(address));
}

}  // namespace tessaline::server
