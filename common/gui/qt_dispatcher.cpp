#include "common/gui/qt_dispatcher.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>

#include "common/diag.h"

namespace orv {

QtDispatcher::QtDispatcher()
    : shared_(std::make_shared<Shared>()), loopThread_(std::this_thread::get_id()) {}

QtDispatcher::~QtDispatcher() {
  std::lock_guard lock(shared_->mutex);
  shared_->ended = true;
  shared_->done.notify_all();
}

void QtDispatcher::post(Task task) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->ended) return;
  }
  // A queued call on this object: dropped by Qt if the object is gone before it runs.
  QMetaObject::invokeMethod(
      this, [shared = shared_, task = std::move(task)] {
        {
          std::lock_guard lock(shared->mutex);
          if (shared->ended) return;
        }
        task();
      },
      Qt::QueuedConnection);
}

bool QtDispatcher::runSync(Task task) {
  if (isInLoopThread()) {
    task();
    return true;
  }
  auto ran = std::make_shared<bool>(false);
  std::shared_ptr<Shared> shared = shared_;
  post([shared, ran, task = std::move(task)] {
    task();
    std::lock_guard lock(shared->mutex);
    *ran = true;
    shared->done.notify_all();
  });
  std::unique_lock lock(shared->mutex);
  shared->done.wait(lock, [&] { return *ran || shared->ended; });
  return *ran;
}

bool QtDispatcher::isInLoopThread() const {
  return std::this_thread::get_id() == loopThread_;
}

Dispatcher::TimerId QtDispatcher::addTimer(uint32_t intervalMs, Task onTick) {
  auto timer = std::make_unique<QTimer>();
  timer->setInterval(static_cast<int>(intervalMs));
  QObject::connect(timer.get(), &QTimer::timeout, this, std::move(onTick));
  timers_.push_back(std::move(timer));
  return static_cast<TimerId>(timers_.size() - 1);
}

void QtDispatcher::setTimerEnabled(TimerId id, bool enabled) {
  if (id < 0 || static_cast<size_t>(id) >= timers_.size()) return;
  QTimer& timer = *timers_[static_cast<size_t>(id)];
  if (enabled && !timer.isActive()) timer.start();
  if (!enabled) timer.stop();
}

void QtDispatcher::watchSignals(std::initializer_list<int> signalNumbers,
                                std::function<void(int)> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signalNumbers) sigaddset(&set, s);
  signalFd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd_) {
    diagf("window: signalfd failed: %s", std::strerror(errno));
    return;
  }
  onSignal_ = std::move(onSignal);
  signalNotifier_ = std::make_unique<QSocketNotifier>(signalFd_.get(), QSocketNotifier::Read);
  QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    signalfd_siginfo info{};
    while (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
    }
  });
}

}  // namespace orv
