#include "bridge/comlan_bridge.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "common/diag.h"
#include "common/socket_error.h"

namespace orv {
namespace {

constexpr std::string_view kTimeSync = "systime";
constexpr std::string_view kAnswer = "0\r\n";
// The port release the settings dialog waits for: 1000 checks 10 ms apart.
constexpr int kReleaseChecks = 1000;
constexpr int kReleaseCheckMs = 10;
// A frame's write limit beyond the time its bytes take on the wire.
constexpr int kWriteSlackMs = 2000;

// The device reads DTR as "host ready"; RTS stays low (no handshake). Pseudo-terminals have no
// modem lines, so failures are no reason to give up the port.
void setModemLines(int fd) {
  int dtr = TIOCM_DTR;
  ::ioctl(fd, TIOCMBIS, &dtr);
  int rts = TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &rts);
}

// Whether `path` opens as a terminal now, without a diagnostic: the quiet check before a lost
// port is opened for real, so an unplugged adapter is reported once and not every few seconds.
bool terminalAvailable(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  termios tio{};
  const bool tty = ::tcgetattr(fd, &tio) == 0;
  ::close(fd);
  return tty;
}

int writeLimitMs(size_t bytes, int32_t baud) {
  // Ten bit times a character at the slowest, so that a long line at a low rate is not cut off
  // and sent again for ever.
  const int64_t rate = baud > 0 ? baud : 9600;
  const int64_t wireMs = static_cast<int64_t>(bytes) * 10 * 1000 / rate;
  return static_cast<int>(std::min<int64_t>(wireMs + kWriteSlackMs, 10 * 60 * 1000));
}

}  // namespace

int setSystemClock(const LocalDateTime& t) {
  std::tm fields{};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  fields.tm_hour = t.hour;
  fields.tm_min = t.minute;
  fields.tm_sec = t.second;
  fields.tm_isdst = -1;
  errno = 0;
  const std::time_t seconds = std::mktime(&fields);
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return errno;
  const timespec ts{seconds, static_cast<long>(t.millisecond) * 1000000L};
  if (::clock_settime(CLOCK_REALTIME, &ts) != 0) return errno;
  return 0;
}

ComlanCore::ComlanCore(std::filesystem::path dir, ClockSetter setClock)
    : ComlanCore(std::move(dir), std::move(setClock), Timing{}) {}

ComlanCore::ComlanCore(std::filesystem::path dir, ClockSetter setClock, Timing timing)
    : dir_(std::move(dir)),
      setClock_(std::move(setClock)),
      timing_(timing),
      log_(dir_ / kLogDirName) {}

ComlanCore::~ComlanCore() {
  stop();
}

ComlanSettings ComlanCore::settings() const {
  std::lock_guard guard(settingsLock_);
  return settings_;
}

bool ComlanCore::start() {
  if (worker_.joinable()) return true;
  const IniFile ini(dir_ / kIniName);
  const ComlanSettings s = ComlanSettings::load(ini);
  {
    std::lock_guard guard(settingsLock_);
    settings_ = s;
  }
  if (s.com == 0) {
    diag("no serial port (Port=0): the bridge stays idle");
    return false;
  }
  serialSettings_ =
      SerialSettings{s.baudRate, s.dataBits, s.parity, s.stopBits, SerialSettings::kFlowNone};
  const std::optional<std::filesystem::path> path = serialPortPath(ini, s.com);
  if (!path) {
    diagf("COM%d names no serial port: the bridge stays idle", s.com);
    return false;
  }
  std::optional<SerialPort> port = SerialPort::open(s.com, *path, serialSettings_);
  if (!port) return false;  // open() said why
  portPath_ = *path;
  setModemLines(port->fd());
  cancel_ = std::make_unique<CancelEvent>();
  port->setCancelFd(cancel_->fd());
  port_ = std::move(port);
  portOpen_ = true;
  connectFailing_ = false;
  worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

void ComlanCore::stop() {
  if (!worker_.joinable()) return;
  worker_.request_stop();
  cancel_->set();
  worker_.join();
  worker_ = std::jthread();
}

bool ComlanCore::rewriteSettings(const ComlanSettings& s, std::string* error) {
  stop();
  for (int i = 0; i < kReleaseChecks && portOpen_.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kReleaseCheckMs));
  }
  IniFile ini(dir_ / kIniName);
  writeComlanSettings(ini, s);
  std::string reason;
  const bool saved = ini.save(&reason);
  if (!saved) {
    diagf("cannot write %s: %s", ini.path().c_str(), reason.c_str());
    if (error != nullptr) *error = reason;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(timing_.settingsSettleMs));
  start();
  return saved;
}

void ComlanCore::run(std::stop_token stop) {
  bool lineArrived = false;
  while (!stop.stop_requested()) {
    if (!port_ || port_->failed()) {
      disconnect();
      if (!reopenSerialPort()) break;
      continue;
    }
    if (!socket_.isOpen()) {
      if (!connectToServer()) {
        socket_.close();
        bool cancelled = false;
        for (int i = 0; i < timing_.retryWaits && !cancelled; ++i) {
          cancelled = cancel_->waitMs(timing_.retryWaitMs);
        }
        continue;
      }
      lineArrived = false;
    }
    // The pause belongs to an idle cycle only: after a line the next may be waiting already,
    // and a pause per line would cap the bridge at 50 lines a second.
    if (!lineArrived && cancel_->waitMs(timing_.cycleWaitMs)) break;
    std::string line;
    const int rc = socket_.receiveLine(line, LineEnd::CrLf, timing_.receiveMs);
    --watchdog_;
    lineArrived = rc == 0;
    if (rc == 0) {
      watchdog_ = timing_.watchdog;
      handleLine(line);
    } else if (rc != kWsaTimedOut) {
      if (rc != kWsaInterrupted) {
        diagf("connection to the server ended: %s", describeSocketError(rc).c_str());
      }
      disconnect();
      continue;
    }
    if (watchdog_ < 1) {
      diag("no line from the server for too long: connecting again");
      disconnect();
    }
  }
  disconnect();
  port_.reset();
  portOpen_ = false;
}

bool ComlanCore::connectToServer() {
  const ComlanSettings s = settings();
  auto failed = [&](const std::string& why) {
    if (cancel_->isSet()) return false;  // stopping, not failing
    if (!connectFailing_) {
      diagf("cannot connect to %s:%d: %s (trying again every %d ms)", s.host.c_str(), s.tcpPort,
            why.c_str(), timing_.retryWaits * timing_.retryWaitMs);
    }
    connectFailing_ = true;
    return false;
  };
  if (s.tcpPort < 1 || s.tcpPort > 65535) return failed("no such port");
  socket_ = LineSocket();
  socket_.setCancelFd(cancel_->fd());
  int rc = socket_.connect(s.host, static_cast<uint16_t>(s.tcpPort), timing_.connectMs);
  if (rc != 0) return failed(describeSocketError(rc));
  if (cancel_->waitMs(timing_.bannerDelayMs)) return false;
  std::string banner;
  rc = socket_.receiveLine(banner, LineEnd::CrLf, timing_.bannerMs);
  if (rc == kWsaTimedOut) return failed("no banner");
  if (rc != 0) return failed(describeSocketError(rc));
  rc = socket_.send(s.id + "\r\n");
  if (rc != 0) return failed(describeSocketError(rc));
  if (connectFailing_) diagf("connected to %s:%d", s.host.c_str(), s.tcpPort);
  connectFailing_ = false;
  watchdog_ = timing_.watchdog;
  connected_ = true;
  return true;
}

void ComlanCore::disconnect() {
  socket_.close();
  connected_ = false;
}

void ComlanCore::handleLine(const std::string& received) {
  std::string line = received;
  if (line.find('@') != std::string::npos) {
    line = kTestLine;
  } else {
    log_.append(line);
  }
  show(line);

  if (line.compare(0, kTimeSync.size(), kTimeSync) == 0) {
    handleTimeSync(std::string_view(line).substr(kTimeSync.size()));
    socket_.send(kAnswer);
    return;
  }
  if (deliver(line)) socket_.send(kAnswer);
  // Without an ACK the server keeps the line and hands it to the next connection.
}

void ComlanCore::handleTimeSync(std::string_view text) {
  if (!settings().syncFl) return;
  const int error = dayNumberTextError(text);
  LocalDateTime when;
  if (error == 0) {
    when = fromDayNumber(*parseDayNumber(text));
    show(formatLogTimeStamp(when));
  }
  show("i=" + std::to_string(error));
  if (error != 0) return;
  show("SetLocalTime");
  if (const int err = setClock_(when); err != 0) {
    const std::string failure = std::string("SetLocalTime failed: ") + std::strerror(err);
    show(failure);
    diag(failure);
  }
}

bool ComlanCore::deliver(std::string_view line) {
  std::string frame = settings().removeDt ? stripDateSuffix(line) : std::string(line);
  frame += kDc4;
  // A late answer to an earlier line must not count as this line's.
  port_->discardInput();
  if (!port_->write(frame, writeLimitMs(frame.size(), serialSettings_.baud))) return false;
  std::string reply;
  const int got = port_->read(reply, 1, timing_.replyMs);
  if (got > 0) port_->discardInput();  // whatever came with the answer
  return got == 1 && reply[0] == kAck;
}

bool ComlanCore::reopenSerialPort() {
  const int com = port_ ? port_->com() : settings().com;
  port_.reset();
  portOpen_ = false;
  diagf("COM%d (%s) is gone: nothing is acknowledged until it is back; trying every %d ms", com,
        portPath_.c_str(), timing_.reopenMs);
  while (!cancel_->waitMs(timing_.reopenMs)) {
    if (!terminalAvailable(portPath_)) continue;
    std::optional<SerialPort> port = SerialPort::open(com, portPath_, serialSettings_);
    if (!port) continue;
    setModemLines(port->fd());
    port->setCancelFd(cancel_->fd());
    port_ = std::move(port);
    portOpen_ = true;
    diagf("COM%d (%s) is back", com, portPath_.c_str());
    return true;
  }
  return false;
}

}  // namespace orv
