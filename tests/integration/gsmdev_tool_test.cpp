// orv-gsmdev, the simulated GSM receiver device: the test plays the server's device line over a
// socket and over the tool's pseudo-terminal.
//
// The expected hex records are built here with a checksum of the test's own, so that a fault in
// the tool's records is not mirrored by the test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/line_socket.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;
// How long a device that must stay quiet is watched.
constexpr int kQuietMs = 300;
constexpr std::string_view kStart = "VX2810mk V1.02\r\n";
const std::string kAckText(1, '\x06');

// The server's end of the device line.
class ServerEnd {
 public:
  // Non-blocking, so that a device that stops reading fails the test instead of hanging it.
  ServerEnd(UniqueFd fd, bool socket) : fd_(std::move(fd)), socket_(socket) {
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = socket_ ? ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                : ::write(fd_.get(), bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << std::strerror(errno);
      pollfd p{fd_.get(), POLLOUT, 0};
      ASSERT_GT(::poll(&p, 1, kWaitMs), 0) << "the device does not read";
    }
  }
  void answer(std::string_view carried = {}) {
    send(carried.empty() ? kAckText : kAckText + std::string(carried) + "\x14");
  }
  void lines(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& l : lines) bytes += l + "\r\n";
    send(bytes);
  }

  // The next message from the device without its DC4; nothing when none came in time.
  std::optional<std::string> message(int timeoutMs = kWaitMs) {
    const uint32_t start = ticks();
    for (;;) {
      const size_t end = buffer_.find('\x14');
      if (end != std::string::npos) {
        std::string m = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return m;
      }
      const int left = timeoutMs - static_cast<int>(ticksSince(start));
      pollfd p{fd_.get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  UniqueFd fd_;
  bool socket_;
  std::string buffer_;
};

std::vector<std::string> withArgs(std::vector<std::string> args,
                                  const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The device over TCP: the test listens, the tool connects.
struct TcpDevice {
  explicit TcpDevice(const std::vector<std::string>& args) {
    EXPECT_EQ(listener.listen(0, "device line"), 0);
    tool.emplace(
        ORV_GSMDEV_PATH,
        withArgs({"--connect", "127.0.0.1:" + std::to_string(listener.localPort())}, args));
    LineSocket connection;
    EXPECT_TRUE(listener.waitForConnection(kWaitMs)) << tool->output();
    EXPECT_EQ(listener.accept(connection), 0);
    server.emplace(UniqueFd(::dup(connection.fd())), true);
  }
  LineSocket listener;
  std::optional<test::Process> tool;
  std::optional<ServerEnd> server;
};

// The device over its pseudo-terminal: the test opens the slave the tool names.
struct PtyDevice {
  explicit PtyDevice(const std::vector<std::string>& args) {
    tool.emplace(ORV_GSMDEV_PATH, withArgs({"--pty"}, args));
    const std::optional<std::string> line = tool->waitForLine("pty: ", kWaitMs);
    EXPECT_TRUE(line) << tool->output();
    UniqueFd fd(
        ::open(line ? line->substr(5).c_str() : "/nonexistent", O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << line.value_or("no pty line");
    termios t{};
    ::tcgetattr(fd.get(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd.get(), TCSANOW, &t);
    server.emplace(std::move(fd), false);
  }
  std::optional<test::Process> tool;
  std::optional<ServerEnd> server;
};

// The summary's number after `key`, or -1.
long summaryField(const std::string& output, const std::string& key) {
  const size_t line = output.rfind("messages ");
  if (line == std::string::npos) return -1;
  std::istringstream in(output.substr(line, output.find('\n', line) - line));
  std::string word;
  long value = -1;
  while (in >> word) {
    if (word == key) in >> value;
  }
  return value;
}

std::string record(uint16_t address, const std::vector<uint8_t>& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
  char text[16];
  std::snprintf(text, sizeof text, ":%02zX%04X00", data.size(), address);
  std::string out = text;
  for (uint8_t b : data) {
    std::snprintf(text, sizeof text, "%02X", b);
    out += text;
    sum += b;
  }
  std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return out + text;
}

TEST(GsmDevTool, SendsMessagesStopAndWaitAndServesWhatTheAnswersCarry) {
  TcpDevice d({"--send", "U0123456789FFFF", "--send", "1011      0000 A  21", "--events", "4",
               "--account", "abcd"});
  ServerEnd& s = *d.server;
  // Nothing before the start text.
  EXPECT_FALSE(s.message(kQuietMs));
  s.send(kStart);
  ASSERT_TRUE(d.tool->waitForLine("start: VX2810mk V1.02", kWaitMs)) << d.tool->output();

  EXPECT_EQ(s.message(), "U0123456789FFFF");
  s.answer();
  EXPECT_EQ(s.message(), "1011      0000 A  21");
  s.answer("mode?");
  EXPECT_EQ(s.message(), "_mode 1");  // a reply, not acknowledged: the next message follows

  std::set<std::string> events;
  std::optional<std::string> m = s.message();
  ASSERT_TRUE(m);
  events.insert(*m);
  // An SMS text is acknowledged with the message ACK, whose answer may carry the next text.
  s.answer("Call 0123 now");
  EXPECT_EQ(s.message(), kAckText);
  s.answer("second text");
  EXPECT_EQ(s.message(), kAckText);
  s.answer();
  for (int i = 0; i < 3; ++i) {
    m = s.message();
    ASSERT_TRUE(m) << d.tool->output();
    events.insert(*m);
    s.answer();
  }
  EXPECT_EQ(events.size(), 4u);
  for (const std::string& e : events) {
    EXPECT_EQ(e.size(), 20u) << e;
    EXPECT_EQ(e.substr(0, 15), "5011 18ABCDE130") << e;
    EXPECT_EQ(e.find_first_not_of("0123456789", 15), std::string::npos) << e;
  }

  ASSERT_EQ(d.tool->waitExit(kWaitMs), 0) << d.tool->output();
  const std::string& out = d.tool->output();
  EXPECT_NE(out.find("command: mode?\n"), std::string::npos) << out;
  EXPECT_NE(out.find("text: Call 0123 now\n"), std::string::npos) << out;
  EXPECT_NE(out.find("text: second text\n"), std::string::npos) << out;
  EXPECT_EQ(summaryField(out, "messages"), 6) << out;
  EXPECT_EQ(summaryField(out, "acked"), 6) << out;
  EXPECT_EQ(summaryField(out, "timeouts"), 0) << out;
  EXPECT_EQ(summaryField(out, "texts"), 2) << out;
  EXPECT_EQ(summaryField(out, "commands"), 1) << out;
  EXPECT_EQ(summaryField(out, "errors"), 0) << out;
  EXPECT_NE(out.find("ack-latency-us p50 "), std::string::npos) << out;
}

TEST(GsmDevTool, ReadsWritesAndLoadsOverItsPseudoTerminal) {
  test::TempDir dir;
  // 0x1FF5 bytes: an erased block, records at both ends of the transferred range and a record
  // just past it, which must not be sent; the last one is short and reads as padded with 0xFF.
  std::string image(0x1FF5, '\xFF');
  for (int i = 0; i < 16; ++i) image[0x0010 + i] = static_cast<char>(i);
  image[0x0105] = 0x00;
  image[0x1FE0] = 0x42;
  image[0x1FF2] = 0x24;
  const auto imagePath = dir.write("device.bin", image);
  const auto savedPath = dir / "saved.bin";
  PtyDevice d({"--image", imagePath.string(), "--save-image", savedPath.string(), "--events", "4",
               "--linger", "60"});
  ServerEnd& s = *d.server;
  s.send(kStart);

  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("0000:lcfg");
  std::vector<uint8_t> second(16);
  for (int i = 0; i < 16; ++i) second[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> third(16, 0xFF);
  third[5] = 0x00;
  std::vector<uint8_t> last(16, 0xFF);
  last[0] = 0x42;
  for (const std::string& want : {"#4" + record(0x0010, second), "#4" + record(0x0100, third),
                                  "#4" + record(0x1FE0, last), std::string("C/3")}) {
    EXPECT_EQ(s.message(), want) << d.tool->output();
  }

  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("0000:scfg");
  EXPECT_EQ(s.message(), "Wait for hex..");
  const std::vector<uint8_t> written = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2,  3,  4,
                                        5,    6,    7,    8,    9, 10, 11, 12};
  s.lines({record(0x0100, written), record(0x3000, written), ":00000001FF", "", "C/2"});
  EXPECT_EQ(s.message(), "OK2") << d.tool->output();
  ASSERT_TRUE(d.tool->waitForLine("scfg: records 2 checksums ok", kWaitMs)) << d.tool->output();
  const std::string saved = test::readFile(savedPath);
  ASSERT_EQ(saved.size(), 0x3F30u);
  EXPECT_EQ(saved.substr(0x0100, 16), std::string(written.begin(), written.end()));
  EXPECT_EQ(saved.substr(0x3000, 16), std::string(written.begin(), written.end()));
  EXPECT_EQ(saved.substr(0x0010, 16), std::string(second.begin(), second.end()));
  EXPECT_EQ(saved.substr(0x1FF0, 16), std::string(image.substr(0x1FF0)) + std::string(11, '\xFF'));

  // The device keeps what was written: reading it again gives the new record.
  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("0000:lcfg");
  EXPECT_EQ(s.message(), "#4" + record(0x0010, second));
  EXPECT_EQ(s.message(), "#4" + record(0x0100, written));
  EXPECT_EQ(s.message(), "#4" + record(0x1FE0, last));
  EXPECT_EQ(s.message(), "C/3");

  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("0000:sfirm");
  EXPECT_EQ(s.message(), "Wait for hex..");
  s.lines({record(0, written), record(16, written), ":00000001FF", "C/2"});
  EXPECT_EQ(s.message(), "Firmware loaded 2") << d.tool->output();
  EXPECT_EQ(s.message(), "Restart");

  d.tool->signal(SIGTERM);
  ASSERT_EQ(d.tool->waitExit(kWaitMs), 0) << d.tool->output();
  EXPECT_NE(d.tool->output().find("record: " + record(16, written) + "\n"), std::string::npos);
  EXPECT_EQ(summaryField(d.tool->output(), "commands"), 4) << d.tool->output();
}

TEST(GsmDevTool, CountsWhatTheServerGotWrongAsErrors) {
  test::TempDir dir;
  const auto savedPath = dir / "saved.bin";
  TcpDevice d({"--events", "5", "--timeout", "2000", "--save-image", savedPath.string()});
  ServerEnd& s = *d.server;
  s.send(kStart);

  // An unanswered message is a time-out; the device goes on with the next one.
  ASSERT_TRUE(s.message()) << d.tool->output();
  ASSERT_TRUE(s.message()) << d.tool->output();

  // A carried text longer than the bound is dropped whole, tail included.
  s.send(kAckText + std::string(70 * 1024, 'x') + "\x14");
  ASSERT_TRUE(d.tool->waitForLine("without a DC4", kWaitMs)) << d.tool->output();
  ASSERT_TRUE(s.message()) << d.tool->output();

  // A record with a wrong checksum is reported and kept out of the image.
  s.answer("0000:scfg");
  EXPECT_EQ(s.message(), "Wait for hex..");
  const std::vector<uint8_t> data(16, 0x11);
  std::string damaged = record(0x0200, data);
  damaged.back() = damaged.back() == '0' ? '1' : '0';
  s.lines({record(0x0100, data), damaged, ":00000001FF", "", "C/2"});
  EXPECT_EQ(s.message(), "OK2") << d.tool->output();
  EXPECT_TRUE(d.tool->waitForLine("scfg: records 2 bad-checksums 1", kWaitMs)) << d.tool->output();
  const std::string saved = test::readFile(savedPath);
  ASSERT_EQ(saved.size(), 0x3F30u);
  EXPECT_EQ(saved.substr(0x0100, 16), std::string(16, '\x11'));
  EXPECT_EQ(saved.substr(0x0200, 16), std::string(16, '\xFF'));

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(s.message()) << d.tool->output();
    s.answer();
  }
  ASSERT_EQ(d.tool->waitExit(kWaitMs), 1) << d.tool->output();
  const std::string& out = d.tool->output();
  EXPECT_EQ(summaryField(out, "messages"), 5) << out;
  EXPECT_EQ(summaryField(out, "acked"), 4) << out;
  EXPECT_EQ(summaryField(out, "timeouts"), 1) << out;
  EXPECT_EQ(summaryField(out, "errors"), 3) << out;
  // No stray text was made of the oversized text's tail.
  EXPECT_EQ(out.find("text: x"), std::string::npos) << out;
  EXPECT_EQ(out.find("unexpected: x"), std::string::npos) << out;
}

TEST(GsmDevTool, RepliesAsItsOptionsSay) {
  TcpDevice d({"--events", "3", "--mode-error", "--no-text-ack"});
  ServerEnd& s = *d.server;
  s.send(kStart);
  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("0000:ncode?");
  EXPECT_EQ(s.message(), "STAT ERR");
  // Unacknowledged, the text is repeated with the next answers; the device passes it on each time.
  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer("hello");
  std::optional<std::string> m = s.message();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->substr(0, 4), "5011") << *m;
  s.answer("hello");
  ASSERT_EQ(d.tool->waitExit(kWaitMs), 0) << d.tool->output();
  EXPECT_EQ(summaryField(d.tool->output(), "texts"), 2) << d.tool->output();

  TcpDevice silentOnly({"--events", "2", "--mode-silent", "--no-wait-start"});
  ServerEnd& q = *silentOnly.server;
  ASSERT_TRUE(q.message()) << silentOnly.tool->output();
  q.answer("mode?");
  m = q.message();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->substr(0, 4), "5011") << *m;
  q.answer();
  EXPECT_EQ(silentOnly.tool->waitExit(kWaitMs), 0) << silentOnly.tool->output();
}

TEST(GsmDevTool, LingersServingTextsUntilStopped) {
  PtyDevice d({"--events", "1", "--linger", "60"});
  ServerEnd& s = *d.server;
  s.send(kStart);
  ASSERT_TRUE(s.message()) << d.tool->output();
  s.answer();
  // A text that comes on its own after the last message is still served.
  s.answer("late text");
  EXPECT_EQ(s.message(), kAckText);
  s.answer();
  ASSERT_TRUE(d.tool->waitForLine("text: late text", kWaitMs)) << d.tool->output();
  d.tool->signal(SIGTERM);
  ASSERT_EQ(d.tool->waitExit(kWaitMs), 0) << d.tool->output();
  EXPECT_EQ(summaryField(d.tool->output(), "texts"), 1) << d.tool->output();

  // Stopped before the start text: the summary still comes, and the run counts as failed.
  PtyDevice early({"--events", "10"});
  early.tool->signal(SIGINT);
  ASSERT_EQ(early.tool->waitExit(kWaitMs), 1) << early.tool->output();
  EXPECT_EQ(summaryField(early.tool->output(), "messages"), 0) << early.tool->output();
}

TEST(GsmDevTool, RefusesBadOptions) {
  test::TempDir dir;
  const auto big = dir.write("big.bin", std::string(0x3F31, '\0'));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--events", "1"},
           {"--pty", "--connect", "127.0.0.1:1"},
           {"--pty", "--account", "12G4"},
           {"--pty", "--account", "123"},
           {"--pty", "--image", big.string()},
           {"--connect", "127.0.0.1"},
           {"--pty", "--mode-silent", "--mode-reply", "x"},
       }) {
    test::Process tool(ORV_GSMDEV_PATH, args);
    const std::optional<int> code = tool.waitExit(kWaitMs);
    ASSERT_TRUE(code) << args.back();
    EXPECT_NE(*code, 0) << args.back() << ": " << tool.output();
    EXPECT_EQ(tool.output().find("pty: "), std::string::npos) << tool.output();
  }
}

}  // namespace
}  // namespace orv
