#pragma once

#include <Tessaline/Cancellable.h>
#include <Tessaline/Error.h>

#include <platform/MainQueue.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tessaline {

// A deferred request: nothing happens until subscribe(), and each subscription runs its own
// exchange and receives exactly one outcome, either the value (onValue) followed by a normal
// completion (onCompletion with nullopt), or a failure (onCompletion with the Error). Cancelling
// or dropping the returned handle ends the exchange; after cancel() returns nothing more is
// delivered. Outcomes of an exchange arrive on the thread that runs it (the HTTP worker for the
// service client); a request created failed delivers its failure at once, on the subscribing
// thread. Exceptions thrown by the handlers are swallowed. Once delivered or cancelled, the
// handlers (and what they captured) are released on the main queue, never on the HTTP worker.
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
    state->handlers = Handlers{std::move(onValue), std::move(onCompletion)};
    Sink sink = [state](Result<T> outcome) {
      std::optional<Handlers> handlers = state->takeForDelivery();
      if (!handlers) {
        return;  // cancelled, or delivered already
      }
      if (!outcome) {
        complete(handlers->onCompletion, outcome.error());
      } else {
        try {
          if (handlers->onValue) {
            handlers->onValue(std::move(outcome).value());
          }
        } catch (...) {
        }
        if (!state->cancelled.load()) {  // the value handler may have cancelled
          complete(handlers->onCompletion, std::nullopt);
        }
      }
      releaseOnMainQueue(std::move(handlers));
    };
    auto exchange = std::make_shared<Cancellable>(start_(std::move(sink)));
    return Cancellable([state, exchange] {
      state->cancelled.store(true);
      exchange->cancel();
      releaseOnMainQueue(state->take());
    });
  }

 private:
  struct Handlers {
    OnValue onValue;
    OnCompletion onCompletion;
  };

  // The handlers live here until the outcome or the cancellation takes them, exactly once.
  struct SubscriptionState {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::optional<Handlers> handlers;

    // For the outcome: nothing once cancelled.
    std::optional<Handlers> takeForDelivery() {
      std::lock_guard lock(mutex);
      return cancelled.load() ? std::nullopt : std::exchange(handlers, std::nullopt);
    }
    std::optional<Handlers> take() {
      std::lock_guard lock(mutex);
      return std::exchange(handlers, std::nullopt);
    }
  };

  // What the subscriber captured is released on the main queue, whichever thread delivered.
  static void releaseOnMainQueue(std::optional<Handlers> handlers) {
    if (handlers) {
      platform::MainQueue::async([released = std::move(*handlers)] {});
    }
  }

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
