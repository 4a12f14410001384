#include "common/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "common/diag.h"
#include "common/ticks.h"

namespace orv {
namespace {

// Unix98 pseudo-terminal slaves: they have no modem lines.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

// The most one read() takes in, whatever the caller allows, so that a port that streams faster
// than we read cannot keep one call going.
constexpr size_t kMaxReadPerCall = 1024 * 1024;

struct BaudRate {
  int32_t rate;
  speed_t constant;
};

constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> baudConstant(int32_t rate) {
  for (const BaudRate& b : kBaudRates) {
    if (b.rate == rate) return b.constant;
  }
  return std::nullopt;
}

// Input flow-control bits; the driver must report them back as set.
constexpr tcflag_t kIflagMask = IXON | IXOFF | IXANY;

// Waits for `events` on fd or for the cancel descriptor. Returns the fd's revents (>0), 0 on a
// time-out, SerialPort::kCancelled, or -1 with errno set.
int waitFor(int fd, short events, int timeoutMs, int cancelFd) {
  pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  const nfds_t count = cancelFd >= 0 ? 2 : 1;
  const uint32_t start = ticks();
  for (;;) {
    int left = -1;
    if (timeoutMs >= 0) {
      const uint32_t spent = ticksSince(start);
      left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
    }
    const int r = ::poll(p, count, left);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (count == 2 && (p[1].revents & POLLIN)) return SerialPort::kCancelled;
    if (r == 0) return 0;
    if (p[0].revents != 0) return p[0].revents;
    if (left == 0) return 0;
  }
}

bool isPtySlave(const struct stat& st) {
  const unsigned m = major(st.st_rdev);
  return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

// Names what of `wanted` the driver did not keep in `got`, or nothing when it kept everything. A
// pseudo-terminal carries bytes, not characters on a wire: it always reports 8 data bits without
// parity, so those are not held against it.
std::optional<std::string> settingsNotTaken(const termios& wanted, const termios& got, bool pty) {
  std::string missing;
  auto note = [&missing](const char* what) {
    if (!missing.empty()) missing += ", ";
    missing += what;
  };
  if (::cfgetospeed(&wanted) != ::cfgetospeed(&got) ||
      ::cfgetispeed(&wanted) != ::cfgetispeed(&got)) {
    note("baud rate");
  }
  if (!pty && (wanted.c_cflag & CSIZE) != (got.c_cflag & CSIZE)) note("data bits");
  const tcflag_t parity = pty ? PARODD | CMSPAR : PARENB | PARODD | CMSPAR;
  if ((wanted.c_cflag & parity) != (got.c_cflag & parity)) note("parity");
  if ((wanted.c_cflag & CSTOPB) != (got.c_cflag & CSTOPB)) note("stop bits");
  if ((wanted.c_cflag & CRTSCTS) != (got.c_cflag & CRTSCTS) ||
      (wanted.c_iflag & kIflagMask) != (got.c_iflag & kIflagMask)) {
    note("flow control");
  }
  if ((wanted.c_cflag & (CLOCAL | CREAD)) != (got.c_cflag & (CLOCAL | CREAD))) {
    note("receiver/local mode");
  }
  if (got.c_cc[VMIN] != 0 || got.c_cc[VTIME] != 0 || (got.c_lflag & (ICANON | ECHO | ISIG)) != 0) {
    note("raw mode");
  }
  if (missing.empty()) return std::nullopt;
  return missing;
}

}  // namespace

bool applySerialSettings(termios& tio, const SerialSettings& s, std::string& reason) {
  auto refuse = [&reason](std::string text) {
    reason = std::move(text);
    return false;
  };
  const std::optional<speed_t> speed = baudConstant(s.baud);
  if (!speed) return refuse("unsupported baud rate " + std::to_string(s.baud));

  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetospeed(&tio, *speed) != 0 || ::cfsetispeed(&tio, *speed) != 0) {
    return refuse("unsupported baud rate " + std::to_string(s.baud));
  }

  switch (s.dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return refuse("unsupported data bits " + std::to_string(s.dataBits) + " (5 to 8)");
  }

  switch (s.parity) {
    case SerialSettings::kParityNone:
      break;
    case SerialSettings::kParityOdd:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case SerialSettings::kParityEven:
      tio.c_cflag |= PARENB;
      break;
    case SerialSettings::kParityMark:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SerialSettings::kParitySpace:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return refuse("unsupported parity " + std::to_string(s.parity) + " (0 to 4)");
  }

  switch (s.stopBits) {
    case SerialSettings::kStopBitsOne:
      break;
    case SerialSettings::kStopBitsOneAndHalf:
    case SerialSettings::kStopBitsTwo:
      tio.c_cflag |= CSTOPB;
      break;
    default:
      return refuse("unsupported stop bits " + std::to_string(s.stopBits) + " (0 to 2)");
  }

  switch (s.flowCtrl) {
    case SerialSettings::kFlowNone:
      break;
    case SerialSettings::kFlowXonXoff:
      tio.c_iflag |= IXON | IXOFF;
      tio.c_cc[VSTART] = 0x11;
      tio.c_cc[VSTOP] = 0x13;
      break;
    case SerialSettings::kFlowRtsCts:
      tio.c_cflag |= CRTSCTS;
      break;
    default:
      return refuse("unsupported flow control " + std::to_string(s.flowCtrl) + " (0 to 2)");
  }
  return true;
}

std::optional<std::filesystem::path> serialPortPath(const IniFile& ini, int com) {
  if (com < 1) return std::nullopt;
  const std::optional<std::string> mapped = ini.value("Ports", "COM" + std::to_string(com));
  if (mapped && !mapped->empty()) return std::filesystem::path(*mapped);
  return std::filesystem::path("/dev/ttyS" + std::to_string(com - 1));
}

std::vector<int> presentComPorts(const IniFile& ini, int maxCom) {
  std::vector<int> present;
  for (int com = 1; com <= maxCom; ++com) {
    const std::optional<std::string> mapped = ini.value("Ports", "COM" + std::to_string(com));
    std::error_code ec;
    if ((mapped && !mapped->empty()) ||
        std::filesystem::exists("/dev/ttyS" + std::to_string(com - 1), ec)) {
      present.push_back(com);
    }
  }
  return present;
}

SerialPort::SerialPort(UniqueFd fd, int com, std::filesystem::path path)
    : fd_(std::move(fd)), com_(com), path_(std::move(path)) {}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::move(other.fd_)),
      com_(other.com_),
      path_(std::move(other.path_)),
      cancelFd_(std::exchange(other.cancelFd_, -1)),
      failed_(other.failed_.load()) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::move(other.fd_);
    com_ = other.com_;
    path_ = std::move(other.path_);
    cancelFd_ = std::exchange(other.cancelFd_, -1);
    failed_.store(other.failed_.load());
  }
  return *this;
}

SerialPort::~SerialPort() {
  close();
}

void SerialPort::close() {
  if (!fd_) return;
  // A pseudo-terminal keeps its exclusive flag past our close while its master lives; the next
  // opener (a test reopening the slave, or ourselves) must not find it still set.
  ::ioctl(fd_.get(), TIOCNXCL);
  fd_.reset();
}

std::optional<SerialPort> SerialPort::open(const IniFile& ini, int com,
                                           const SerialSettings& settings) {
  const std::optional<std::filesystem::path> path = serialPortPath(ini, com);
  if (!path) return std::nullopt;
  return open(com, *path, settings);
}

std::optional<SerialPort> SerialPort::open(int com, const std::filesystem::path& path,
                                           const SerialSettings& settings) {
  const std::string where = "COM" + std::to_string(com) + " (" + path.string() + ")";
  auto failWith = [&where](const char* what, const std::string& reason) {
    diagf("%s: %s: %s", where.c_str(), what, reason.c_str());
    return std::nullopt;
  };

  if (com < 1) return failWith("cannot open", "COM numbers start at 1");

  // Settings that cannot be opened are refused before the device is touched.
  std::string reason;
  termios scratch{};
  if (!applySerialSettings(scratch, settings, reason)) return failWith("cannot open", reason);

  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return failWith("cannot open", std::strerror(errno));

  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failWith("cannot open", std::strerror(errno));
  if (!S_ISCHR(st.st_mode)) return failWith("cannot open", "not a character device");
  termios tio{};
  if (::tcgetattr(fd.get(), &tio) != 0) return failWith("not a serial port", std::strerror(errno));
  const bool pty = isPtySlave(st);

  // TIOCEXCL keeps other programs out, but not root; the lock keeps two of ours apart always.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return failWith("cannot open", "in use by another program");
    return failWith("cannot lock", std::strerror(errno));
  }
  if (::ioctl(fd.get(), TIOCEXCL) != 0) {
    return failWith("cannot take exclusive use", std::strerror(errno));
  }

  // From here on a failure closes through the port, which clears the exclusive flag again.
  SerialPort port(std::move(fd), com, path);

  applySerialSettings(tio, settings, reason);
  if (::tcsetattr(port.fd(), TCSANOW, &tio) != 0) {
    return failWith("cannot set line settings", std::strerror(errno));
  }
  // tcsetattr succeeds when any part of the request was taken: read back what the driver kept.
  termios taken{};
  if (::tcgetattr(port.fd(), &taken) != 0) {
    return failWith("cannot read line settings", std::strerror(errno));
  }
  if (std::optional<std::string> missing = settingsNotTaken(tio, taken, pty)) {
    return failWith("driver did not take the settings", *missing);
  }

  if (settings.flowCtrl == SerialSettings::kFlowRtsCts) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(port.fd(), TIOCMBIS, &lines) != 0 && !pty) {
      return failWith("cannot raise DTR and RTS", std::strerror(errno));
    }
  }

  if (settings.stopBits == SerialSettings::kStopBitsOneAndHalf) {
    diagf("%s: 1.5 stop bits are not available; opened with 2", where.c_str());
  }
  return port;
}

void SerialPort::fail(const char* what, int err) {
  if (failed_.exchange(true)) return;
  diagf("COM%d (%s): %s: %s", com_, path_.c_str(), what,
        err != 0 ? std::strerror(err) : "the device hung up");
}

int SerialPort::read(std::string& out, size_t maxBytes, int timeoutMs) {
  if (!fd_ || failed()) return -1;
  if (maxBytes == 0) return 0;  // no room: waiting for input would only spin
  maxBytes = std::min(maxBytes, kMaxReadPerCall);
  const uint32_t start = ticks();
  for (;;) {
    int left = timeoutMs;
    if (timeoutMs >= 0) {
      const uint32_t spent = ticksSince(start);
      left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
    }
    const int ready = waitFor(fd_.get(), POLLIN, left, cancelFd_);
    if (ready == kCancelled) return kCancelled;
    if (ready < 0) {
      fail("cannot wait for input", errno);
      return -1;
    }
    if (ready == 0) return 0;

    const bool hungUp = (ready & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    size_t got = 0;
    char chunk[4096];
    while (got < maxBytes) {
      const ssize_t n = ::read(fd_.get(), chunk, std::min(sizeof chunk, maxBytes - got));
      if (n > 0) {
        out.append(chunk, static_cast<size_t>(n));
        got += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        // What arrived before the failure is the caller's; the failure shows on the next call.
        if (got > 0) return static_cast<int>(got);
        fail("cannot read", errno);
        return -1;
      }
      break;  // EAGAIN, or nothing more (VMIN 0)
    }
    if (got > 0) return static_cast<int>(got);
    if (hungUp) {
      fail("cannot read", 0);
      return -1;
    }
    // Readable yet nothing to read: wait again for the rest of the time.
    if (left == 0) return 0;
  }
}

bool SerialPort::write(std::string_view data, int timeoutMs) {
  if (!fd_ || failed()) return false;
  const uint32_t start = ticks();
  while (!data.empty()) {
    const ssize_t n = ::write(fd_.get(), data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      fail("cannot write", errno);
      return false;
    }
    const uint32_t spent = ticksSince(start);
    if (timeoutMs >= 0 && spent >= static_cast<uint32_t>(timeoutMs)) {
      diagf("COM%d (%s): write timed out after %d ms with %zu bytes unsent", com_, path_.c_str(),
            timeoutMs, data.size());
      return false;
    }
    const int left = timeoutMs < 0 ? -1 : timeoutMs - static_cast<int>(spent);
    const int ready = waitFor(fd_.get(), POLLOUT, left, cancelFd_);
    if (ready == kCancelled) return false;
    if (ready < 0) {
      fail("cannot wait for output", errno);
      return false;
    }
    if (ready > 0 && (ready & POLLOUT) == 0 && (ready & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      fail("cannot write", 0);
      return false;
    }
    // On a time-out the loop tries once more and then reports it.
  }
  return true;
}

size_t SerialPort::pendingInput() const {
  int count = 0;
  if (!fd_ || ::ioctl(fd_.get(), FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<size_t>(count);
}

void SerialPort::discardInput() {
  if (fd_) ::tcflush(fd_.get(), TCIFLUSH);
}

}  // namespace orv
