// Starts the real ORV_Serv --headless and drives it with signals.

#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;

TEST(ServerLifecycle, ReloadsOnSighupAndStopsCleanlyOnSigterm) {
  test::TempDir dir;
  dir.write("ORV_Serv.ini", "[GPRS1]\nPort=0\nLogOn=1\n[Client0]\nId=Bank\n");
  test::Process server(ORV_SERV_PATH, {"--headless", "--dir", dir.path().string()});
  ASSERT_TRUE(server.waitForLine("running: 1 GPRS lines, 1 output items", kWaitMs))
      << server.output();

  // The reload must see a changed file.
  dir.write("ORV_Serv.ini", "[GPRS1]\nPort=0\n[GPRS2]\nPort=0\n");
  server.signal(SIGHUP);
  ASSERT_TRUE(server.waitForLine("reloading the configuration", kWaitMs)) << server.output();
  ASSERT_TRUE(server.waitForLine("running: 2 GPRS lines, 0 output items", kWaitMs))
      << server.output();
  ASSERT_TRUE(server.waitForLine("configuration reloaded", kWaitMs)) << server.output();

  server.signal(SIGTERM);
  std::optional<int> code = server.waitExit(kWaitMs);
  ASSERT_TRUE(code.has_value()) << server.output();
  EXPECT_EQ(*code, 0) << server.output();
  EXPECT_NE(server.output().find("shutdown complete"), std::string::npos) << server.output();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Orv_Serv0"));
}

TEST(ServerLifecycle, StopsOnSigint) {
  test::TempDir dir;
  test::Process server(ORV_SERV_PATH, {"--headless", "--dir", dir.path().string()});
  ASSERT_TRUE(server.waitForLine("running:", kWaitMs)) << server.output();
  server.signal(SIGINT);
  std::optional<int> code = server.waitExit(kWaitMs);
  ASSERT_TRUE(code.has_value()) << server.output();
  EXPECT_EQ(*code, 0) << server.output();
}

TEST(ServerLifecycle, WithoutADisplayTheServerSaysSoAndRunsHeadless) {
  test::TempDir dir;
  test::Process server(ORV_SERV_PATH, {"--dir", dir.path().string()},
                       {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  ASSERT_TRUE(server.waitForLine("no display", kWaitMs)) << server.output();
  ASSERT_TRUE(server.waitForLine("running:", kWaitMs)) << server.output();
  server.signal(SIGTERM);
  EXPECT_EQ(server.waitExit(kWaitMs), 0) << server.output();
}

// The window build serves the same signals through the window's event loop.
TEST(ServerLifecycle, WithAWindowSignalsReloadAndStopAsHeadless) {
  test::TempDir dir;
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=0\n");
  test::Process server(ORV_SERV_PATH, {"--dir", dir.path().string()},
                       {"QT_QPA_PLATFORM=offscreen"});
  ASSERT_TRUE(server.waitForLine("running: 1 GPRS lines", kWaitMs)) << server.output();
  EXPECT_EQ(server.output().find("headless"), std::string::npos) << server.output();
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=0\n[GPRS1]\nPort=0\n");
  server.signal(SIGHUP);
  ASSERT_TRUE(server.waitForLine("running: 2 GPRS lines", kWaitMs)) << server.output();
  server.signal(SIGTERM);
  EXPECT_EQ(server.waitExit(kWaitMs), 0) << server.output();
  EXPECT_NE(server.output().find("shutdown complete"), std::string::npos) << server.output();
}

TEST(ServerLifecycle, RefusesAMissingProgramDirectory) {
  test::TempDir dir;
  test::Process server(ORV_SERV_PATH, {"--headless", "--dir", (dir / "absent").string()});
  std::optional<int> code = server.waitExit(kWaitMs);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 2);
  EXPECT_NE(server.output().find("does not exist"), std::string::npos) << server.output();
}

}  // namespace
}  // namespace orv
