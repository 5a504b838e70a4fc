#pragma once

#include <Tessaline/Cancellable.h>
#include <Tessaline/Error.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace tessaline {

// A deferred request: nothing happens until subscribe(), and each subscription runs its own
// exchange and receives exactly one outcome, either the value (onValue) followed by a normal
// completion (onCompletion with nullopt), or a failure (onCompletion with the Error). Cancelling
// or dropping the returned handle ends the exchange; after cancel() returns nothing more is
// delivered. Outcomes of an exchange arrive on the thread that runs it (the HTTP worker for the
// service client); a request created failed delivers its failure at once, on the subscribing
// thread. Exceptions thrown by the handlers are swallowed.
template <class T>
class Deferred {
 public:
  using OnValue = std::function<void(T)>;
  using OnCompletion = std::function<void(std::optional<Error>)>;
  // Receives the one outcome of an exchange.
  using Sink = std::function<void(Result<T>)>;
  // Starts one exchange that ends in the sink; the handle it returns ends the exchange, and once
  // its cancel() has returned the sink is not called.
  using Start = std::function<Cancellable(Sink)>;

  explicit Deferred(Start start) : start_(std::move(start)) {}

  // A request whose building failed.
  static Deferred failed(Error error) {
    Deferred deferred{Start()};
    deferred.failure_ = std::move(error);
    return deferred;
  }

  [[nodiscard]] Cancellable subscribe(OnValue onValue, OnCompletion onCompletion) const {
    if (failure_) {
      complete(onCompletion, failure_);
      return {};
    }
    if (!start_) {
      return {};
    }
    auto state = std::make_shared<SubscriptionState>();
    Sink sink = [onValue = std::move(onValue), onCompletion = std::move(onCompletion),
                 state](Result<T> outcome) {
      if (state->cancelled.load() || state->delivered.exchange(true)) {
        return;
      }
      if (!outcome) {
        complete(onCompletion, outcome.error());
        return;
      }
      try {
        if (onValue) {
          onValue(std::move(outcome).value());
        }
      } catch (...) {
      }
      if (!state->cancelled.load()) {  // the value handler may have cancelled
        complete(onCompletion, std::nullopt);
      }
    };
    auto exchange = std::make_shared<Cancellable>(start_(std::move(sink)));
    return Cancellable([state, exchange] {
      state->cancelled.store(true);
      exchange->cancel();
    });
  }

 private:
  struct SubscriptionState {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> delivered{false};
  };

  static void complete(const OnCompletion& onCompletion, std::optional<Error> error) {
    try {
      if (onCompletion) {
        onCompletion(std::move(error));
      }
    } catch (...) {
    }
  }

  Start start_;
  std::optional<Error> failure_;
};

}  // namespace tessaline
