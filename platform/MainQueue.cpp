#include <platform/MainQueue.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace tessaline::platform {

namespace {

thread_local int mainDepth = 0;

struct DepthGuard {
  DepthGuard() { ++mainDepth; }
  ~DepthGuard() { --mainDepth; }
};

// Runs a task as main-queue work; exceptions never leave a task.
void runTask(const MainQueue::Task& task) {
  DepthGuard guard;
  try {
    task();
  } catch (...) {
  }
}

// The queue's state lives for the whole process: tasks can be queued from any thread at any time,
// also while static objects are being destroyed.
struct QueueState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<MainQueue::Task> tasks;
  MainQueue::Executor executor;
  // While setExecutor() hands the waiting tasks over, new ones queue behind them.
  bool handingOver = false;
  std::mutex handoverMutex;  // one setExecutor() at a time
  int activeRuns = 0;        // run() calls in progress; stop() ends one of them
  bool stopRequested = false;

  // Delayed tasks, handed to async() by one timer thread when they are due.
  std::multimap<std::chrono::steady_clock::time_point, MainQueue::Task> timers;
  std::condition_variable timersChanged;
  bool timerThreadStarted = false;
  std::thread timerThread;  // lives as long as the process, like the queue itself
};

QueueState& state() {
  static auto* instance = new QueueState();  // never destroyed, see above
  return *instance;
}

void timerLoop() {
  auto& s = state();
  std::unique_lock lock(s.mutex);
  for (;;) {
    if (s.timers.empty()) {
      s.timersChanged.wait(lock);
      continue;
    }
    const auto due = s.timers.begin()->first;
    if (std::chrono::steady_clock::now() < due) {
      s.timersChanged.wait_until(lock, due);
      continue;
    }
    auto task = std::move(s.timers.begin()->second);
    s.timers.erase(s.timers.begin());
    lock.unlock();
    MainQueue::async(std::move(task));
    lock.lock();
  }
}

}  // namespace

void MainQueue::async(Task task) {
  if (!task) {
    return;
  }
  auto& s = state();
  std::unique_lock lock(s.mutex);
  if (s.executor && !s.handingOver) {
    auto executor = s.executor;
    lock.unlock();
    executor([task = std::move(task)] { runTask(task); });
    return;
  }
  s.tasks.push_back(std::move(task));
  s.changed.notify_all();
}

void MainQueue::asyncAfter(std::chrono::steady_clock::duration delay, Task task) {
  if (!task) {
    return;
  }
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.timers.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
  if (!s.timerThreadStarted) {
    s.timerThreadStarted = true;
    s.timerThread = std::thread(timerLoop);
  }
  s.timersChanged.notify_all();
}

void MainQueue::setExecutor(Executor executor) {
  auto& s = state();
  std::lock_guard handover(s.handoverMutex);
  std::unique_lock lock(s.mutex);
  s.executor = std::move(executor);
  if (!s.executor) {
    return;
  }
  // The waiting tasks go first, in order; tasks queued meanwhile wait behind them. The executor is
  // called without the lock, since it may queue tasks itself.
  s.handingOver = true;
  while (!s.tasks.empty()) {
    std::deque<Task> waiting;
    waiting.swap(s.tasks);
    const auto current = s.executor;
    lock.unlock();
    for (auto& task : waiting) {
      current([task = std::move(task)] { runTask(task); });
    }
    lock.lock();
  }
  s.handingOver = false;
}

std::size_t MainQueue::drain() {
  auto& s = state();
  std::size_t ran = 0;
  DepthGuard guard;
  for (;;) {
    Task task;
    {
      std::lock_guard lock(s.mutex);
      if (s.tasks.empty()) {
        return ran;
      }
      task = std::move(s.tasks.front());
      s.tasks.pop_front();
    }
    runTask(task);
    ++ran;
  }
}

void MainQueue::run() {
  auto& s = state();
  DepthGuard guard;
  {
    std::lock_guard lock(s.mutex);
    ++s.activeRuns;
  }
  for (;;) {
    Task task;
    {
      std::unique_lock lock(s.mutex);
      s.changed.wait(lock, [&] { return s.stopRequested || !s.tasks.empty(); });
      if (s.stopRequested) {
        s.stopRequested = false;
        --s.activeRuns;
        return;
      }
      task = std::move(s.tasks.front());
      s.tasks.pop_front();
    }
    runTask(task);
  }
}

void MainQueue::stop() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.activeRuns > 0) {  // a stop with no run() in progress would end the next one at once
    s.stopRequested = true;
    s.changed.notify_all();
  }
}

bool MainQueue::drainUntil(const std::function<bool()>& predicate,
                           std::chrono::steady_clock::duration timeout) {
  auto& s = state();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  DepthGuard guard;
  for (;;) {
    drain();
    if (predicate()) {
      return true;
    }
    std::unique_lock lock(s.mutex);
    if (!s.changed.wait_until(lock, deadline, [&] { return !s.tasks.empty(); })) {
      lock.unlock();
      drain();
      return predicate();
    }
  }
}

bool MainQueue::isCurrent() {
  return mainDepth > 0;
}

}  // namespace tessaline::platform
