#pragma once

#include <Tessaline/Export.h>

#include <functional>
#include <utility>

namespace tessaline {

// A subscription handle: cancels its subscription when cancelled or destroyed. Cancelling twice,
// or after the publisher is gone, does nothing.
class TESSALINE_EXPORT Cancellable {
 public:
  Cancellable() = default;
  explicit Cancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Cancellable(Cancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Cancellable& operator=(Cancellable&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Cancellable(const Cancellable&) = delete;
  Cancellable& operator=(const Cancellable&) = delete;
  ~Cancellable() { cancel(); }

  void cancel() {
    if (auto cancel = std::exchange(cancel_, nullptr)) {
      cancel();
    }
  }

 private:
  std::function<void()> cancel_;
};

}  // namespace tessaline
