// Hostile and broken peers against the real ORV_Serv: silent connections, too many from one
// address, addresses outside an Allow list and input that is never answered must not keep a
// sender, a transmitter, a module or a monitoring client out.

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/line_socket.h"
#include "common/unique_fd.h"
#include "tests/support/checksums.h"
#include "tests/support/elapsed.h"
#include "tests/support/module_peer.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/pty_peer.h"
#include "tests/support/sia_frames.h"
#include "tests/support/socket_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::Clock;
using test::freePort;
using test::msSince;

constexpr int kWaitMs = 10000;
// A newcomer served while the slots are full was served by eviction, not by a silent
// connection's time running out: half the shortest such wait (FirstLineWait, 10 s) proves it
// and leaves a loaded sanitizer run room.
constexpr int kServedMs = 5000;
constexpr int kCom = 5;

// More keys per section name; every input runs, with its device on a pseudo-terminal for the
// SMS port.
using Sections = std::map<std::string, std::string>;

class Admission : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Thousands of held connections need as many descriptors here.
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
      lim.rlim_cur = lim.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &lim);
    }
  }

  void start(Sections more) {
    const Sections base = {
        {"Ports", "COM" + std::to_string(kCom) + "=" + device_.path()},
        {"GPRS0", "Line=2\nPort=" + std::to_string(gprsPort_) + "\nCom=" + std::to_string(kCom)},
        {"GPRS1", "Line=3\nPort=0\nTcpOn=1\nTcpPort=" + std::to_string(devicePort_)},
        {"TcpDrv", "Port=" + std::to_string(tcpDrvPort_)},
        {"SiaIp", "Port=" + std::to_string(siaPort_)},
        {"Out", "Port=" + std::to_string(outPort_)},
        {"Sms", "Port=" + std::to_string(smsPort_)},
        {"Client0", "Id=Bank\nQSize=100000"}};
    std::string ini;
    for (const auto& [section, keys] : base) {
      ini += "[" + section + "]\n" + keys + "\n" + more[section];
    }
    dir_.write("ORV_Serv.ini", ini);
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
  }
  void TearDown() override {
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    if (HasFailure()) {
      std::printf("--- ORV_Serv output ---\n%s--- end ---\n", server_->output().c_str());
    }
  }

  testing::AssertionResult diagnostic(std::string_view text, int timeoutMs = kWaitMs) {
    if (server_->waitForLine(text, timeoutMs)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no diagnostic '" << text << "' in:\n"
                                       << server_->output();
  }

  // `n` connections from `source` that never send a byte.
  static std::vector<UniqueFd> silent(uint16_t port, size_t n, const char* source = "127.0.0.1") {
    std::vector<UniqueFd> held;
    for (size_t i = 0; i < n; ++i) {
      held.push_back(test::connectFrom(source, port));
      EXPECT_TRUE(held.back().valid()) << "connection " << i << " to port " << port;
    }
    return held;
  }

  // A sender's line and its ACK byte.
  static testing::AssertionResult tcpDrvLine(LineSocket& s, int n = 0) {
    const std::string line =
        test::withTcpDrvChecksum("5011 181234E1300101" + std::to_string(n % 10));
    char b = 0;
    if (s.send(line + "\r\n") != 0 || s.receiveByte(b, kWaitMs) != 0)
      return testing::AssertionFailure() << "no answer";
    if (b != kAck) return testing::AssertionFailure() << "answer " << int(b);
    return testing::AssertionSuccess();
  }
  testing::AssertionResult tcpDrvServed(LineSocket& s) {
    if (s.connect("127.0.0.1", tcpDrvPort_, kWaitMs) != 0)
      return testing::AssertionFailure() << "cannot connect";
    return tcpDrvLine(s);
  }
  testing::AssertionResult siaServed(LineSocket& s) {
    if (s.connect("127.0.0.1", siaPort_, kWaitMs) != 0)
      return testing::AssertionFailure() << "cannot connect";
    if (s.send(test::rawSiaFrame("\"ADM-CID\"0001R0L0#1234[#1234|1130 01 015]")) != 0)
      return testing::AssertionFailure() << "cannot send";
    const std::string answer = test::readSiaAnswer(s, kWaitMs);
    if (answer.find("\"ACK\"0001") == std::string::npos)
      return testing::AssertionFailure() << "answer '" << answer << "'";
    return testing::AssertionSuccess();
  }
  testing::AssertionResult smsServed(LineSocket& s) {
    std::string line;
    if (s.connect("127.0.0.1", smsPort_, kWaitMs) != 0 ||
        s.receiveLine(line, LineEnd::CrLf, kWaitMs) != 0 || line != "IP-Server-SMS V0.0")
      return testing::AssertionFailure() << "no banner: '" << line << "'";
    if (s.send("greeting\r\n@\r\n") != 0 || s.receiveLine(line, LineEnd::CrLf, kWaitMs) != 0)
      return testing::AssertionFailure() << "no answer to a heartbeat";
    return testing::AssertionResult(line == "0") << "answer '" << line << "'";
  }
  testing::AssertionResult moduleServed(test::ModulePeer& m) {
    testing::AssertionResult connected = m.connect(gprsPort_);
    return connected ? m.identify("a1234,1234") : connected;
  }

  // Every byte the server sends a peer from `source` before it closes the connection.
  static std::string refusedFrom(const char* source, uint16_t port) {
    UniqueFd fd = test::connectFrom(source, port);
    if (!fd) return "<cannot connect>";
    return test::receivedUntilClosed(fd.get(), kWaitMs).value_or("<kept open>");
  }

  test::TempDir dir_;
  test::PtyPeer device_;
  uint16_t gprsPort_ = freePort();
  uint16_t devicePort_ = freePort();
  uint16_t tcpDrvPort_ = freePort();
  uint16_t siaPort_ = freePort();
  uint16_t outPort_ = freePort();
  uint16_t smsPort_ = freePort();
  std::unique_ptr<test::Process> server_;
};

TEST_F(Admission, NewPeersAreServedAtOnceWhileEveryInputHoldsSilentConnections) {
  // One source address for all: the per-address limits are off, so the slots are what counts.
  start({{"GPRS0", "MaxConnections=400\nPerAddress=0\n"},
         {"TcpDrv", "PerAddress=0\n"},
         {"SiaIp", "PerAddress=0\n"},
         {"Out", "PerAddress=0\n"},
         {"Sms", "PerAddress=0\n"}});
  std::vector<std::vector<UniqueFd>> attack;
  for (uint16_t port : {gprsPort_, tcpDrvPort_, siaPort_, outPort_, smsPort_}) {
    attack.push_back(silent(port, 500));
  }
  // Each input's slots ran out: the oldest silent peers made room for the later ones.
  EXPECT_TRUE(diagnostic("closed to make room: it sent nothing valid yet"));

  Clock::time_point begin = Clock::now();
  LineSocket sender;
  EXPECT_TRUE(tcpDrvServed(sender));
  EXPECT_LT(msSince(begin), kServedMs) << "TcpDrv";

  begin = Clock::now();
  LineSocket transmitter;
  EXPECT_TRUE(siaServed(transmitter));
  EXPECT_LT(msSince(begin), kServedMs) << "SIA";

  begin = Clock::now();
  test::OutputPeer client;
  EXPECT_TRUE(client.attach(outPort_, "Bank"));
  EXPECT_LT(msSince(begin), kServedMs) << "output port";

  begin = Clock::now();
  LineSocket sms;
  EXPECT_TRUE(smsServed(sms));
  EXPECT_LT(msSince(begin), kServedMs) << "SMS port";

  begin = Clock::now();
  test::ModulePeer module;
  EXPECT_TRUE(moduleServed(module));
  EXPECT_LT(msSince(begin), kServedMs) << "module port";
}

TEST_F(Admission, ADeviceConnectsWhileItsPortHoldsSilentConnections) {
  start({{"GPRS1", "Allow=127.0.0.1\n"}});
  EXPECT_EQ(refusedFrom("127.0.0.2", devicePort_), "");
  std::vector<UniqueFd> attack = silent(devicePort_, 20);
  EXPECT_TRUE(diagnostic("closed to make room: it sent nothing valid yet"));

  const Clock::time_point begin = Clock::now();
  LineSocket device;
  ASSERT_EQ(device.connect("127.0.0.1", devicePort_, kWaitMs), 0);
  std::string start;
  ASSERT_EQ(device.receiveLine(start, LineEnd::CrLf, kWaitMs), 0);
  EXPECT_EQ(start, "VX2810mk V1.02");
  ASSERT_EQ(device.send("@\x14"), 0);  // a heartbeat: answered with a bare ACK
  char answer = 0;
  ASSERT_EQ(device.receiveByte(answer, kWaitMs), 0);
  EXPECT_EQ(answer, kAck);
  EXPECT_LT(msSince(begin), kServedMs);
}

TEST_F(Admission, OnlyPeersThatNeverSentAValidLineAreEvicted) {
  start({{"TcpDrv", "PerAddress=0\n"}});
  constexpr size_t kSlots = 256, kSenders = 200;
  std::vector<std::unique_ptr<LineSocket>> senders;
  for (size_t i = 0; i < kSenders; ++i) {
    senders.push_back(std::make_unique<LineSocket>());
    ASSERT_TRUE(tcpDrvServed(*senders.back())) << "sender " << i;
  }
  // The rest of the slots silent, then as many again: every newcomer evicts a silent one.
  std::vector<UniqueFd> quiet = silent(tcpDrvPort_, 2 * (kSlots - kSenders));
  ASSERT_TRUE(diagnostic("closed to make room"));
  for (size_t i = 0; i < kSenders; ++i) {
    ASSERT_TRUE(tcpDrvLine(*senders[i], 1)) << "sender " << i << " lost its connection";
  }

  // Once every slot holds a sender, a newcomer is refused without a byte.
  for (size_t i = kSenders; i < kSlots; ++i) {
    senders.push_back(std::make_unique<LineSocket>());
    ASSERT_TRUE(tcpDrvServed(*senders.back())) << "sender " << i;
  }
  EXPECT_EQ(refusedFrom("127.0.0.1", tcpDrvPort_), "");
  EXPECT_TRUE(diagnostic("refused: all 256 connections have exchanged valid traffic"));
  EXPECT_TRUE(tcpDrvLine(*senders.front(), 2));
}

TEST_F(Admission, AnAddressOverItsLimitIsRefusedWhileAnotherIsServed) {
  start({{"TcpDrv", "PerAddress=3\n"}, {"Out", "PerAddress=3\n"}});
  std::vector<UniqueFd> tcpDrvHeld = silent(tcpDrvPort_, 3, "127.0.0.2");
  std::vector<UniqueFd> outHeld = silent(outPort_, 3, "127.0.0.2");

  EXPECT_EQ(refusedFrom("127.0.0.2", tcpDrvPort_), "");
  EXPECT_TRUE(diagnostic("TcpDrv input: 127.0.0.2 refused: 3 connections from that address"));
  EXPECT_EQ(refusedFrom("127.0.0.2", outPort_), "");
  EXPECT_TRUE(diagnostic("output server: 127.0.0.2 refused: 3 connections from that address"));

  LineSocket sender;
  EXPECT_TRUE(tcpDrvServed(sender));
  test::OutputPeer client;
  EXPECT_TRUE(client.attach(outPort_, "Bank"));

  // A connection that ends gives its address room again.
  tcpDrvHeld.pop_back();
  bool admitted = false;
  for (Clock::time_point begin = Clock::now(); !admitted && msSince(begin) < kWaitMs;) {
    UniqueFd again = test::connectFrom("127.0.0.2", tcpDrvPort_);
    admitted = !test::receivedUntilClosed(again.get(), 200).has_value();
  }
  EXPECT_TRUE(admitted);
}

TEST_F(Admission, AllowListsAdmitOnlyTheirAddresses) {
  start({{"GPRS0", "Allow=127.0.0.1/32\n"},
         {"TcpDrv", "Allow=192.0.2.7, 127.0.0.1\n"},
         {"SiaIp", "Allow=10.1.0.0/16, 127.0.0.0/31\n"},
         {"Sms", "Allow=127.0.0.1\n"}});
  for (uint16_t port : {gprsPort_, tcpDrvPort_, siaPort_, smsPort_}) {
    EXPECT_EQ(refusedFrom("127.0.0.2", port), "") << "port " << port;
  }
  EXPECT_TRUE(diagnostic("127.0.0.2 refused: not in its Allow list"));

  LineSocket sender, transmitter, sms;
  EXPECT_TRUE(tcpDrvServed(sender));
  EXPECT_TRUE(siaServed(transmitter));
  EXPECT_TRUE(smsServed(sms));
  test::ModulePeer module;
  EXPECT_TRUE(moduleServed(module));
}

TEST_F(Admission, APeerWithoutAValidExchangeWithinItsWaitIsClosed) {
  start({{"GPRS0", "FirstLineWait=1\n"}, {"SiaIp", "FirstLineWait=1\n"}});
  LineSocket transmitter;
  ASSERT_TRUE(siaServed(transmitter));
  test::ModulePeer module;
  ASSERT_TRUE(moduleServed(module));

  Clock::time_point begin = Clock::now();
  LineSocket silentSia;
  ASSERT_EQ(silentSia.connect("127.0.0.1", siaPort_, kWaitMs), 0);
  test::ModulePeer silentModule;
  ASSERT_TRUE(silentModule.connect(gprsPort_));  // takes the banner, then says nothing
  EXPECT_TRUE(test::closedWithin(silentSia, kWaitMs));
  EXPECT_TRUE(silentModule.closedWithin(kWaitMs));
  EXPECT_GE(msSince(begin), 900);
  EXPECT_TRUE(diagnostic("closed: nothing valid within 1 s"));

  // Those that exchanged stay.
  EXPECT_TRUE(test::quietFor(transmitter, 100));
  EXPECT_EQ(module.say("Q"), "11234:99.c3");
}

TEST_F(Admission, AModuleLineBoundsTheInputItHoldsUnanswered) {
  start(Sections());
  test::ModulePeer module;
  ASSERT_TRUE(moduleServed(module));
  // 600 connections with 60,000 bytes each and no line end: more than the line's budget.
  const std::string noLineEnd(60000, 'x');
  std::vector<UniqueFd> flood = silent(gprsPort_, 600);
  for (UniqueFd& fd : flood) {
    ::send(fd.get(), noLineEnd.data(), noLineEnd.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  EXPECT_TRUE(diagnostic("bytes of unanswered input"));
  // A module with ordinary lines is still answered.
  EXPECT_EQ(module.say("Q"), "11234:99.c3");
}

}  // namespace
}  // namespace orv
