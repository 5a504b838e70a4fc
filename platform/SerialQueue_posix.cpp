#include <platform/SerialQueue.h>

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tessaline::platform {

// Shared by the queue and its worker, so the worker never touches freed memory.
struct SerialQueue::State {
  std::string label;
  QualityOfService qos;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;
  bool abandoned = false;
  std::thread worker;
  std::thread::id workerId;
};

namespace {

// The workers of abandoned queues that still run.
struct AbandonedWorkers {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t running = 0;
};

AbandonedWorkers& abandonedWorkers() {
  static auto* instance = new AbandonedWorkers();  // used by workers until the process ends
  return *instance;
}

// A template, so that it works on the queue's private state without naming it.
template <class State>
void workerLoop(const std::shared_ptr<State>& state);

}  // namespace

SerialQueue::SerialQueue(std::string label, QualityOfService qos)
    : state_(std::make_shared<State>()) {
  state_->label = std::move(label);
  state_->qos = qos;
  std::lock_guard lock(state_->mutex);
  state_->worker = std::thread([state = state_] { workerLoop(state); });
  state_->workerId = state_->worker.get_id();
  // Thread names are limited to 15 bytes; they make the queue visible in debuggers.
  pthread_setname_np(state_->worker.native_handle(), state_->label.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue() {
  std::deque<std::function<void()>> dropped;  // destroyed outside the lock
  bool abandoned = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    abandoned = state_->abandoned;
    dropped.swap(state_->tasks);
  }
  state_->changed.notify_all();
  if (abandoned) {
    // The worker only touches the shared state, which it keeps alive; it counts itself out.
    state_->worker.detach();
  } else if (std::this_thread::get_id() == state_->workerId) {
    // Destroyed by its own task: the worker ends by itself after that task and only touches the
    // shared state, which it keeps alive.
    state_->worker.detach();
  } else {
    state_->worker.join();
  }
}

void SerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) {
      return;
    }
    state_->tasks.push_back(std::move(task));
  }
  state_->changed.notify_one();
}

const std::string& SerialQueue::label() const {
  return state_->label;
}

QualityOfService SerialQueue::qualityOfService() const {
  return state_->qos;
}

bool SerialQueue::isCurrent() const {
  std::lock_guard lock(state_->mutex);
  return std::this_thread::get_id() == state_->workerId;
}

void SerialQueue::abandon() {
  std::deque<std::function<void()>> dropped;  // destroyed outside the lock
  {
    std::lock_guard lock(state_->mutex);
    if (state_->abandoned) {
      return;
    }
    {
      // Counted before the worker can see the flag, so it never counts itself out first.
      auto& workers = abandonedWorkers();
      std::lock_guard counted(workers.mutex);
      ++workers.running;
    }
    state_->abandoned = true;
    state_->stopping = true;
    dropped.swap(state_->tasks);
  }
  state_->changed.notify_all();
}

bool SerialQueue::waitForAbandonedWorkers(std::chrono::milliseconds timeout) {
  auto& workers = abandonedWorkers();
  std::unique_lock lock(workers.mutex);
  return workers.ended.wait_for(lock, timeout, [&] { return workers.running == 0; });
}

namespace {

template <class State>
void workerLoop(const std::shared_ptr<State>& state) {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(state->mutex);
      state->changed.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
      if (state->stopping) {
        break;
      }
      task = std::move(state->tasks.front());
      state->tasks.pop_front();
    }
    try {
      task();
    } catch (...) {
      // Exceptions never cross a queue boundary.
    }
  }
  std::unique_lock lock(state->mutex);
  if (state->abandoned) {
    lock.unlock();
    auto& workers = abandonedWorkers();
    std::lock_guard counted(workers.mutex);
    --workers.running;
    workers.ended.notify_all();
  }
}

}  // namespace

}  // namespace tessaline::platform
