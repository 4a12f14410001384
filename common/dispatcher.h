#pragma once

#include <cstdint>
#include <functional>

namespace orv {

// The way into the thread that owns the server's long-lived objects (the "GUI thread"): the
// headless main loop, or the window's event loop.
class Dispatcher {
 public:
  using Task = std::function<void()>;
  using TimerId = int;

  virtual ~Dispatcher() = default;

  // Queues a task for the loop thread. Safe to call from any thread; never waits.
  virtual void post(Task task) = 0;
  // Runs the task on the loop thread and waits for it; inline when called on the loop thread.
  // Only for questions to an operator: worker threads never wait on the loop otherwise.
  // Returns false when the loop is gone and the task did not run.
  virtual bool runSync(Task task) = 0;
  virtual bool isInLoopThread() const = 0;

  // A periodic timer run on the loop thread; it starts disabled. Loop thread only.
  virtual TimerId addTimer(uint32_t intervalMs, Task onTick) = 0;
  virtual void setTimerEnabled(TimerId id, bool enabled) = 0;
};

}  // namespace orv
