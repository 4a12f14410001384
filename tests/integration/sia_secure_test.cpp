// The SIA receiver of the real ORV_Serv beyond plain TCP: AES-encrypted frames with keys from
// Orv_SiaKeys.ini, the time-stamp window, and frames as UDP datagrams.
//
// Frames are encrypted here with OpenSSL on the test's own terms (tests/support/sia_frames), so
// that a fault in the receiver's cipher use is not mirrored by the test.

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/line_socket.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_waits.h"
#include "tests/support/sia_frames.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::standardSiaFrame;

constexpr int kWaitMs = 10000;
constexpr int kSilenceMs = 1000;
const std::string kKey128 = "00112233445566778899AABBCCDDEEFF";
const std::string kKey192 = kKey128 + "0123456789ABCDEF";
const std::string kKey256 = kKey128 + "FFEEDDCCBBAA99887766554433221100";
const std::string kCidData = "#1234|1130 01 015";
const std::string kCidLine = "5001 181234E13001015";

std::string header(int seq, std::string_view account = "1234") {
  char h[40];
  std::snprintf(h, sizeof h, "%04dR0L0#%.*s", seq, static_cast<int>(account.size()),
                account.data());
  return h;
}

// The word of an answer frame: ACK, *ACK, NAK, DUH; "" for none. The message starts where the
// framing puts it (a raw CRC byte may itself be a quotation mark).
std::string wordOf(const std::string& answer) {
  const size_t lf = answer.find('\n');
  if (lf == std::string::npos || answer.size() < lf + 10) return "";
  const size_t start = lf + (answer[lf + 7] == '"' ? 7 : 9);
  const size_t close = answer.find('"', start + 1);
  return close == std::string::npos ? "" : answer.substr(start + 1, close - start - 1);
}

// Waits until the clock has just passed a second, so that a stamp built now is read by the
// receiver within the same second and the window's edges are exact.
time_t startOfASecond() {
  using namespace std::chrono;
  const auto now = system_clock::now().time_since_epoch();
  std::this_thread::sleep_for(seconds(1) - (now % seconds(1)) + milliseconds(20));
  return time(nullptr);
}

// A transmitter on UDP: its own socket, connected to the receiver so only its answers arrive.
class UdpSender {
 public:
  // `from`: the loopback address to send from (all of 127/8 is this host).
  explicit UdpSender(uint16_t port, uint32_t from = INADDR_LOOPBACK)
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(from);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~UdpSender() { ::close(fd_); }
  void send(const std::string& datagram) {
    EXPECT_EQ(::send(fd_, datagram.data(), datagram.size(), 0),
              static_cast<ssize_t>(datagram.size()));
  }
  std::string receive(int waitMs = kWaitMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) != 1) return "";
    std::string b(70000, '\0');
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }
  std::string exchange(const std::string& datagram, int waitMs = kWaitMs) {
    send(datagram);
    return receive(waitMs);
  }

 private:
  int fd_;
};

class SiaSecure : public testing::Test {
 protected:
  // Starts the server with `siaKeys` appended to [SiaIp] and, unless keys is empty, a private
  // Orv_SiaKeys.ini holding them.
  void start(const std::string& siaKeys = "", const std::string& keys = "", mode_t mode = 0600) {
    port_ = test::freePort();
    dir_.write("ORV_Serv.ini", "[GPRS0]\nPort=0\n[Out]\nPort=" + std::to_string(test::freePort()) +
                                   "\n[Client0]\nId=Bank\nQSize=1000\n[SiaIp]\nPort=" +
                                   std::to_string(port_) + "\nLine=1\n" + siaKeys);
    if (!keys.empty()) writeKeys(keys, mode);
    std::filesystem::create_directory(dir_ / "Orv_Sia");
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
    connect();
  }
  void writeKeys(const std::string& keys, mode_t mode) {
    const std::filesystem::path file = dir_.write("Orv_SiaKeys.ini", "[Keys]\n" + keys);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
  }
  void connect() {
    sender_ = LineSocket();
    ASSERT_EQ(sender_.connect("127.0.0.1", port_, 2000), 0) << server_->output();
  }
  void TearDown() override {
    if (!server_) return;
    sender_.close();
    EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    if (HasFailure()) std::fprintf(stderr, "server output:\n%s\n", server_->output().c_str());
  }
  std::string exchange(const std::string& message, int waitMs = kWaitMs) {
    EXPECT_EQ(sender_.send(test::rawSiaFrame(message)), 0);
    return test::readSiaAnswer(sender_, waitMs);
  }
  // A plain frame answered ACK: whatever was sent before it has been handled.
  void settle(int seq) {
    ASSERT_EQ(wordOf(exchange("\"ADM-CID\"" + header(seq) + "[" + kCidData + "]")), "ACK");
  }
  std::vector<std::string> queued(size_t count) {
    return test::queuedAtLeast(dir_.path(), "Bank", count, kWaitMs);
  }
  std::string log() { return test::readFiles(dir_ / "Orv_Sia"); }

  test::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::Process> server_;
  LineSocket sender_;
};

TEST_F(SiaSecure, EveryKeyLengthOpensAdmCidAndSiaDcsAndAnswersWithAnEncryptedAck) {
  start("", "1001=" + kKey128 + "\n1002=" + kKey192 + "\n1003=" + kKey256 + "\n");
  const std::pair<std::string, std::string> accounts[] = {
      {"1001", kKey128}, {"1002", kKey192}, {"1003", kKey256}};
  std::vector<std::string> expected;
  int seq = 1;
  for (const auto& [account, key] : accounts) {
    for (bool raw : {true, false}) {
      const std::string h = header(seq++, account);
      const std::string m = test::encryptedSiaMessage("ADM-CID", h, "#" + account + "|1130 01 015",
                                                      key, test::siaStamp(time(nullptr)));
      ASSERT_EQ(sender_.send(raw ? test::rawSiaFrame(m) : standardSiaFrame(m)), 0);
      const std::string answer = test::readSiaAnswer(sender_, kWaitMs);
      EXPECT_EQ(wordOf(answer), "*ACK") << answer;
      EXPECT_EQ(answer.find("\"*ACK\"" + h + "["), raw ? 7u : 9u) << answer;
      const std::string plain = test::openSiaAnswer(answer, key);
      ASSERT_GE(plain.size(), 22u) << answer;
      EXPECT_NE(plain.find('|'), std::string::npos);
      EXPECT_EQ(plain.substr(plain.size() - 21, 2), "]_") << plain;
      expected.push_back("5001 18" + account + "E13001015");
    }
    const std::string dcs =
        test::encryptedSiaMessage("SIA-DCS", header(seq++, account), "#" + account + "|NRI01BA01",
                                  key, test::siaStamp(time(nullptr)));
    EXPECT_EQ(wordOf(exchange(dcs)), "*ACK");
    expected.push_back("S001[#" + account + "|NRI01BA01]");
  }
  // The same lines as their unencrypted twins give.
  EXPECT_EQ(queued(expected.size()), expected);
  EXPECT_EQ(log().find(kKey128.substr(0, 8)), std::string::npos);
}

TEST_F(SiaSecure, WrongMissingOrMalformedEncryptionIsAnsweredDuhAndNothingIsQueued) {
  start("", "1234=" + kKey128 + "\n5678=0123456789\n9999=\x01\x02\x03\xff\n");
  const std::string stamp = test::siaStamp(time(nullptr));
  const std::string messages[] = {
      test::encryptedSiaMessage("ADM-CID", header(1), kCidData, kKey256, stamp),  // wrong key
      test::encryptedSiaMessage("ADM-CID", header(2, "4321"), kCidData, kKey128, stamp),  // no key
      test::encryptedSiaMessage("ADM-CID", header(3, "5678"), kCidData, kKey128,
                                stamp),                                        // 10 digits
      test::encryptedSiaMessage("ADM-CID", header(4), kCidData, kKey128, ""),  // no time stamp
      "\"*ADM-CID\"" + header(5) + "[ABC",                                     // odd length
      "\"*ADM-CID\"" + header(6) + "[" + std::string(32, 'Z'),                 // not hex
      "\"*ADM-CID\"" + header(7) + "[" + std::string(40, 'A'),                 // not 16 bytes
      "\"*ADM-CID\"" + header(8) + "[" +
          test::aesEncryptHex(std::string(16, 'p') + kCidData + "]" + stamp + "pppppppppppp",
                              kKey128),
  };
  for (const std::string& m : messages) {
    const std::string answer = exchange(m);
    EXPECT_EQ(wordOf(answer), "DUH") << m;
    EXPECT_EQ(answer.find('['), answer.size() - 3) << "a DUH is never encrypted: " << answer;
  }
  settle(9);
  EXPECT_EQ(queued(1), std::vector<std::string>{kCidLine});
  const std::string log = this->log();
  EXPECT_NE(log.find("DUH: no key for account 4321"), std::string::npos) << log;
  EXPECT_NE(log.find("an odd number of hexadecimal digits"), std::string::npos) << log;
  // The malformed keys are named by account on stderr, never shown.
  EXPECT_NE(server_->output().find("the key of account 5678 is not 32, 48 or 64"),
            std::string::npos);
  EXPECT_EQ(server_->output().find("0123456789"), std::string::npos);
}

TEST_F(SiaSecure, AKeyFileOthersMayReadIsNotUsedUntilFixedAndReloaded) {
  start("", "1234=" + kKey128 + "\n", 0644);
  EXPECT_TRUE(server_->waitForOutput("may be read or written by other users (mode 644)", kWaitMs));
  const auto encrypted = [&](int seq) {
    return test::encryptedSiaMessage("ADM-CID", header(seq), kCidData, kKey128,
                                     test::siaStamp(time(nullptr)));
  };
  EXPECT_EQ(wordOf(exchange(encrypted(1))), "DUH");
  // The operator makes the file private and reloads: the key now opens the same frame.
  ASSERT_EQ(::chmod((dir_ / "Orv_SiaKeys.ini").c_str(), 0600), 0);
  server_->signal(SIGHUP);
  ASSERT_TRUE(server_->waitForLine("configuration reloaded", kWaitMs));
  EXPECT_TRUE(server_->output().find("SIA keys from " + (dir_ / "Orv_SiaKeys.ini").string() +
                                     ": accounts with a key of their own: 1") != std::string::npos)
      << server_->output();
  connect();
  EXPECT_EQ(wordOf(exchange(encrypted(2))), "*ACK");
  // A key changed in the file takes effect at the next reload, the old one stops working.
  writeKeys("1234=" + kKey256 + "\n", 0600);
  server_->signal(SIGHUP);
  ASSERT_TRUE(server_->waitForLine("configuration reloaded", kWaitMs));
  connect();
  EXPECT_EQ(wordOf(exchange(encrypted(3))), "DUH");
  EXPECT_EQ(wordOf(exchange(test::encryptedSiaMessage("ADM-CID", header(4), kCidData, kKey256,
                                                      test::siaStamp(time(nullptr))))),
            "*ACK");
  EXPECT_EQ(queued(2).size(), 2u);
}

TEST_F(SiaSecure, ATimeStampOutsideTheWindowGetsNakWithTheReceiversTime) {
  start("CheckPlainTime=1\n", "1234=" + kKey128 + "\n");
  int seq = 1;
  for (int offset : {-41, 21, -39}) {
    const time_t now = startOfASecond();
    const std::string answer = exchange(test::encryptedSiaMessage(
        "ADM-CID", header(seq++), kCidData, kKey128, test::siaStamp(now + offset)));
    if (offset == -39) {
      EXPECT_EQ(wordOf(answer), "*ACK") << answer;
      continue;
    }
    EXPECT_EQ(answer, test::rawSiaFrame("\"NAK\"0000R0L0A0[]" + test::siaStamp(now))) << offset;
  }
  // An unencrypted stamp is checked too, as configured; one without a stamp is not.
  const time_t now = startOfASecond();
  EXPECT_EQ(wordOf(exchange("\"ADM-CID\"" + header(seq++) + "[" + kCidData + "]" +
                            test::siaStamp(now - 41))),
            "NAK");
  settle(seq++);
  EXPECT_EQ(queued(2), (std::vector<std::string>{kCidLine, kCidLine}));
  EXPECT_NE(log().find("is 41 s behind the receiver's clock"), std::string::npos);
}

TEST_F(SiaSecure, UdpFramesAreAnsweredByDatagramAndARepeatIsQueuedOnce) {
  start("Udp=1\n", "1234=" + kKey128 + "\n");
  EXPECT_TRUE(server_->waitForOutput("SIA receiver listening on UDP port " + std::to_string(port_),
                                     kWaitMs));
  UdpSender udp(port_);
  const std::string m1 = "\"ADM-CID\"" + header(1) + "[" + kCidData + "]";
  EXPECT_EQ(udp.exchange(test::rawSiaFrame(m1)), test::rawSiaFrame("\"ACK\"" + header(1) + "[]"));
  // The ACK got lost: the transmitter sends the same frame again.
  EXPECT_EQ(udp.exchange(test::rawSiaFrame(m1)), test::rawSiaFrame("\"ACK\"" + header(1) + "[]"));
  // Encrypted, in the standard framing, and repeated with a fresh pad and stamp.
  for (int i = 0; i < 2; ++i) {
    const std::string answer = udp.exchange(standardSiaFrame(test::encryptedSiaMessage(
        "SIA-DCS", header(2), "#1234|NRI01BA01", kKey128, test::siaStamp(time(nullptr)))));
    EXPECT_EQ(wordOf(answer), "*ACK") << answer;
    EXPECT_FALSE(test::openSiaAnswer(answer, kKey128).empty());
  }
  // The same sequence number with another event is a new event.
  EXPECT_EQ(
      wordOf(udp.exchange(test::rawSiaFrame("\"ADM-CID\"" + header(1) + "[#1234|1130 01 016]"))),
      "ACK");
  // A wrong CRC, a datagram larger than any frame, garbage: no answer, nothing queued.
  std::string broken = test::rawSiaFrame("\"ADM-CID\"" + header(3) + "[" + kCidData + "]");
  broken[broken.size() - 3] = '9';
  EXPECT_EQ(udp.exchange(broken, kSilenceMs), "");
  EXPECT_EQ(udp.exchange(std::string(65000, '\n'), kSilenceMs), "");
  // Another transmitter is answered, and the TCP receiver still works beside it.
  UdpSender other(port_);
  EXPECT_EQ(wordOf(other.exchange(test::rawSiaFrame("\"NULL\"" + header(4) + "[]"))), "ACK");
  settle(5);
  EXPECT_EQ(queued(5),
            (std::vector<std::string>{kCidLine, "S001[#1234|NRI01BA01]", "5001 181234E13001016",
                                      "#0|1 @      ", kCidLine}));
  EXPECT_NE(log().find("repeat of " + header(1) + ": answered again, not queued"),
            std::string::npos);
}

// Resident memory of a process in KiB.
long residentKiB(pid_t pid) {
  const std::string status = test::readFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

TEST_F(SiaSecure, AFloodOfDatagramsFromManySourcesStarvesNoTransmitterAndStaysBounded) {
  start("Udp=1\nAllow=127.0.0.0/25\n", "*=" + kKey128 + "\n");
  // 100 sources send frames with right CRCs (new events, encrypted garbage, wrong keys) and
  // garbage, never reading an answer.
  std::vector<std::unique_ptr<UdpSender>> flood;
  for (uint32_t host = 2; host < 102; ++host) {
    flood.push_back(std::make_unique<UdpSender>(port_, INADDR_LOOPBACK - 1 + host));
  }
  const long before = residentKiB(server_->pid());
  for (int round = 0; round < 100; ++round) {
    for (size_t k = 0; k < flood.size(); ++k) {
      const int seq = 1 + static_cast<int>((round * flood.size() + k) % 9999);
      switch (k % 4) {
        case 0:
          flood[k]->send(
              test::rawSiaFrame("\"NULL\"" + header(seq, "F" + std::to_string(k)) + "[]"));
          break;
        case 1:
          flood[k]->send(
              test::rawSiaFrame("\"*SIA-DCS\"" + header(seq) + "[" + std::string(1024, 'A')));
          break;
        case 2:
          flood[k]->send(standardSiaFrame(test::encryptedSiaMessage(
              "ADM-CID", header(seq), kCidData, kKey256, test::siaStamp(time(nullptr)))));
          break;
        default:
          flood[k]->send(std::string(60000, static_cast<char>(round)));  // 150 MB in all
      }
    }
  }
  // A transmitter among them is answered (its frame may be lost in the flood: like a real one,
  // it sends again after a second), one outside the Allow list is not.
  UdpSender transmitter(port_);
  std::string answer;
  for (int attempt = 0; attempt < 20 && answer.empty(); ++attempt) {
    answer = transmitter.exchange(
        test::rawSiaFrame("\"ADM-CID\"" + header(1) + "[" + kCidData + "]"), kSilenceMs);
  }
  EXPECT_EQ(wordOf(answer), "ACK");
  UdpSender stranger(port_, INADDR_LOOPBACK + 200);  // 127.0.0.201
  EXPECT_EQ(stranger.exchange(test::rawSiaFrame("\"NULL\"" + header(2) + "[]"), kSilenceMs), "");
  EXPECT_TRUE(server_->waitForOutput("127.0.0.201", kWaitMs));
  const long after = residentKiB(server_->pid());
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer keeps freed memory in quarantine
  EXPECT_LT(after - before, 64 * 1024) << before << " KiB before, " << after << " KiB after";
#endif
}

TEST_F(SiaSecure, SiaSendEncryptsOverTcpAndUdpAndItsRepeatsAreQueuedOnce) {
  start("Udp=1\n", "*=" + kKey256 + "\n");
  test::Process tcp(ORV_SIASEND_PATH, {"--port", std::to_string(port_), "--connections", "4",
                                       "--frames", "200", "--key", kKey256, "--expect", "ACK"});
  std::optional<int> code = tcp.waitExit(60000);
  ASSERT_TRUE(code) << tcp.output();
  EXPECT_EQ(*code, 0) << tcp.output();
  EXPECT_NE(tcp.output().find("sent 200 ack 200 "), std::string::npos) << tcp.output();

  test::Process udp(ORV_SIASEND_PATH,
                    {"--port", std::to_string(port_), "--connections", "4", "--frames", "100",
                     "--udp", "--repeat", "2", "--seq", "1000", "--key", kKey256, "--framing",
                     "standard", "--expect", "ACK"});
  code = udp.waitExit(60000);
  ASSERT_TRUE(code) << udp.output();
  EXPECT_EQ(*code, 0) << udp.output();
  EXPECT_EQ(queued(300).size(), 300u);
  settle(9999);
  EXPECT_EQ(queued(301).size(), 301u);
}

}  // namespace
}  // namespace orv
