// The Qt event loop as the core's loop thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <memory>
#include <thread>

#include "common/gui/qt_dispatcher.h"
#include "tests/gui/gui_waits.h"

namespace orv {
namespace {

TEST(QtDispatcher, WorkersReachTheLoopThreadAndTasksDieWithTheLoop) {
  auto loop = std::make_unique<QtDispatcher>();
  EXPECT_TRUE(loop->isInLoopThread());
  const std::thread::id loopThread = std::this_thread::get_id();

  // A posted task and a synchronous one from a worker both run on the loop thread.
  std::atomic<int> ranOnLoop{0};
  std::atomic<bool> syncResult{false};
  std::thread worker([&] {
    EXPECT_FALSE(loop->isInLoopThread());
    loop->post([&] { ranOnLoop += std::this_thread::get_id() == loopThread; });
    syncResult = loop->runSync([&] { ranOnLoop += std::this_thread::get_id() == loopThread; });
  });
  EXPECT_TRUE(test::pumpUntil([&] { return ranOnLoop == 2; }, 5000));
  worker.join();
  EXPECT_TRUE(syncResult);

  // A task still queued when the loop goes away never runs.
  std::atomic<bool> late{false};
  loop->post([&] { late = true; });
  loop.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(late);
}

TEST(QtDispatcher, TimersTickOnlyWhileEnabled) {
  QtDispatcher loop;
  int ticks = 0;
  const Dispatcher::TimerId id = loop.addTimer(10, [&] { ++ticks; });
  test::pumpUntil([] { return false; }, 60);
  EXPECT_EQ(ticks, 0);
  loop.setTimerEnabled(id, true);
  EXPECT_TRUE(test::pumpUntil([&] { return ticks >= 3; }, 2000));
  loop.setTimerEnabled(id, false);
  const int stopped = ticks;
  test::pumpUntil([] { return false; }, 60);
  EXPECT_EQ(ticks, stopped);
}

}  // namespace
}  // namespace orv
