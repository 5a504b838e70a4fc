#pragma once

#include <Tessaline/Export.h>

#include <chrono>
#include <cstddef>
#include <functional>

namespace tessaline::platform {

// The main queue. The thread that runs its tasks is the main thread. A host integrates it with its
// own event loop through an executor; without one, tasks wait in a FIFO until drain() or run().
class TESSALINE_EXPORT MainQueue {
 public:
  using Task = std::function<void()>;
  // Schedules a task on the host's loop; must never run it inline.
  using Executor = std::function<void(Task)>;

  // Queues a task; it runs on a later turn of the loop, never inside async().
  static void async(Task task);
  // Queues a task after a delay.
  static void asyncAfter(std::chrono::steady_clock::duration delay, Task task);

  // Hands every later task to the executor, after the tasks already waiting, in order. An empty
  // executor returns to the built-in FIFO.
  static void setExecutor(Executor executor);

  // Runs the tasks that are waiting now and those they queue, until none is left. Returns how
  // many ran.
  static std::size_t drain();
  // Runs tasks as they arrive until stop() is called.
  static void run();
  // Ends the run() in progress after its current task; does nothing when none is in progress.
  static void stop();
  // Runs tasks until the predicate holds or the time-out passes; true when the predicate held.
  static bool drainUntil(const std::function<bool()>& predicate,
                         std::chrono::steady_clock::duration timeout = std::chrono::seconds(30));

  // True on the thread while it runs a main-queue task (or inside drain/run).
  static bool isCurrent();
};

}  // namespace tessaline::platform
