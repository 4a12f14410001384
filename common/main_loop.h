#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "common/dispatcher.h"
#include "common/unique_fd.h"

namespace orv {

// The headless "GUI thread": a task queue woken by an eventfd, periodic timers and, optionally,
// signals read through a signalfd. run() serves them on the calling thread until quit().
class MainLoop final : public Dispatcher {
 public:
  MainLoop();
  ~MainLoop() override;

  // Blocks `signalNumbers` for the calling thread and every thread it starts later. Call it in
  // main() before any thread exists, then watchSignals() delivers them to the loop.
  static void blockSignals(std::initializer_list<int> signalNumbers);
  // Handles the given (blocked) signals on the loop thread. Loop thread, before run().
  void watchSignals(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal);

  // Serves tasks, timers and signals until quit(). The calling thread becomes the loop thread.
  // A quit() that came before run() (a worker failing during start-up) ends it at once.
  void run();
  // Safe to call from any thread.
  void quit();

  void post(Task task) override;
  bool runSync(Task task) override;
  bool isInLoopThread() const override;
  TimerId addTimer(uint32_t intervalMs, Task onTick) override;
  void setTimerEnabled(TimerId id, bool enabled) override;

 private:
  struct Timer {
    uint32_t intervalMs;
    Task onTick;
    bool enabled = false;
    uint32_t next = 0;
  };

  void wake();
  void runPending();
  int runDueTimers();  // returns ms until the next due timer, -1 when none

  UniqueFd wakeFd_;
  UniqueFd signalFd_;
  std::function<void(int)> onSignal_;
  std::mutex mutex_;
  std::deque<Task> pending_;
  bool ended_ = false;  // run() has returned; guarded by mutex_
  std::vector<Timer> timers_;
  std::atomic<bool> quit_{false};
  std::atomic<std::thread::id> loopThread_;
};

}  // namespace orv
