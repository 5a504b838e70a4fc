#pragma once

#include <Tessaline/Cancellable.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tessaline {

namespace detail {

// The subscriber list shared by a publisher and its handles. Handles hold it weakly, so a
// handle that outlives its publisher cancels nothing. Callbacks run without the lock held, so a
// subscriber may subscribe, cancel or publish again from inside its callback.
template <class... Args>
class SubscriberList {
 public:
  using Callback = std::function<void(const Args&...)>;

  std::uint64_t add(Callback callback) {
    std::lock_guard lock(mutex_);
    const auto id = ++lastId_;
    entries_.push_back({id, std::make_shared<Callback>(std::move(callback))});
    return id;
  }

  void remove(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
  }

  // Calls every subscriber present when the emission starts and still subscribed when its turn
  // comes. A nested emission from a callback supersedes this one: the remaining subscribers get
  // the newer value from the nested emission instead of a stale one after it.
  void emit(const Args&... args) {
    std::vector<Entry> snapshot;
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      snapshot = entries_;
      generation = ++generation_;
    }
    for (const auto& entry : snapshot) {
      {
        std::lock_guard lock(mutex_);
        if (generation != generation_) {
          return;
        }
        const bool present = std::any_of(entries_.begin(), entries_.end(),
                                         [&](const Entry& e) { return e.id == entry.id; });
        if (!present) {
          continue;
        }
      }
      (*entry.callback)(args...);
    }
  }

 private:
  struct Entry {
    std::uint64_t id;
    std::shared_ptr<Callback> callback;
  };

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t lastId_ = 0;
  std::uint64_t generation_ = 0;
};

template <class List>
Cancellable makeCancellable(const std::shared_ptr<List>& list, std::uint64_t id) {
  return Cancellable([weak = std::weak_ptr<List>(list), id] {
    if (auto strong = weak.lock()) {
      strong->remove(id);
    }
  });
}

}  // namespace detail

// A change signal without a value, such as an observable object's objectWillChange.
class Signal {
 public:
  Signal() = default;
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  Cancellable connect(std::function<void()> callback) {
    return detail::makeCancellable(list_, list_->add(std::move(callback)));
  }
  void emit() { list_->emit(); }

 private:
  std::shared_ptr<detail::SubscriberList<>> list_ = std::make_shared<detail::SubscriberList<>>();
};

// A published property: every assignment announces itself on the owner's change signal, stores
// the value and then delivers it to every subscriber, on the thread that assigns, also when the
// new value equals the old one. A new subscriber receives the current value at once.
//
// An assignment made by a subscriber while a value is being delivered supersedes that value: the
// subscribers not yet reached receive only the newer value, never the older one after it. Every
// subscriber therefore ends on the newest value, but not every subscriber sees every value.
template <class T>
class Published {
 public:
  explicit Published(T initial = T(), Signal* willChange = nullptr)
      : value_(std::move(initial)), willChange_(willChange) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // A copy of the current value.
  T get() const {
    std::lock_guard lock(*valueMutex_);
    return value_;
  }
  T operator()() const { return get(); }

  void set(T value) {
    if (willChange_ != nullptr) {
      willChange_->emit();
    }
    {
      std::lock_guard lock(*valueMutex_);
      value_ = value;
    }
    subscribers_->emit(value);
  }

  // Edits a copy of the current value in place and assigns it back (one announcement).
  template <class F>
  void modify(F&& edit) {
    T copy = get();
    std::forward<F>(edit)(copy);
    set(std::move(copy));
  }

  // The change stream: the current value at once, then every later value.
  Cancellable subscribe(std::function<void(const T&)> callback) const {
    auto shared = std::make_shared<std::function<void(const T&)>>(std::move(callback));
    auto handle = detail::makeCancellable(
        subscribers_, subscribers_->add([shared](const T& value) { (*shared)(value); }));
    (*shared)(get());
    return handle;
  }

 private:
  std::unique_ptr<std::mutex> valueMutex_ = std::make_unique<std::mutex>();
  T value_;
  Signal* willChange_;
  std::shared_ptr<detail::SubscriberList<T>> subscribers_ =
      std::make_shared<detail::SubscriberList<T>>();
};

}  // namespace tessaline
