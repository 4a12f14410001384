#include "common/main_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace orv {
namespace {

class MainLoopTest : public testing::Test {
 protected:
  // run() has no time-out of its own: a timer ends a test that would otherwise hang.
  void run() {
    MainLoop::TimerId watchdog = loop.addTimer(10000, [this] {
      timedOut = true;
      loop.quit();
    });
    loop.setTimerEnabled(watchdog, true);
    loop.run();
    ASSERT_FALSE(timedOut) << "the loop did not quit in time";
  }

  MainLoop loop;
  bool timedOut = false;
};

TEST_F(MainLoopTest, PostedTasksRunInOrderOnTheLoopThread) {
  std::vector<int> order;
  bool allInLoop = true;
  std::jthread worker([&] {
    for (int i = 0; i < 100; ++i) {
      loop.post([&, i] {
        allInLoop = allInLoop && loop.isInLoopThread();
        order.push_back(i);
      });
    }
    loop.post([&] { loop.quit(); });
  });
  run();
  worker.join();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_TRUE(allInLoop);
}

TEST_F(MainLoopTest, RunSyncFromAWorkerWaitsForTheTask) {
  std::atomic<int> seenAfterReturn{0};
  std::atomic<bool> ok{false}, ranInLoop{false}, workerIsLoop{true};
  std::jthread worker([&] {
    int value = 0;
    workerIsLoop = loop.isInLoopThread();
    ok = loop.runSync([&] {
      ranInLoop = loop.isInLoopThread();
      value = 42;
    });
    seenAfterReturn = value;
    loop.quit();
  });
  run();
  worker.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(ranInLoop);
  EXPECT_FALSE(workerIsLoop);
  EXPECT_EQ(seenAfterReturn, 42);
}

TEST_F(MainLoopTest, RunSyncOnTheLoopThreadRunsInline) {
  std::vector<std::string> steps;
  loop.post([&] {
    steps.push_back("before");
    EXPECT_TRUE(loop.runSync([&] { steps.push_back("inline"); }));
    steps.push_back("after");
    loop.quit();
  });
  run();
  EXPECT_EQ(steps, (std::vector<std::string>{"before", "inline", "after"}));
}

TEST_F(MainLoopTest, QuitFromAnotherThreadEndsRun) {
  std::latch running(1);
  loop.post([&] { running.count_down(); });
  std::jthread worker([&] {
    running.wait();
    loop.quit();
  });
  run();
}

// A worker that fails while the program is still starting may quit before run() is entered.
TEST_F(MainLoopTest, QuitBeforeRunIsNotLostAndQueuedTasksStillRun) {
  bool ran = false;
  std::jthread([&] {
    loop.post([&] { ran = true; });
    loop.quit();
  }).join();
  run();
  EXPECT_TRUE(ran);
  // The loop is over: a question to it is refused instead of waiting for ever.
  bool asked = false;
  std::jthread([&] { EXPECT_FALSE(loop.runSync([&] { asked = true; })); }).join();
  EXPECT_FALSE(asked);
}

// A question posted while the loop ends its last round is refused at once, not kept until the
// loop is destroyed.
TEST_F(MainLoopTest, RunSyncAfterTheLoopEndedReturnsAtOnce) {
  loop.post([&] { loop.quit(); });
  run();
  std::atomic<bool> answered{false};
  std::jthread worker([&] {
    EXPECT_FALSE(loop.runSync([] {}));
    answered = true;
  });
  worker.join();
  EXPECT_TRUE(answered);
}

TEST_F(MainLoopTest, EnabledTimersTickRepeatedlyAndDisabledOnesNever) {
  int ticks = 0, disabledTicks = 0, selfStopping = 0, addedTicks = 0;
  MainLoop::TimerId never = loop.addTimer(1, [&] { ++disabledTicks; });
  MainLoop::TimerId once = loop.addTimer(1, [&] {
    ++selfStopping;
    loop.setTimerEnabled(once, false);
  });
  MainLoop::TimerId repeating = loop.addTimer(1, [&] {
    if (++ticks == 1) {
      // Adding timers from a tick grows the timer list while the loop walks it.
      for (int i = 0; i < 16; ++i) loop.addTimer(1, [] {});
      loop.setTimerEnabled(loop.addTimer(1, [&] { ++addedTicks; }), true);
    }
    if (ticks == 5) loop.quit();
  });
  loop.setTimerEnabled(never, true);
  loop.setTimerEnabled(never, false);
  loop.setTimerEnabled(once, true);
  loop.setTimerEnabled(repeating, true);
  loop.setTimerEnabled(12345, true);  // unknown ids are ignored
  run();
  EXPECT_EQ(ticks, 5);
  EXPECT_EQ(disabledTicks, 0);
  EXPECT_EQ(selfStopping, 1);
  EXPECT_GE(addedTicks, 1);
}

TEST_F(MainLoopTest, WatchedSignalRunsTheHandlerOnTheLoopThread) {
  // Blocked before any thread exists, so that every thread inherits the mask and the signal
  // can only be taken through the loop's signalfd.
  MainLoop::blockSignals({SIGUSR1});
  std::vector<int> received;
  bool inLoop = false;
  loop.watchSignals({SIGUSR1}, [&](int signo) {
    received.push_back(signo);
    inLoop = loop.isInLoopThread();
    loop.quit();
  });
  std::jthread raiser([] { ::kill(::getpid(), SIGUSR1); });
  run();
  raiser.join();

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  const timespec none{0, 0};
  while (sigtimedwait(&set, nullptr, &none) == SIGUSR1) {
  }  // a signal the loop missed must not kill the test binary when unblocked
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

  EXPECT_EQ(received, std::vector<int>{SIGUSR1});
  EXPECT_TRUE(inLoop);
}

}  // namespace
}  // namespace orv
