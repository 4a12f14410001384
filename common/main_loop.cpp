#include "common/main_loop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "common/diag.h"
#include "common/ticks.h"

namespace orv {

MainLoop::MainLoop()
    : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), loopThread_(std::this_thread::get_id()) {}

MainLoop::~MainLoop() = default;

void MainLoop::blockSignals(std::initializer_list<int> signalNumbers) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signalNumbers) sigaddset(&set, s);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void MainLoop::watchSignals(std::initializer_list<int> signalNumbers,
                            std::function<void(int)> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signalNumbers) sigaddset(&set, s);
  signalFd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd_) diagf("main loop: signalfd failed: %s", std::strerror(errno));
  onSignal_ = std::move(onSignal);
}

void MainLoop::wake() {
  uint64_t one = 1;
  ssize_t r = ::write(wakeFd_.get(), &one, sizeof one);
  (void)r;  // a full counter already means "wake up"
}

void MainLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    // After run() has ended nothing would run the task: dropping it at once lets a runSync()
    // caller return false instead of waiting for the loop's destruction.
    if (ended_) return;
    pending_.push_back(std::move(task));
  }
  wake();
}

bool MainLoop::runSync(Task task) {
  if (isInLoopThread()) {
    task();
    return true;
  }
  if (quit_.load()) return false;
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  post([task = std::move(task), done] {
    task();
    done->set_value();
  });
  try {
    finished.get();  // a loop destroyed with the task still queued breaks the promise
    return true;
  } catch (const std::future_error&) {
    return false;
  }
}

bool MainLoop::isInLoopThread() const {
  return loopThread_.load() == std::this_thread::get_id();
}

Dispatcher::TimerId MainLoop::addTimer(uint32_t intervalMs, Task onTick) {
  timers_.push_back(Timer{intervalMs == 0 ? 1 : intervalMs, std::move(onTick)});
  return static_cast<TimerId>(timers_.size() - 1);
}

void MainLoop::setTimerEnabled(TimerId id, bool enabled) {
  if (id < 0 || static_cast<size_t>(id) >= timers_.size()) return;
  Timer& t = timers_[static_cast<size_t>(id)];
  if (enabled && !t.enabled) t.next = ticks() + t.intervalMs;
  t.enabled = enabled;
}

void MainLoop::quit() {
  quit_.store(true);
  wake();
}

void MainLoop::runPending() {
  std::deque<Task> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(pending_);
  }
  for (Task& t : tasks) t();
}

int MainLoop::runDueTimers() {
  int wait = -1;
  for (size_t i = 0; i < timers_.size(); ++i) {
    if (!timers_[i].enabled) continue;
    uint32_t now = ticks();
    // Signed difference: a due time slightly in the past is "due", not 49 days away.
    int32_t untilDue = static_cast<int32_t>(timers_[i].next - now);
    if (untilDue <= 0) {
      timers_[i].next = now + timers_[i].intervalMs;
      Task tick = timers_[i].onTick;  // the tick may add timers and so move timers_
      tick();
      untilDue = static_cast<int32_t>(timers_[i].intervalMs);
      if (!timers_[i].enabled) continue;
    }
    if (wait < 0 || untilDue < wait) wait = untilDue;
  }
  return wait;
}

void MainLoop::run() {
  loopThread_.store(std::this_thread::get_id());
  {
    std::lock_guard lock(mutex_);
    ended_ = false;
  }
  while (!quit_.load()) {
    runPending();
    if (quit_.load()) break;
    int wait = runDueTimers();
    pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {signalFd_.get(), POLLIN, 0}};
    nfds_t count = signalFd_ ? 2 : 1;
    {
      std::lock_guard lock(mutex_);
      if (!pending_.empty()) wait = 0;
    }
    int r = ::poll(fds, count, wait);
    if (r < 0 && errno != EINTR) {
      diagf("main loop: poll failed: %s", std::strerror(errno));
      break;
    }
    if (r > 0 && (fds[0].revents & POLLIN)) {
      uint64_t value;
      ssize_t n = ::read(wakeFd_.get(), &value, sizeof value);
      (void)n;
    }
    if (r > 0 && count == 2 && (fds[1].revents & POLLIN)) {
      signalfd_siginfo info{};
      while (::read(signalFd_.get(), &info, sizeof info) == sizeof info) {
        if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
      }
    }
  }
  runPending();
  std::deque<Task> late;
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    late.swap(pending_);
  }
  // Tasks posted during the last round are dropped; their runSync() callers get false.
}

}  // namespace orv
