#pragma once

#include <Tessaline/Cancellable.h>
#include <Tessaline/Export.h>

#include <any>
#include <functional>
#include <memory>
#include <string>

namespace tessaline::platform {

struct Notification {
  std::string name;
  std::any object;  // for example a tessaline::Feedback value
};

// The process-wide notification center. Observers are called on the main queue: synchronously
// when post() runs there, otherwise in a task queued on it.
class TESSALINE_EXPORT NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  // Observes notifications of one name; the handle removes the observer.
  Cancellable addObserver(std::string name, Observer observer);
  void post(std::string name, std::any object);

 private:
  NotificationCenter();
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tessaline::platform
