#pragma once

#include <Tessaline/Export.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tessaline::platform {

enum class QualityOfService { userInteractive, userInitiated, defaultQoS, utility, background };

// A private first-in-first-out queue with one worker thread. Destroying the queue lets the task
// that is running finish, drops the tasks that have not started, and joins the worker.
class TESSALINE_EXPORT SerialQueue {
 public:
  SerialQueue(std::string label, QualityOfService qos);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> task);
  const std::string& label() const;
  QualityOfService qualityOfService() const;
  // True on this queue's worker thread.
  bool isCurrent() const;

  // From now on the queue takes no tasks, drops those that have not started, and its destructor
  // does not wait for the running task: the worker ends by itself after it. For owners that must
  // not block (a step released on the main thread); the task must hold all it uses.
  void abandon();
  // Waits, at most `timeout`, until the workers of abandoned queues have all ended; true if they
  // have. For the end of a process or a test.
  static bool waitForAbandonedWorkers(std::chrono::milliseconds timeout);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tessaline::platform
