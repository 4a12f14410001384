#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/dispatcher.h"
#include "common/unique_fd.h"

namespace orv {

// The Qt event loop as the programs' loop thread: posted tasks run as queued calls, timers are
// QTimers, and blocked signals arrive through a signalfd watched by the loop. Construct it on the
// thread that runs QApplication::exec().
class QtDispatcher final : public QObject, public Dispatcher {
  Q_OBJECT

 public:
  QtDispatcher();
  // Tasks not yet run are dropped; runSync callers waiting for them get false.
  ~QtDispatcher() override;

  void post(Task task) override;
  bool runSync(Task task) override;
  bool isInLoopThread() const override;
  TimerId addTimer(uint32_t intervalMs, Task onTick) override;
  void setTimerEnabled(TimerId id, bool enabled) override;

  // Delivers the given signals, which must be blocked in every thread (MainLoop::blockSignals),
  // to `onSignal` on the loop thread.
  void watchSignals(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal);

 private:
  // What queued tasks hold: once the dispatcher is gone they neither run nor keep anyone waiting.
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool ended = false;
  };

  std::shared_ptr<Shared> shared_;
  std::thread::id loopThread_;
  std::vector<std::unique_ptr<QTimer>> timers_;
  UniqueFd signalFd_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  std::function<void(int)> onSignal_;
};

}  // namespace orv
