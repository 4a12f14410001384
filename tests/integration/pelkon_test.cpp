// libPelkon.so end to end: orv-pelkon loads it as a monitoring program does and prints its
// records, against the real ORV_Serv (or a stand-in output server) on 127.0.0.1.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/socket_error.h"
#include "common/unique_fd.h"
#include "tests/support/elapsed.h"
#include "tests/support/module_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/socket_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::Clock;
using test::freePort;
using test::msSince;

constexpr int kStartMs = 15000;
constexpr int kAnswerMs = 5000;
constexpr int kExitMs = 10000;

// One record as orv-pelkon prints it: field name to value.
using Record = std::map<std::string, std::string>;

// The records in orv-pelkon's output. Its stderr shares the pipe; only field lines count, and
// a "receiver" line begins a record.
std::vector<Record> recordsIn(const std::string& output) {
  static const char* const kFields[] = {"receiver", "line", "account", "area",
                                        "code",     "time", "extra"};
  std::vector<Record> records;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos && line.ends_with(":")) colon = line.size() - 1;
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    bool known = false;
    for (const char* f : kFields) known = known || key == f;
    if (!known) continue;
    if (key == "receiver") records.emplace_back();
    if (records.empty()) continue;
    records.back()[key] = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
  }
  return records;
}

std::string describe(const std::vector<Record>& records) {
  std::string out;
  for (const Record& r : records) {
    out += " {";
    for (const auto& [k, v] : r) out += " " + k + "='" + v + "'";
    out += " }\n";
  }
  return out;
}

size_t countCode(const std::vector<Record>& records, std::string_view code) {
  size_t n = 0;
  for (const Record& r : records) n += r.count("code") && r.at("code") == code ? 1 : 0;
  return n;
}

// One module connection to a GPRS line; it waits kAnswerMs for its answers.
struct Module : test::ModulePeer {
  Module() : ModulePeer(kAnswerMs) {}
};

class Pelkon : public testing::Test {
 protected:
  // Starts ORV_Serv with one GPRS line (keys `gprs`) and the channel Bank on output port
  // `outPort` (a free one when 0).
  bool startServer(std::string_view gprs, uint16_t outPort = 0) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      gprsPort_ = freePort();
      outPort_ = outPort != 0 ? outPort : freePort();
      if (gprsPort_ == 0 || outPort_ == 0 || gprsPort_ == outPort_) continue;
      serverDir_.write("ORV_Serv.ini",
                       "[Options]\nU_Fl=0\n[GPRS0]\nPort=" + std::to_string(gprsPort_) + "\n" +
                           std::string(gprs) + "[Out]\nPort=" + std::to_string(outPort_) +
                           "\n[Client0]\nId=Bank\n");
      server_ = std::make_unique<test::Process>(
          ORV_SERV_PATH,
          std::vector<std::string>{"--headless", "--dir", serverDir_.path().string()});
      if (!server_->waitForLine("running:", kStartMs)) {
        ADD_FAILURE() << "the server did not start:\n" << server_->output();
        return false;
      }
      const std::string& out = server_->output();
      if (out.find("output server listening on port " + std::to_string(outPort_) + "\n") !=
              std::string::npos &&
          out.find("module server listening on port " + std::to_string(gprsPort_) + "\n") !=
              std::string::npos) {
        return true;
      }
      stopServer();
      if (outPort != 0) break;  // the port we were given is taken
    }
    ADD_FAILURE() << "no free ports could be bound";
    return false;
  }

  void stopServer() {
    if (!server_) return;
    server_->signal(SIGTERM);
    std::optional<int> code = server_->waitExit(kExitMs);
    EXPECT_TRUE(code.has_value()) << "ORV_Serv still running after SIGTERM";
    if (code) {
      EXPECT_EQ(*code, 0) << "ORV_Serv exit code after SIGTERM";
    }
    serverOutput_ += server_->output();
    server_.reset();
  }

  // Starts orv-pelkon on channel Bank of 127.0.0.1:port; its standard input is a FIFO that
  // command() writes to.
  void startHost(uint16_t port, std::string_view extraArgs = "") {
    hostDir_.write("Pelkon.ini",
                   "[Ch1]\nClient=1\nHost=127.0.0.1\nPort=" + std::to_string(port) + "\nId=Bank\n");
    const std::string fifo = (hostDir_ / "commands").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened for reading and writing, the FIFO neither blocks us nor reaches end of file.
    commands_.reset(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(commands_);
    const std::string script =
        "cd \"$1\" && exec \"$2\" --lib \"$3\" " + std::string(extraArgs) + " < \"$4\"";
    host_ = std::make_unique<test::Process>(
        "/bin/sh", std::vector<std::string>{"-c", script, "sh", hostDir_.path().string(),
                                            ORV_PELKON_HOST_PATH, ORV_PELKON_LIB_PATH, fifo});
  }

  void command(std::string_view text) {
    std::string line = std::string(text) + "\n";
    ASSERT_EQ(::write(commands_.get(), line.data(), line.size()),
              static_cast<ssize_t>(line.size()));
  }

  // Waits until orv-pelkon has printed a record that `match` accepts; returns it.
  template <typename Match>
  std::optional<Record> waitForRecord(Match match, int timeoutMs) {
    Clock::time_point start = Clock::now();
    for (;;) {
      for (const Record& r : recordsIn(host_->output())) {
        if (r.count("extra") && match(r)) return r;  // "extra" comes last: the record is whole
      }
      int left = timeoutMs - static_cast<int>(msSince(start));
      if (left <= 0) return std::nullopt;
      host_->waitForLine("\n", std::min(left, 50));
    }
  }
  std::optional<Record> waitForCode(std::string_view code, int timeoutMs) {
    return waitForRecord([&](const Record& r) { return r.at("code") == code; }, timeoutMs);
  }

  std::vector<Record> records() const { return recordsIn(host_->output()); }

  bool connectModule(Module& m, std::string_view ident) {
    testing::AssertionResult ready = m.connect(gprsPort_);
    if (ready) ready = m.identify(ident);
    if (!ready) ADD_FAILURE() << ready.message();
    return static_cast<bool>(ready);
  }

  // A stand-in output server takes the library's connection: banner, channel name, the
  // channel's status line and its acknowledgement.
  static void greet(LineSocket& peer) {
    std::string line;
    EXPECT_EQ(peer.send("IP-Server V0.0\r\n"), 0);
    EXPECT_EQ(peer.receiveLine(line, LineEnd::CrLf, kAnswerMs), 0);
    EXPECT_EQ(line, "Bank");
    EXPECT_EQ(peer.send("1011      0000 R  51\r\n"), 0);
    EXPECT_EQ(peer.receiveLine(line, LineEnd::CrLf, kAnswerMs), 0);
    EXPECT_EQ(line, "0");
  }

  void TearDown() override {
    if (host_) {
      host_->signal(SIGTERM);
      std::optional<int> code = host_->waitExit(kExitMs);
      EXPECT_EQ(code, std::optional<int>(0)) << "orv-pelkon after SIGTERM";
    }
    stopServer();
    const std::string* hostOutput = host_ ? &host_->output() : nullptr;
    for (const std::string* out : {static_cast<const std::string*>(&serverOutput_), hostOutput}) {
      if (out != nullptr) {
        EXPECT_TRUE(test::noSanitizerReport(*out));
      }
    }
    if (HasFailure()) {
      std::printf("--- ORV_Serv output ---\n%s--- end ---\n", serverOutput_.c_str());
      if (host_) std::printf("--- orv-pelkon output ---\n%s--- end ---\n", host_->output().c_str());
    }
  }

  test::TempDir serverDir_;
  test::TempDir hostDir_;
  std::unique_ptr<test::Process> server_;
  std::unique_ptr<test::Process> host_;
  std::string serverOutput_;
  UniqueFd commands_;
  uint16_t gprsPort_ = 0;
  uint16_t outPort_ = 0;
};

using PelkonSlow = Pelkon;

TEST_F(Pelkon, AModuleEventArrivesAsARecordWithTheLineOfItsGprsLine) {
  ASSERT_TRUE(startServer("Line=3\n"));
  Module feeder;
  ASSERT_TRUE(connectModule(feeder, "a1234,1234"));
  // The library logs only into a directory that exists: the host switches it on by having one.
  std::filesystem::create_directories(hostDir_ / "Pelkonlog");
  startHost(outPort_);
  ASSERT_EQ(feeder.say("M06,1234,13001003"), "0");

  std::optional<Record> event = waitForCode("E130003", kAnswerMs);
  ASSERT_TRUE(event) << describe(records());
  EXPECT_EQ(event->at("receiver"), "1");
  EXPECT_EQ(event->at("line"), "3");
  EXPECT_EQ(event->at("account"), "1234");
  EXPECT_EQ(event->at("area"), "01");
  EXPECT_EQ(event->at("time"), "no time");
  EXPECT_EQ(event->at("extra"), "");
  // Each line of the channel is delivered once.
  EXPECT_EQ(countCode(records(), "E130003"), 1u) << describe(records());
  // And logged in the host's ./Pelkonlog.
  const std::string log = test::readFiles(hostDir_ / "Pelkonlog");
  EXPECT_NE(log.find("5013 181234E13001003\r\n"), std::string::npos) << "log: '" << log << "'";
}

TEST_F(Pelkon, ACommandFromStandardInputReachesTheModuleOnItsLineOfAnIdleServer) {
  ASSERT_TRUE(startServer("Line=16\n"));
  Module m;
  ASSERT_TRUE(connectModule(m, "a1234,1234"));
  ASSERT_EQ(m.say("Q"), "11234:99.c3");  // the start command of every new connection
  startHost(outPort_);
  // The module's link line is in the channel: once it is printed the channel is up and idle.
  ASSERT_TRUE(waitForRecord([](const Record& r) { return r.at("account") == "1234"; }, kAnswerMs))
      << describe(records());

  command("16:1234:XYZ");
  Clock::time_point sent = Clock::now();
  const std::string answer = m.pollForCommand(4000);
  EXPECT_EQ(answer, "11234:XYZ");
  EXPECT_LT(msSince(sent), 3000) << "the command took too long";
  EXPECT_EQ(m.say("Q"), "0");  // sent once
}

// The high-water mark of a process's resident memory, in KiB; -1 when unknown.
long peakRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(Pelkon, OverlongLinesAndEndlessDataNeitherStopTheHostNorGrowItsMemory) {
  LineSocket listener;
  ASSERT_EQ(listener.listen(0, "stand-in output server"), 0);
  startHost(listener.localPort());
  ASSERT_TRUE(listener.waitForConnection(kAnswerMs));
  LineSocket first;
  ASSERT_EQ(listener.accept(first), 0);
  greet(first);
  ASSERT_FALSE(HasFailure());

  // A line of 300 characters still gives its event.
  std::string reply;
  ASSERT_EQ(first.send("5011 181234E13001003" + std::string(280, 'x') + "\r\n"), 0);
  ASSERT_EQ(first.receiveLine(reply, LineEnd::CrLf, kAnswerMs), 0);
  EXPECT_EQ(reply, "0");
  ASSERT_TRUE(waitForCode("E130003", kAnswerMs)) << describe(records());
  const long before = peakRssKiB(host_->pid());
  ASSERT_GT(before, 0);

  // 10 MiB without a line end: the library drops the connection and comes back.
  first.send(std::string(10 << 20, 'A'), kAnswerMs);  // fails once the library has closed
  EXPECT_TRUE(test::closedWithin(first, kAnswerMs));
  ASSERT_TRUE(listener.waitForConnection(kAnswerMs)) << "no new connection";
  LineSocket second;
  ASSERT_EQ(listener.accept(second), 0);
  greet(second);
  EXPECT_FALSE(host_->waitExit(0).has_value()) << "orv-pelkon ended";
  EXPECT_LT(peakRssKiB(host_->pid()) - before, 4096) << "KiB more at the peak";
}

TEST_F(PelkonSlow, ThreeFailedConnectsGiveOneLinkLostRecordAndTheNextConnectOneLinkBack) {
  const uint16_t port = freePort();
  ASSERT_NE(port, 0);
  startHost(port);
  // Connects fail at once; between attempts the library waits 5 s.
  std::optional<Record> lost = waitForCode("   T 52", 16000);
  ASSERT_TRUE(lost) << describe(records());
  EXPECT_EQ(lost->at("account"), "0");
  ASSERT_TRUE(startServer("Line=1\n", port));
  std::optional<Record> back = waitForCode("   R 52", 12000);
  ASSERT_TRUE(back) << describe(records());
  EXPECT_EQ(back->at("account"), "0");
  // The channel works again: the server's own channel status arrives after the link record.
  ASSERT_TRUE(waitForCode("   R 51", kAnswerMs)) << describe(records());
  EXPECT_EQ(countCode(records(), "   T 52"), 1u) << describe(records());
  EXPECT_EQ(countCode(records(), "   R 52"), 1u) << describe(records());
}

TEST_F(PelkonSlow, AServerSilentForFiftySecondsIsLeftAfterAboutFortyFourAndReconnected) {
  LineSocket listener;
  ASSERT_EQ(listener.listen(0, "stand-in output server"), 0);
  startHost(listener.localPort());

  ASSERT_TRUE(listener.waitForConnection(kAnswerMs));
  LineSocket first;
  ASSERT_EQ(listener.accept(first), 0);
  greet(first);
  ASSERT_FALSE(HasFailure());
  Clock::time_point silentSince = Clock::now();

  // The library gives up on the silent connection and closes it.
  std::string line;
  int rc = kWsaTimedOut;
  while (rc == kWsaTimedOut && msSince(silentSince) < 50000) {
    rc = first.receiveLine(line, LineEnd::CrLf, 50000 - static_cast<int>(msSince(silentSince)));
  }
  const long leftAfter = msSince(silentSince);
  EXPECT_NE(rc, 0) << "unexpected line '" << line << "'";
  EXPECT_NE(rc, kWsaTimedOut) << "still connected after 50 s";
  EXPECT_GE(leftAfter, 40000);
  EXPECT_LE(leftAfter, 48000);

  // And connects again at once.
  ASSERT_TRUE(listener.waitForConnection(kAnswerMs)) << "no new connection";
  LineSocket second;
  ASSERT_EQ(listener.accept(second), 0);
  greet(second);
}

}  // namespace
}  // namespace orv
