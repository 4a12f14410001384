#include "common/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "common/cancel_event.h"
#include "common/ticks.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWait = 10000;  // bound for anything that is expected to happen
constexpr int kShort = 50;    // for "nothing comes"

// Runs `f` and returns what it wrote to stderr.
template <typename F>
std::string stderrOf(F&& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

// Exactly one diagnostic line, naming the port and containing `reason`.
void expectOneLine(const std::string& err, int com, const std::string& path,
                   const std::string& reason) {
  const std::string prefix = "COM" + std::to_string(com) + " (" + path + "): ";
  EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
  EXPECT_NE(err.find(reason), std::string::npos) << err;
  EXPECT_TRUE(!err.empty() && err.find('\n') == err.size() - 1) << err;
}

// A pseudo-terminal pair: the test plays the far end on the master; the port opens the slave.
class SerialPortTest : public testing::Test {
 protected:
  void SetUp() override {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    master_.reset(master);
    ::close(slave);  // the port opens its own
    ASSERT_EQ(::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    path_ = name;
  }

  std::optional<SerialPort> openPort(const SerialSettings& settings = {}, int com = 2) {
    return SerialPort::open(com, path_, settings);
  }

  void sendFromFarEnd(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::write(master_.get(), data.data(), data.size());
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      ASSERT_TRUE(n < 0 && errno == EAGAIN) << std::strerror(errno);
      pollfd p{master_.get(), POLLOUT, 0};
      ASSERT_EQ(::poll(&p, 1, kWait), 1) << "far end cannot send";
    }
  }

  // What the far end receives, until `count` bytes came or nothing more comes within kWait.
  std::string receiveAtFarEnd(size_t count) {
    std::string got;
    char buf[4096];
    while (got.size() < count) {
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, kWait) != 1) break;
      ssize_t n = ::read(master_.get(), buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  // The far end's bytes reach the slave through the kernel's own worker, so a wake-up may see
  // only part of them: wait until the driver holds them all.
  static bool waitPending(SerialPort& port, size_t count) {
    const uint32_t start = ticks();
    while (port.pendingInput() < count && ticksSince(start) < kWait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port.pendingInput() == count;
  }

  UniqueFd master_;
  std::string path_;
};

TEST_F(SerialPortTest, PortsSectionMapsNumbersOthersAreTtySAndComZeroIsNone) {
  IniFile ini = IniFile::fromText("[ports]\ncom3=/dev/ttyUSB0\nCOM4=\n[Other]\nCOM5=/dev/x\n");
  EXPECT_EQ(serialPortPath(ini, 3), std::filesystem::path("/dev/ttyUSB0"));
  EXPECT_EQ(serialPortPath(ini, 1), std::filesystem::path("/dev/ttyS0"));
  EXPECT_EQ(serialPortPath(ini, 12), std::filesystem::path("/dev/ttyS11"));
  EXPECT_EQ(serialPortPath(ini, 4), std::filesystem::path("/dev/ttyS3")) << "empty mapping";
  EXPECT_EQ(serialPortPath(ini, 5), std::filesystem::path("/dev/ttyS4")) << "other section";
  EXPECT_EQ(serialPortPath(ini, 0), std::nullopt);
  EXPECT_EQ(serialPortPath(ini, -1), std::nullopt);
  EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(SerialPort::open(ini, 0, {}).has_value()); }), "");

  // The port lists offer mapped numbers whatever exists, and the ttyS ports that exist.
  const std::vector<int> present = presentComPorts(ini, 99);
  EXPECT_TRUE(std::find(present.begin(), present.end(), 3) != present.end());
  EXPECT_EQ(std::find(present.begin(), present.end(), 5) != present.end(),
            std::filesystem::exists("/dev/ttyS4"));
  EXPECT_TRUE(std::is_sorted(present.begin(), present.end()));

  std::optional<SerialPort> port =
      SerialPort::open(IniFile::fromText("[Ports]\nCOM9=" + path_), 9, {});
  ASSERT_TRUE(port.has_value());
  EXPECT_EQ(port->com(), 9);
  EXPECT_EQ(port->path(), std::filesystem::path(path_));
}

// --- line settings ---------------------------------------------------------------------------

struct TermiosCase {
  SerialSettings settings;
  tcflag_t cflag;  // under CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
  tcflag_t iflag;  // under IXON | IXOFF | IXANY
  speed_t speed;
};

TEST(SerialSettingsTermios, EveryValueSetsItsBitsAndClearsTheDriversEarlierState) {
  const TermiosCase cases[] = {
      {{9600, 8, 0, 0, 0}, CS8, 0, B9600},
      {{9600, 5, 0, 0, 0}, CS5, 0, B9600},
      {{9600, 6, 1, 0, 0}, CS6 | PARENB | PARODD, 0, B9600},
      {{9600, 7, 2, 0, 0}, CS7 | PARENB, 0, B9600},
      {{9600, 8, 3, 0, 0}, CS8 | PARENB | CMSPAR | PARODD, 0, B9600},
      {{9600, 8, 4, 0, 0}, CS8 | PARENB | CMSPAR, 0, B9600},
      {{50, 8, 0, 1, 0}, CS8 | CSTOPB, 0, B50},
      {{115200, 8, 0, 2, 1}, CS8 | CSTOPB, IXON | IXOFF, B115200},
      {{4000000, 8, 0, 0, 2}, CS8 | CRTSCTS, 0, B4000000},
  };
  for (const TermiosCase& c : cases) {
    const SerialSettings& s = c.settings;
    SCOPED_TRACE(testing::Message() << s.baud << " " << s.dataBits << " parity " << s.parity
                                    << " stop " << s.stopBits << " flow " << s.flowCtrl);
    termios tio{};
    tio.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    tio.c_iflag = IXON | IXOFF | IXANY | ICRNL | ISTRIP;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    std::string reason;
    ASSERT_TRUE(applySerialSettings(tio, s, reason)) << reason;
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), c.iflag);
    EXPECT_EQ(::cfgetospeed(&tio), c.speed);
    EXPECT_EQ(::cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(tio.c_iflag & (ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

TEST_F(SerialPortTest, SettingsReachTheDriverAndOnlyHalfStopBitsAreReported) {
  // A pseudo-terminal pins 8 data bits without parity; everything else must show in its flags.
  const TermiosCase cases[] = {
      {{1200, 8, 1, 0, 0}, PARODD, 0, B1200},
      {{4800, 8, 3, 0, 0}, PARODD | CMSPAR, 0, B4800},
      {{19200, 8, 4, 2, 0}, CMSPAR | CSTOPB, 0, B19200},
      {{57600, 7, 2, 0, 1}, 0, IXON | IXOFF, B57600},
      {{4000000, 8, 0, 0, 2}, CRTSCTS, 0, B4000000},  // DTR cannot be raised on a pty: quietly
  };
  for (const TermiosCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.settings.baud);
    std::optional<SerialPort> port;
    EXPECT_EQ(stderrOf([&] { port = openPort(c.settings); }), "");
    ASSERT_TRUE(port.has_value());
    termios tio{};
    ASSERT_EQ(::tcgetattr(port->fd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), c.iflag);
    EXPECT_EQ(::cfgetospeed(&tio), c.speed);
  }
  std::optional<SerialPort> port;
  expectOneLine(stderrOf([&] { port = openPort({9600, 8, 0, 1, 0}); }), 2, path_, "1.5 stop bits");
  ASSERT_TRUE(port.has_value());
  termios tio{};
  ASSERT_EQ(::tcgetattr(port->fd(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST_F(SerialPortTest, UnsupportedSettingsAreRefusedWithOneLine) {
  const std::pair<SerialSettings, const char*> cases[] = {
      {{14400, 8, 0, 0, 0}, "baud rate 14400"},  // a Windows rate without a termios constant
      {{0, 8, 0, 0, 0}, "baud rate 0"},         {{9600, 4, 0, 0, 0}, "data bits 4"},
      {{9600, 9, 0, 0, 0}, "data bits 9"},      {{9600, 8, 5, 0, 0}, "parity 5"},
      {{9600, 8, -1, 0, 0}, "parity -1"},       {{9600, 8, 0, 3, 0}, "stop bits 3"},
      {{9600, 8, 0, 0, 3}, "flow control 3"},
  };
  for (const auto& [settings, reason] : cases) {
    expectOneLine(stderrOf([&] { EXPECT_FALSE(openPort(settings, 5).has_value()); }), 5, path_,
                  reason);
  }
  EXPECT_TRUE(openPort().has_value()) << "a refusal left the device taken";
}

// --- opening ---------------------------------------------------------------------------------

TEST(SerialPortOpen, WhatIsNoSerialPortIsRefusedWithOneLine) {
  test::TempDir dir;
  const std::string file = dir.write("plain.txt", "data").string();
  const std::pair<std::string, std::string> cases[] = {
      {file, "not a character device"},
      {dir.path().string(), std::strerror(EISDIR)},
      {(dir / "ttyNone").string(), std::strerror(ENOENT)},
      {"/dev/null", "not a serial port"},
  };
  for (const auto& [path, reason] : cases) {
    expectOneLine(stderrOf([&] { EXPECT_FALSE(SerialPort::open(7, path, {}).has_value()); }), 7,
                  path, reason);
  }
  EXPECT_EQ(test::readFile(file), "data");
}

TEST_F(SerialPortTest, PortIsExclusiveUntilClosedAndMovesKeepIt) {
  std::optional<SerialPort> first = openPort();
  ASSERT_TRUE(first.has_value());
  SerialPort moved = std::move(*first);
  first.reset();  // the moved-from object must not release the port
  // Root passes TIOCEXCL and meets the lock; others are refused by the exclusive flag.
  expectOneLine(stderrOf([&] { EXPECT_FALSE(openPort({}, 4).has_value()); }), 4, path_, "");
  ASSERT_TRUE(moved.write("still mine"));
  EXPECT_EQ(receiveAtFarEnd(10), "still mine");

  moved.close();
  EXPECT_TRUE(openPort().has_value()) << "closing must release the port";
}

// --- data ------------------------------------------------------------------------------------

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWaysWithoutEcho) {
  std::optional<SerialPort> port = openPort();
  ASSERT_TRUE(port.has_value());
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));

  ASSERT_TRUE(port->write(all));
  EXPECT_EQ(receiveAtFarEnd(all.size()), all);

  sendFromFarEnd(all);
  std::string got;
  while (got.size() < all.size() && port->read(got, all.size() - got.size(), kWait) > 0) {
  }
  EXPECT_EQ(got, all);
  pollfd p{master_.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, kShort), 0) << "the port echoed";
}

TEST_F(SerialPortTest, LargeWriteWaitsForTheDriverAndArrivesWhole) {
  std::optional<SerialPort> port = openPort();
  ASSERT_TRUE(port.has_value());
  std::string data(300 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);

  std::string received;
  std::thread farEnd([&] { received = receiveAtFarEnd(data.size()); });
  EXPECT_TRUE(port->write(data, kWait));
  farEnd.join();
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST_F(SerialPortTest, ReadTakesAtMostMaxBytesTimesOutWithZeroAndDiscardEmptiesTheDriver) {
  std::optional<SerialPort> port = openPort();
  ASSERT_TRUE(port.has_value());
  sendFromFarEnd("0123456789");
  ASSERT_TRUE(waitPending(*port, 10));

  std::string out = "old:";
  EXPECT_EQ(port->read(out, 0, kWait), 0);
  EXPECT_EQ(port->read(out, 4, kWait), 4);
  EXPECT_EQ(out, "old:0123");
  EXPECT_EQ(port->pendingInput(), 6u);
  EXPECT_EQ(port->read(out, 100, kWait), 6);
  EXPECT_EQ(out, "old:0123456789");

  const uint32_t start = ticks();
  EXPECT_EQ(port->read(out, 100, kShort), 0);
  EXPECT_GE(ticksSince(start), static_cast<uint32_t>(kShort - 5)) << "returned before its time";
  EXPECT_EQ(out, "old:0123456789");

  sendFromFarEnd("stale");
  ASSERT_TRUE(waitPending(*port, 5));
  port->discardInput();
  EXPECT_EQ(port->pendingInput(), 0u);
  EXPECT_EQ(port->read(out, 100, kShort), 0);
  sendFromFarEnd("fresh");
  ASSERT_TRUE(waitPending(*port, 5));
  EXPECT_EQ(port->read(out, 100, kWait), 5);
  EXPECT_EQ(out, "old:0123456789fresh");
}

// --- ends ------------------------------------------------------------------------------------

TEST_F(SerialPortTest, ClosedFarEndFailsThePortOnceWithOneLine) {
  std::optional<SerialPort> port = openPort({}, 3);
  ASSERT_TRUE(port.has_value());
  master_.reset();
  std::string out;
  expectOneLine(stderrOf([&] {
                  EXPECT_EQ(port->read(out, 100, kWait), -1);
                  EXPECT_EQ(port->read(out, 100, kWait), -1);
                  EXPECT_FALSE(port->write("late"));
                }),
                3, path_, "");
  EXPECT_TRUE(port->failed());
}

TEST_F(SerialPortTest, WriteGivesUpWhenTheFarEndDoesNotRead) {
  std::optional<SerialPort> port = openPort();
  ASSERT_TRUE(port.has_value());
  const std::string data(1024 * 1024, 'x');  // far more than a pseudo-terminal buffers
  expectOneLine(stderrOf([&] { EXPECT_FALSE(port->write(data, 200)); }), 2, path_, "timed out");
  EXPECT_FALSE(port->failed()) << "a time-out leaves the port usable";
}

TEST_F(SerialPortTest, CancelFdEndsWaitsQuietly) {
  std::optional<SerialPort> port = openPort();
  ASSERT_TRUE(port.has_value());
  CancelEvent cancel;
  port->setCancelFd(cancel.fd());
  std::string out;
  EXPECT_EQ(stderrOf([&] {
              // A time-out would give 0 (read) or a diagnostic (write).
              std::thread canceller([&] { cancel.set(); });
              EXPECT_EQ(port->read(out, 100, kWait), SerialPort::kCancelled);
              canceller.join();
              EXPECT_FALSE(port->write(std::string(1024 * 1024, 'x'), kWait));
            }),
            "");
  EXPECT_FALSE(port->failed());
  port->setCancelFd(-1);
  EXPECT_EQ(port->read(out, 100, kShort), 0);
}

}  // namespace
}  // namespace orv
