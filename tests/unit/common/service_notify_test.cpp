// The watchdog is petted by the main loop itself: a loop that hangs stops petting.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/main_loop.h"
#include "common/service_notify.h"
#include "tests/support/notify_socket.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ServiceWatchdog, PettedWhileTheLoopRunsAndNotWhileItIsBlocked) {
  if (!ServiceNotifier::supported()) GTEST_SKIP() << "built without libsystemd";
  test::TempDir dir;
  test::NotifySocket socket(dir / "notify");
  ::setenv("NOTIFY_SOCKET", (dir / "notify").c_str(), 1);
  ::setenv("WATCHDOG_USEC", "100000", 1);  // petted every 50 ms
  ServiceNotifier service;  // sd_notify() reads NOTIFY_SOCKET at every call
  ASSERT_EQ(service.watchdogIntervalMs(), 50u);

  MainLoop loop;
  loop.setTimerEnabled(loop.addTimer(service.watchdogIntervalMs(), [&] { service.petWatchdog(); }),
                       true);
  const Clock::time_point start = Clock::now();
  std::thread runner([&] {
    loop.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    loop.post([] {});  // the loop runs on after the block
    loop.run();
  });
  // The block starts at once; pets before it are not looked for. After it the loop pets again.
  std::vector<double> at;  // ms since start
  while (at.size() < 5) {
    const std::string m = socket.receive(5000);
    ASSERT_FALSE(m.empty()) << "the watchdog was not petted after the block";
    if (m == "WATCHDOG=1") {
      at.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  loop.quit();
  runner.join();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  // Nothing came while the loop was blocked.
  EXPECT_GE(at.front(), 290.0);
}

}  // namespace
}  // namespace orv
