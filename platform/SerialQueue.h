#pragma once

#include <Tessaline/Export.h>

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

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tessaline::platform
