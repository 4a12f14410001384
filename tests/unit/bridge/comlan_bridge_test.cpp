// The bridge core against a stand-in output server on 127.0.0.1 and a device on a
// pseudo-terminal. The clock setter is a fake: these tests never touch the machine's clock.

#include "bridge/comlan_bridge.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "tests/support/pty_peer.h"
#include "tests/support/socket_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;  // for what must happen
constexpr int kQuietMs = 300;   // for what must not
constexpr const char* kBanner = "IP-Server V0.0";

// The device end of a pseudo-terminal: reads DC4 frames, writes answers.
class Device : public test::PtyPeer {
 public:
  const std::string& name() const { return path(); }
  std::string frame(int timeoutMs = kWaitMs) { return PtyPeer::frame(kDc4, timeoutMs); }
  bool quietFor(int ms) { return quiet(ms); }
  bool answer(std::string_view bytes) { return send(bytes); }
};

// Stands in for the output server's side of one channel.
class FakeServer {
 public:
  FakeServer() { listener_.listen(0, "stand-in output server"); }
  uint16_t port() const { return listener_.localPort(); }

  // Accepts the bridge, greets it (unless told not to) and returns the channel name it sends.
  std::optional<std::string> accept(bool banner = true, int timeoutMs = kWaitMs) {
    conn.close();
    if (!listener_.waitForConnection(timeoutMs) || listener_.accept(conn) != 0) return std::nullopt;
    if (!banner) return std::string();
    conn.send(std::string(kBanner) + "\r\n");
    std::string name;
    if (conn.receiveLine(name, LineEnd::CrLf, timeoutMs) != 0) return std::nullopt;
    return name;
  }
  bool connectionPending(int timeoutMs) { return listener_.waitForConnection(timeoutMs); }
  bool send(std::string_view line) { return conn.send(std::string(line) + "\r\n") == 0; }
  std::string answer(int timeoutMs = kWaitMs) {
    std::string line;
    const int rc = conn.receiveLine(line, LineEnd::CrLf, timeoutMs);
    return rc == 0 ? line : "<no answer: " + std::to_string(rc) + ">";
  }

  LineSocket conn;

 private:
  LineSocket listener_;
};

struct ClockCalls {
  std::mutex lock;
  std::vector<LocalDateTime> calls;
  int result = 0;
  size_t count() {
    std::lock_guard guard(lock);
    return calls.size();
  }
};

class ComlanBridge : public testing::Test {
 protected:
  ComlanBridge() {
    timing_.retryWaitMs = 100;
    timing_.reopenMs = 100;
    timing_.settingsSettleMs = 100;
    std::filesystem::create_symlink(device_.name(), portLink());
  }
  ~ComlanBridge() override {
    if (core_) core_->stop();
  }

  std::filesystem::path portLink() const { return dir_ / "ttyCom"; }

  void writeIni(const std::string& opt, int com = 3) {
    dir_.write("Comlan.ini", "; the bridge of the test\n[Com]\nPort=" + std::to_string(com) +
                                 "\nBaudRate=115200\n[TCP]\nHost=127.0.0.1\nPort=" +
                                 std::to_string(server_.port()) + "\nId=Bank\n[Opt]\n" + opt +
                                 "[Ports]\nCOM3=" + portLink().string() + "\n");
  }

  // Starts the bridge and takes its first connection.
  testing::AssertionResult startAndAccept(const std::string& opt = "") {
    writeIni(opt);
    auto calls = clock_;
    core_ = std::make_unique<ComlanCore>(
        dir_.path(),
        [calls](const LocalDateTime& t) {
          std::lock_guard guard(calls->lock);
          calls->calls.push_back(t);
          return calls->result;
        },
        timing_);
    if (!core_->start()) return testing::AssertionFailure() << "the bridge did not start";
    std::optional<std::string> name = server_.accept();
    if (name != "Bank")
      return testing::AssertionFailure() << "channel name: " << name.value_or("-");
    return testing::AssertionSuccess();
  }

  bool shows(const std::string& text) {
    auto lines = core_->textArea().lines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }

  // Moves the port's path to a new device, as udev does for a re-plugged adapter.
  void replug(Device& device) {
    const auto next = dir_ / "ttyCom.next";
    std::filesystem::create_symlink(device.name(), next);
    std::filesystem::rename(next, portLink());
  }

  test::TempDir dir_;
  Device device_;
  FakeServer server_;
  ComlanCore::Timing timing_;
  std::shared_ptr<ClockCalls> clock_ = std::make_shared<ClockCalls>();
  std::unique_ptr<ComlanCore> core_;
};

TEST_F(ComlanBridge, OnlyAnAckFromTheDeviceLetsTheServerRemoveALine) {
  std::filesystem::create_directory(dir_ / "ComlanLog");
  ASSERT_TRUE(startAndAccept());

  // The date suffix goes; the ACK becomes "0".
  ASSERT_TRUE(server_.send("5011 181234E1300101510:11:12-08/12"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001015");
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");

  // A NAK gets no answer.
  ASSERT_TRUE(server_.send("5011 181234E13001016"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001016");
  device_.answer("\x15");
  EXPECT_TRUE(test::quietFor(server_.conn, kQuietMs));

  // A second byte after the ACK is not the next line's answer.
  ASSERT_TRUE(server_.send("5011 181234E13001017"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001017");
  device_.answer("\x06\x06\x06");
  EXPECT_EQ(server_.answer(), "0");
  ASSERT_TRUE(server_.send("5011 181234E13001018"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001018");
  device_.answer("\x15");
  EXPECT_TRUE(test::quietFor(server_.conn, kQuietMs));

  // Garbage is no ACK either.
  ASSERT_TRUE(server_.send("5011 181234E13001019"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001019");
  device_.answer("x\x06");
  EXPECT_TRUE(test::quietFor(server_.conn, kQuietMs));

  // The heartbeat reaches the device as the test line and is not logged.
  ASSERT_TRUE(server_.send("@"));
  EXPECT_EQ(device_.frame(), std::string(kTestLine));
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");
  EXPECT_TRUE(shows(std::string(kTestLine)));

  // A device that says nothing: no answer, and the next line is handled as usual.
  ASSERT_TRUE(server_.send("5011 181234E13001020"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001020");
  EXPECT_TRUE(test::quietFor(server_.conn, timing_.replyMs + kQuietMs));
  ASSERT_TRUE(server_.send("5011 181234E13001021"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001021");
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");

  // Every line but the heartbeat is logged as received, without a time stamp.
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "ComlanLog")) {
    log += test::readFile(entry.path());
  }
  EXPECT_EQ(log,
            "5011 181234E1300101510:11:12-08/12\r\n5011 181234E13001016\r\n"
            "5011 181234E13001017\r\n5011 181234E13001018\r\n5011 181234E13001019\r\n"
            "5011 181234E13001020\r\n5011 181234E13001021\r\n");
}

TEST_F(ComlanBridge, TimeSyncSetsTheClockOnlyFromAWholeDayNumber) {
  ASSERT_TRUE(startAndAccept("SyncFl=1\n"));
  ASSERT_TRUE(server_.send("systime46001.5"));
  EXPECT_EQ(server_.answer(), "0");
  ASSERT_EQ(clock_->count(), 1u);
  EXPECT_EQ(clock_->calls[0], (LocalDateTime{2025, 12, 10, 12, 0, 0, 0}));
  EXPECT_TRUE(shows("2025-12-10 12:00:00"));
  EXPECT_TRUE(shows("i=0"));
  EXPECT_TRUE(shows("SetLocalTime"));

  const std::vector<std::string> malformed = {"46001,5", "46001.5x", std::string(100, '9'),
                                              "nan",     "inf",      "1e400",
                                              "-700000", "",         " 46001.5"};
  for (const std::string& bad : malformed) {
    ASSERT_TRUE(server_.send("systime" + bad));
    EXPECT_EQ(server_.answer(), "0") << bad;
  }
  EXPECT_EQ(clock_->count(), 1u) << "a malformed time set the clock";
  EXPECT_TRUE(shows("i=6"));

  // A refused clock change is shown, not hidden.
  clock_->result = EPERM;
  ASSERT_TRUE(server_.send("systime46001.25"));
  EXPECT_EQ(server_.answer(), "0");
  EXPECT_TRUE(shows("SetLocalTime failed: Operation not permitted"));
  // Time syncs never reach the device.
  EXPECT_TRUE(device_.quietFor(kQuietMs));
}

TEST_F(ComlanBridge, OverlongLineEndsTheConnectionAndTheBridgeComesBack) {
  ASSERT_TRUE(startAndAccept());
  server_.conn.send(std::string(1024 * 1024, 'x'), 2000);  // may fail once the bridge hangs up
  EXPECT_TRUE(test::closedWithin(server_.conn, kWaitMs));
  ASSERT_EQ(server_.accept(), "Bank");
  ASSERT_TRUE(server_.send("5011 181234E13001015"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001015");
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");
}

TEST_F(ComlanBridge, ASilentServerIsLeftAndConnectedAgain) {
  timing_.receiveMs = 50;
  timing_.watchdog = 3;
  ASSERT_TRUE(startAndAccept());
  EXPECT_TRUE(test::closedWithin(server_.conn, kWaitMs));
  EXPECT_EQ(server_.accept(), "Bank");
}

TEST_F(ComlanBridge, AServerWithoutBannerIsAFailedConnect) {
  writeIni("");
  core_ = std::make_unique<ComlanCore>(
      dir_.path(), [](const LocalDateTime&) { return 0; }, timing_);
  ASSERT_TRUE(core_->start());
  ASSERT_EQ(server_.accept(false), "");
  EXPECT_TRUE(test::closedWithin(server_.conn, kWaitMs));
  EXPECT_EQ(server_.accept(), "Bank");
}

TEST_F(ComlanBridge, AnUnpluggedPortAcknowledgesNothingAndIsOpenedAgain) {
  ASSERT_TRUE(startAndAccept());
  ASSERT_TRUE(server_.send("5011 181234E13001015"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001015");
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");

  device_.unplug();
  ASSERT_TRUE(server_.send("5011 181234E13001016"));
  std::vector<std::string> seen;
  EXPECT_TRUE(test::closedWithin(server_.conn, kWaitMs, &seen));
  EXPECT_TRUE(seen.empty()) << "answered while the device was gone: " << seen.front();
  // While the port is gone the bridge takes no lines at all.
  EXPECT_FALSE(server_.connectionPending(kQuietMs));

  Device again;
  replug(again);
  ASSERT_EQ(server_.accept(), "Bank");
  EXPECT_TRUE(core_->serialPortOpen());
  ASSERT_TRUE(server_.send("5011 181234E13001016"));
  EXPECT_EQ(again.frame(), "5011 181234E13001016");
  again.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");
}

TEST_F(ComlanBridge, SettingsRewriteRestartsOnTheNewChannel) {
  ASSERT_TRUE(startAndAccept());
  ComlanSettings s = core_->settings();
  s.id = "Night";
  ASSERT_TRUE(core_->rewriteSettings(s));
  EXPECT_EQ(server_.accept(), "Night");
  EXPECT_EQ(core_->settings().id, "Night");
  const std::string ini = dir_.read("Comlan.ini");
  EXPECT_NE(ini.find("; the bridge of the test\n"), std::string::npos);
  EXPECT_NE(ini.find("COM3=" + portLink().string()), std::string::npos);

  ASSERT_TRUE(server_.send("5011 181234E13001015"));
  EXPECT_EQ(device_.frame(), "5011 181234E13001015");
  device_.answer("\x06");
  EXPECT_EQ(server_.answer(), "0");
}

TEST_F(ComlanBridge, NoPortNoBridge) {
  writeIni("", 0);
  ComlanCore idle(
      dir_.path(), [](const LocalDateTime&) { return 0; }, timing_);
  EXPECT_FALSE(idle.start());
  EXPECT_FALSE(server_.connectionPending(kQuietMs));

  // A mapped port that is not there.
  writeIni("", 3);
  std::filesystem::remove(portLink());
  ComlanCore missing(
      dir_.path(), [](const LocalDateTime&) { return 0; }, timing_);
  EXPECT_FALSE(missing.start());
  EXPECT_FALSE(missing.running());
  EXPECT_FALSE(server_.connectionPending(kQuietMs));
}

}  // namespace
}  // namespace orv
