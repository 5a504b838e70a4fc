#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tessaline::platform {

namespace {

// One registered observer. `callers` lists the threads inside its callback right now, so that a
// cancellation can wait for them: once cancel() has returned, the observer is never called
// again and nothing it captured is in use (unless the cancelling thread is itself inside it).
struct Slot {
  std::string name;
  NotificationCenter::Observer observer;
  bool active = true;
  std::vector<std::thread::id> callers;
};

}  // namespace

struct NotificationCenter::State {
  std::mutex mutex;
  std::condition_variable callbackEnded;
  std::uint64_t lastId = 0;
  std::map<std::uint64_t, std::shared_ptr<Slot>> slots;

  void remove(std::uint64_t id) {
    // Released after the lock: an observer's captures may cancel other observers as they go.
    std::shared_ptr<Slot> slot;
    Observer released;
    std::unique_lock lock(mutex);
    const auto found = slots.find(id);
    if (found == slots.end()) {
      return;
    }
    slot = found->second;
    slot->active = false;
    slots.erase(found);
    const auto self = std::this_thread::get_id();
    callbackEnded.wait(lock, [&] {
      return std::all_of(slot->callers.begin(), slot->callers.end(),
                         [&](std::thread::id caller) { return caller == self; });
    });
    // Cancelled from inside its own callback: the running delivery still holds the slot and
    // releases the observer when it is done with it.
    if (slot->callers.empty()) {
      released = std::move(slot->observer);
    }
    lock.unlock();
  }

  // Calls the observers of the notification's name that are registered when delivery starts
  // and still registered when their turn comes.
  void deliver(const Notification& notification) {
    std::vector<std::shared_ptr<Slot>> targets;
    {
      std::lock_guard lock(mutex);
      for (const auto& [id, slot] : slots) {
        if (slot->name == notification.name) {
          targets.push_back(slot);
        }
      }
    }
    const auto self = std::this_thread::get_id();
    for (const auto& slot : targets) {
      const Observer* observer = nullptr;
      {
        std::lock_guard lock(mutex);
        if (!slot->active) {
          continue;
        }
        slot->callers.push_back(self);
        observer = &slot->observer;
      }
      try {
        (*observer)(notification);
      } catch (...) {
        // An observer's exception stays with the observer.
      }
      std::lock_guard lock(mutex);
      slot->callers.erase(std::find(slot->callers.begin(), slot->callers.end(), self));
      callbackEnded.notify_all();
    }
  }
};

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: notifications may be posted while static objects are being destroyed.
  static auto* center = new NotificationCenter();
  return *center;
}

Cancellable NotificationCenter::addObserver(std::string name, Observer observer) {
  if (!observer) {
    return Cancellable();
  }
  auto slot = std::make_shared<Slot>();
  slot->name = std::move(name);
  slot->observer = std::move(observer);
  std::uint64_t id = 0;
  {
    std::lock_guard lock(state_->mutex);
    id = ++state_->lastId;
    state_->slots.emplace(id, std::move(slot));
  }
  return Cancellable([weakState = std::weak_ptr<State>(state_), id] {
    if (const auto state = weakState.lock()) {
      state->remove(id);
    }
  });
}

void NotificationCenter::post(std::string name, std::any object) {
  Notification notification{std::move(name), std::move(object)};
  if (MainQueue::isCurrent()) {
    state_->deliver(notification);
    return;
  }
  MainQueue::async(
      [state = state_, notification = std::move(notification)] { state->deliver(notification); });
}

}  // namespace tessaline::platform
