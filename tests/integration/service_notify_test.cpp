// ORV_Serv under systemd's notification protocol (Type=notify), without systemd: the test holds
// the NOTIFY_SOCKET itself.

#include <signal.h>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/service_notify.h"
#include "tests/support/notify_socket.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;

class ServiceNotify : public testing::Test {
 protected:
  void SetUp() override {
    if (!ServiceNotifier::supported()) GTEST_SKIP() << "built without libsystemd";
  }
  void start(const std::string& ini, std::vector<std::string> env = {}) {
    dir_.write("ORV_Serv.ini", ini);
    env.push_back(socket_.environment());
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()}, env);
  }
  void TearDown() override {
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    EXPECT_NE(socket_.waitFor("STOPPING=1", kWaitMs), "");
  }

  test::TempDir dir_;
  test::NotifySocket socket_{dir_ / "notify"};
  std::unique_ptr<test::Process> server_;
};

TEST_F(ServiceNotify, ReadyOnlyOnceTheListenersAreUpWithATakenPortNamed) {
  LineSocket holder;  // another program has the TcpDrv port
  const uint16_t taken = test::freePort();
  ASSERT_EQ(holder.listen(taken, "test"), 0);
  const uint16_t modules = test::freePort(), out = test::freePort(), sia = test::freePort();
  start("[GPRS0]\nPort=" + std::to_string(modules) + "\n[Out]\nPort=" + std::to_string(out) +
        "\n[Client0]\nId=Bank\n[TcpDrv]\nPort=" + std::to_string(taken) +
        "\n[SiaIp]\nPort=" + std::to_string(sia) + "\n");
  const std::string ready = socket_.waitFor("READY=1", kWaitMs);
  ASSERT_NE(ready, "") << server_->output();
  // Every port that could be bound takes connections the moment READY=1 is out.
  for (uint16_t port : {modules, out, sia}) {
    LineSocket peer;
    EXPECT_EQ(peer.connect("127.0.0.1", port, 1000), 0) << port;
  }
  EXPECT_NE(ready.find("STATUS=running: 1 GPRS lines, 1 output items; "), std::string::npos)
      << ready;
  EXPECT_NE(ready.find("cannot listen on port " + std::to_string(taken)), std::string::npos)
      << ready;

  // A reload says so, then is ready again; the port is still taken.
  server_->signal(SIGHUP);
  EXPECT_NE(socket_.waitFor("RELOADING=1", kWaitMs), "");
  const std::string again = socket_.waitFor("READY=1", kWaitMs);
  EXPECT_NE(again.find("cannot listen on port " + std::to_string(taken)), std::string::npos)
      << again;
  EXPECT_EQ(again.find(ready.substr(ready.find("; "))), again.find("; "))
      << "named once: " << again;
}

TEST_F(ServiceNotify, TheWatchdogIsPettedAtHalfItsTime) {
  start("[GPRS0]\nPort=0\n", {"WATCHDOG_USEC=400000"});
  ASSERT_NE(socket_.waitFor("READY=1", kWaitMs), "") << server_->output();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(socket_.waitFor("WATCHDOG=1", 1000), "WATCHDOG=1");
}

}  // namespace
}  // namespace orv
