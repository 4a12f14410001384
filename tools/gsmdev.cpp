// orv-gsmdev: plays a GSM receiver device on a server's device line, for tests, benchmarks and
// the demo.
//
// The device talks over a pseudo-terminal (the server's serial port) or a TCP connection. It
// sends its messages (text + DC4) stop-and-wait; the server answers each with a bare ACK or with
// an ACK that carries a text + DC4. A carried text is either a text to pass on (the device
// answers it with the message ACK) or a command: "mode"/"ncode", "lcfg" (read the
// configuration), "scfg" (write it) or "sfirm" (load firmware), whose replies the server reads
// without acknowledging them. Everything received is printed to stdout, one line per item, and
// a summary with the answer latency ends the run.
//
// Exit code 0 when every message was sent and answered and nothing the server sent was wrong.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/diag.h"
#include "common/hex_record.h"
#include "common/line_socket.h"
#include "common/unique_fd.h"
#include "tools/printable.h"
#include "tools/pty_device.h"
#include "tools/stop_and_wait.h"

namespace orv {
namespace {

using tool::printable;

using Clock = std::chrono::steady_clock;

constexpr std::string_view kStartMark = "VX2810mk";
// The most the server may send without a terminator before the bytes are thrown away.
constexpr size_t kMaxItem = 64 * 1024;
constexpr size_t kImageSize = 0x3F30;
// Configuration reads cover the records that start below this address.
constexpr uint32_t kTransferEnd = 0x1FEF;
constexpr size_t kRecordBytes = 16;

using Image = std::array<uint8_t, kImageSize>;

struct Options {
  bool pty = false;
  std::string connect;
  long events = 0;
  double rate = 0;
  std::string account = "1234";
  std::vector<std::string> sends;
  bool waitStart = true;
  int startTimeoutMs = 30000;
  double lingerSeconds = 0;
  int timeoutMs = 3000;
  std::string modeReply = "_mode 1";
  bool modeError = false;
  bool modeSilent = false;
  bool noTextAck = false;
  std::string imagePath;
  std::string saveImagePath;
  bool quiet = false;
};

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::optional<long> decimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// --- the byte stream from the server ---------------------------------------------------------

// How the server's bytes are cut into items: DC4 messages (carried texts), or the CR LF lines of
// a configuration or firmware transfer. Lines also end at a DC4, so that a count line sent as a
// message does not leave the device waiting; no hex record holds either byte.
enum class Framing { Message, Line };

// The bytes received and not yet taken. After an overflow the rest of the oversized item, up to
// its terminator, is dropped as it arrives, so its tail is not read as an item of its own.
class Framer {
 public:
  void append(const char* data, size_t n) {
    buffer_.append(data, n);
    settle();
  }
  size_t size() const { return buffer_.size() - head_; }
  char front() const { return buffer_[head_]; }
  void consume(size_t n) {
    head_ += std::min(n, size());
    compact();
  }

  // The next complete item without its terminator (and, for a line, without a CR before the LF).
  bool take(Framing framing, std::string& item) {
    const size_t end = findEnd(framing, head_);
    if (end == std::string::npos) return false;
    item.assign(buffer_, head_, end - head_);
    if (framing == Framing::Line && buffer_[end] == '\n' && !item.empty() && item.back() == '\r')
      item.pop_back();
    head_ = end + 1;
    compact();
    return true;
  }

  // Throws away what is buffered and whatever follows up to the next terminator.
  void skipItem(Framing framing) {
    skipping_ = true;
    skipFraming_ = framing;
    settle();
  }

 private:
  size_t findEnd(Framing framing, size_t from) const {
    return framing == Framing::Message ? buffer_.find(kDc4, from)
                                       : buffer_.find_first_of("\n\x14", from);
  }
  void settle() {
    if (!skipping_) return;
    const size_t end = findEnd(skipFraming_, head_);
    if (end == std::string::npos) {
      buffer_.clear();
      head_ = 0;
      return;
    }
    skipping_ = false;
    head_ = end + 1;
    compact();
  }
  void compact() {
    if (head_ == buffer_.size()) {
      buffer_.clear();
      head_ = 0;
    } else if (head_ > 4096 && head_ > buffer_.size() / 2) {
      buffer_.erase(0, head_);
      head_ = 0;
    }
  }

  std::string buffer_;
  size_t head_ = 0;
  bool skipping_ = false;
  Framing skipFraming_ = Framing::Message;
};

enum class Status { Ok, Timeout, Closed, Stopped, Overflow };

// The device's end of the line: a pty master or a TCP socket, non-blocking. Every wait also
// watches the signal fd, so SIGINT/SIGTERM end any wait at once; a stop or a closed connection
// is final.
class Link {
 public:
  Link(UniqueFd fd, int stopFd) : fd_(std::move(fd)), stopFd_(stopFd) {}

  bool over() const { return stopped_ || closed_; }
  bool stopped() const { return stopped_; }
  Framer& framer() { return framer_; }

  Status send(std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
      if (over()) return stopped_ ? Status::Stopped : Status::Closed;
      const ssize_t n = ::write(fd_.get(), data.data(), data.size());
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && errno == EAGAIN) {
        const Status s = wait(POLLOUT, deadline);
        if (s != Status::Ok) return s;
      } else if (n < 0 && errno != EINTR) {
        diagf("orv-gsmdev: sending failed: %s", std::strerror(errno));
        closed_ = true;
        return Status::Closed;
      }
    }
    return Status::Ok;
  }

  // Waits until at least one byte is buffered.
  Status awaitByte(Clock::time_point deadline) {
    while (framer_.size() == 0) {
      const Status s = fill(deadline);
      if (s != Status::Ok) return s;
    }
    return Status::Ok;
  }

  // Takes what has arrived without waiting.
  void fillNow() {
    if (!over()) fill(Clock::now());
  }

  // The next item in the framing, waited for up to the deadline.
  Status item(std::string& out, Framing framing, Clock::time_point deadline) {
    for (;;) {
      if (framer_.take(framing, out)) return Status::Ok;
      if (framer_.size() > kMaxItem) {
        diagf("orv-gsmdev: the server sent more than %zu bytes without %s; dropped them", kMaxItem,
              framing == Framing::Message ? "a DC4" : "a line end");
        framer_.skipItem(framing);
        return Status::Overflow;
      }
      const Status s = fill(deadline);
      if (s != Status::Ok) return s;
    }
  }

 private:
  Status wait(short events, Clock::time_point deadline) {
    if (over()) return stopped_ ? Status::Stopped : Status::Closed;
    pollfd p[2] = {{fd_.get(), events, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int n = ::poll(p, 2, static_cast<int>(std::clamp<long long>(left, 0, 1000000)));
      if (n < 0 && errno == EINTR) continue;
      if (p[1].revents & POLLIN) {
        stopped_ = true;
        return Status::Stopped;
      }
      if (n > 0) return Status::Ok;
      return Status::Timeout;
    }
  }

  // Waits for input up to the deadline and appends one read's worth.
  Status fill(Clock::time_point deadline) {
    const Status s = wait(POLLIN, deadline);
    if (s != Status::Ok) return s;
    char chunk[4096];
    const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
    if (n > 0) {
      framer_.append(chunk, static_cast<size_t>(n));
      return Status::Ok;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Status::Ok;
    if (n == 0)
      diag("orv-gsmdev: the server closed the connection");
    else
      diagf("orv-gsmdev: receiving failed: %s", std::strerror(errno));
    closed_ = true;
    return Status::Closed;
  }

  UniqueFd fd_;
  int stopFd_;
  Framer framer_;
  bool stopped_ = false;
  bool closed_ = false;
};

// --- the device ------------------------------------------------------------------------------

struct Counts {
  orv::tool::DriveResult drive;  // sent, answered (acked), none (timeouts), latency
  long texts = 0;
  long commands = 0;
  long faults = 0;  // everything else that went wrong

  long errors() const { return drive.errors() + faults; }
};

class Device {
 public:
  Device(const Options& o, Link& link, const Image& image) : o_(o), link_(link), image_(image) {}

  Counts& counts() { return c_; }

  // Waits for the server's start text.
  bool awaitStart() {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(o_.startTimeoutMs);
    for (;;) {
      std::string line;
      const Status s = link_.item(line, Framing::Line, deadline);
      if (s == Status::Overflow) continue;
      if (s == Status::Timeout) fault("no start text within %d ms", o_.startTimeoutMs);
      if (s != Status::Ok) return false;
      if (contains(line, kStartMark)) {
        say("start: %s", printable(line).c_str());
        return true;
      }
      if (!line.empty()) say("unexpected: %s", printable(line).c_str());
    }
  }

  // One of the device's own messages, with whatever its answer brings.
  void sendMessage(std::string_view text) {
    std::optional<std::string> carried = exchange(text, true);
    while (carried && !link_.over()) carried = serve(*carried);
  }

  // Serves what the server sends on its own until the deadline: late answers and their texts.
  void idleUntil(Clock::time_point deadline) {
    while (!link_.over()) {
      if (link_.framer().size() == 0) {
        const Status s = link_.awaitByte(deadline);
        if (s == Status::Timeout) return;
        if (s != Status::Ok) return lost(s);
      }
      const char c = link_.framer().front();
      std::optional<std::string> carried;
      if (c == kAck) {
        link_.framer().consume(1);
        say("ack");
        carried = textAfterAck();
      } else if (afterAck_) {
        carried = carriedText();  // the rest of an answer that came in two pieces
      } else {
        stray();
      }
      while (carried && !link_.over()) carried = serve(*carried);
    }
  }

  void setLingering() { lingering_ = true; }

 private:
  void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (o_.quiet) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
  }

  void fault(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    ++c_.faults;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    diagf("orv-gsmdev: %s", text);
  }

  // The link is over: a stop is no fault, a lost connection is unless the run was only lingering.
  void lost(Status s) {
    if (s == Status::Closed && !lingering_ && !lostCounted_) {
      lostCounted_ = true;
      ++c_.faults;
    }
  }

  Clock::time_point answerDeadline() const {
    return Clock::now() + std::chrono::milliseconds(o_.timeoutMs);
  }

  // Sends a message and waits for its answer; returns the text the answer carries.
  std::optional<std::string> exchange(std::string_view text, bool own) {
    // A late piece of the previous answer belongs to that answer. Only before the device's own
    // messages: its ACKs are sent while a text is served, and serving what came meanwhile from
    // there would nest as deep as a flooding server likes.
    if (own) idleUntil(Clock::now());
    if (link_.over()) return std::nullopt;
    std::string bytes(text);
    bytes.push_back(kDc4);
    const Clock::time_point sentAt = Clock::now();
    const Clock::time_point deadline = sentAt + std::chrono::milliseconds(o_.timeoutMs);
    afterAck_ = false;
    Status s = link_.send(bytes, deadline);
    if (s == Status::Timeout) {
      ++c_.drive.sendErrors;
      diagf("orv-gsmdev: the server does not take message %s", printable(text).c_str());
      return std::nullopt;
    }
    if (s != Status::Ok) {
      lost(s);
      return std::nullopt;
    }
    if (own) ++c_.drive.sent;
    for (;;) {
      s = link_.awaitByte(deadline);
      if (s == Status::Timeout) {
        ++c_.drive.none;
        diagf("orv-gsmdev: no answer to message %s", printable(text).c_str());
        return std::nullopt;
      }
      if (s != Status::Ok) {
        lost(s);
        return std::nullopt;
      }
      if (link_.framer().front() == kAck) break;
      stray();
    }
    link_.framer().consume(1);
    if (own) {
      ++c_.drive.answered;
      c_.drive.latencyUs.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - sentAt).count());
    }
    say("ack");
    return textAfterAck();
  }

  // An ACK came: the text it carries follows at once, or it was a bare ACK.
  std::optional<std::string> textAfterAck() {
    link_.fillNow();
    if (link_.framer().size() == 0 || link_.framer().front() == kAck) {
      afterAck_ = link_.framer().size() == 0;
      return std::nullopt;
    }
    return carriedText();
  }

  std::optional<std::string> carriedText() {
    afterAck_ = false;
    std::string text;
    const Status s = link_.item(text, Framing::Message, answerDeadline());
    if (s == Status::Ok) return text;
    if (s == Status::Overflow) {
      ++c_.drive.malformed;
    } else if (s == Status::Timeout) {
      ++c_.drive.malformed;
      diag("orv-gsmdev: a carried text without its DC4; dropped it");
      link_.framer().skipItem(Framing::Message);
    } else {
      lost(s);
    }
    return std::nullopt;
  }

  // Bytes where no answer or text can be: a start text (the server started again) or junk.
  void stray() {
    std::string line;
    const Status s = link_.item(line, Framing::Line, answerDeadline());
    if (s == Status::Ok) {
      if (contains(line, kStartMark)) {
        say("start: %s", printable(line).c_str());
      } else if (!line.empty()) {
        say("unexpected: %s", printable(line).c_str());
        fault("unexpected bytes from the server: %s", printable(line).c_str());
      }
    } else if (s == Status::Overflow) {
      ++c_.faults;
    } else if (s == Status::Timeout) {
      fault("unexpected bytes from the server without a line end; dropped them");
      link_.framer().skipItem(Framing::Line);
    } else {
      lost(s);
    }
  }

  // Acts on a carried text; returns the text carried by the answer to the device's own ACK.
  std::optional<std::string> serve(const std::string& text) {
    const bool mode = contains(text, "mode") || contains(text, "ncode");
    if (!mode && !contains(text, "lcfg") && !contains(text, "scfg") && !contains(text, "sfirm")) {
      ++c_.texts;
      say("text: %s", printable(text).c_str());
      if (o_.noTextAck) return std::nullopt;
      return exchange(std::string_view(&kAck, 1), false);
    }
    ++c_.commands;
    say("command: %s", printable(text).c_str());
    if (mode) {
      if (o_.modeSilent) return std::nullopt;
      reply(o_.modeError ? "STAT ERR" : o_.modeReply);
    } else if (contains(text, "lcfg")) {
      sendConfiguration();
    } else if (contains(text, "scfg")) {
      receiveConfiguration();
    } else {
      receiveFirmware();
    }
    return std::nullopt;
  }

  // A reply to a command: a message the server does not acknowledge.
  bool reply(std::string_view text) {
    std::string bytes(text);
    bytes.push_back(kDc4);
    const Status s = link_.send(bytes, answerDeadline());
    if (s == Status::Timeout)
      fault("the server does not take the reply %s", printable(text).c_str());
    if (s != Status::Ok) lost(s);
    return s == Status::Ok;
  }

  void sendConfiguration() {
    long records = 0;
    for (uint32_t address = 0; address < kTransferEnd; address += kRecordBytes) {
      const std::span<const uint8_t> block(image_.data() + address, kRecordBytes);
      if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; })) continue;
      if (!reply("#4" + encodeHexRecord(static_cast<uint16_t>(address), block))) return;
      ++records;
    }
    if (reply("C/" + std::to_string(records))) say("lcfg: records %ld", records);
  }

  // Reads the CR LF lines of a transfer up to its "C/n" line, handing every other non-empty
  // line to `record`. Returns the text after "C/", or nothing when the transfer broke off.
  template <typename Record>
  std::optional<std::string> readTransfer(const char* what, Record&& record) {
    for (;;) {
      std::string line;
      const Status s = link_.item(line, Framing::Line, answerDeadline());
      if (s == Status::Overflow) {
        ++c_.faults;
        continue;
      }
      if (s == Status::Timeout) fault("%s: no C/ line within %d ms", what, o_.timeoutMs);
      if (s != Status::Ok) {
        lost(s);
        return std::nullopt;
      }
      if (line.empty()) continue;
      say("record: %s", printable(line).c_str());
      if (line.starts_with("C/")) return line.substr(2);
      record(line);
    }
  }

  void receiveConfiguration() {
    if (!reply("Wait for hex..")) return;
    long records = 0, badChecksums = 0, unreadable = 0;
    bool endRecord = false;
    const std::optional<std::string> announced = readTransfer("scfg", [&](const std::string& line) {
      const std::optional<HexRecord> r = decodeHexRecord(line);
      if (!r) {
        ++unreadable;
      } else if (r->type == 0x01) {
        endRecord = true;
      } else if (r->type == kHexDataType) {
        ++records;
        // A damaged record would put wrong bytes into the configuration: it is left out.
        if (!r->checksumOk)
          ++badChecksums;
        else
          storeHexRecord(*r, image_);
      } else {
        ++unreadable;
      }
    });
    if (!announced) return;
    if (badChecksums == 0)
      say("scfg: records %ld checksums ok", records);
    else
      say("scfg: records %ld bad-checksums %ld", records, badChecksums);
    if (badChecksums > 0) fault("scfg: %ld records with a wrong checksum", badChecksums);
    if (unreadable > 0) fault("scfg: %ld lines that are no hex record", unreadable);
    // The count may or may not take in the end record; anything else means records were lost.
    const std::optional<long> n = decimal(*announced);
    if (!n || (*n != records && *n != records + (endRecord ? 1 : 0)))
      fault("scfg: the server announced C/%s but sent %ld records", printable(*announced).c_str(),
            records);
    if (!o_.saveImagePath.empty()) saveImage();
    reply("OK" + std::to_string(records));
  }

  void receiveFirmware() {
    if (!reply("Wait for hex..")) return;
    long lines = 0;
    const std::optional<std::string> announced =
        readTransfer("sfirm", [&](const std::string&) { ++lines; });
    if (!announced) return;
    say("sfirm: records %ld", lines);
    std::string count = *announced;
    if (!decimal(count)) {
      fault("sfirm: the count C/%s is no number", printable(count).c_str());
      count = std::to_string(lines);
    }
    if (reply("Firmware loaded " + count)) reply("Restart");
  }

  // Written aside and renamed, so a reader never sees half an image.
  void saveImage() {
    const std::string temp = o_.saveImagePath + ".tmp";
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image_.data()),
                static_cast<std::streamsize>(image_.size()));
      if (!out.flush()) {
        fault("cannot write %s", temp.c_str());
        return;
      }
    }
    if (std::rename(temp.c_str(), o_.saveImagePath.c_str()) != 0)
      fault("cannot save the image as %s: %s", o_.saveImagePath.c_str(), std::strerror(errno));
  }

  const Options& o_;
  Link& link_;
  Image image_;
  Counts c_;
  bool afterAck_ = false;  // a bare ACK was the last thing read
  bool lingering_ = false;
  bool lostCounted_ = false;
};

// --- set-up ----------------------------------------------------------------------------------

// A small configuration with records at both ends of the transferred range, one just past it
// (never sent) and gaps of erased (0xFF) memory between them.
Image testPattern() {
  Image image;
  image.fill(0xFF);
  for (size_t i = 0; i < 0x100; ++i) image[i] = static_cast<uint8_t>(i);
  const std::string_view name = "ORV TEST PATTERN";
  std::copy(name.begin(), name.end(), image.begin() + 0x1000);
  std::fill_n(image.begin() + 0x1FE0, 16, 0xA5);
  std::fill_n(image.begin() + 0x1FF0, 32, 0x5A);
  return image;
}

std::optional<Image> loadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    diagf("orv-gsmdev: cannot read %s", path.c_str());
    return std::nullopt;
  }
  std::vector<char> bytes;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    if (bytes.size() > kImageSize) {
      diagf("orv-gsmdev: %s is larger than the device's %zu bytes", path.c_str(), kImageSize);
      return std::nullopt;
    }
  }
  Image image;
  image.fill(0xFF);  // what erased memory reads
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return image;
}

bool connectTo(const std::string& target, int timeoutMs, UniqueFd& out) {
  const size_t colon = target.rfind(':');
  std::string host = target.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : target.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::optional<long> portNumber = decimal(port);
  if (colon == std::string::npos || host.empty() || !portNumber || *portNumber < 1 ||
      *portNumber > 65535) {
    diagf("orv-gsmdev: --connect wants HOST:PORT, not %s", target.c_str());
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int e = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0) {
    diagf("orv-gsmdev: cannot resolve %s: %s", host.c_str(), ::gai_strerror(e));
    return false;
  }
  int err = ETIMEDOUT;
  for (addrinfo* a = found; a; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        err = errno;
        continue;
      }
      pollfd p{fd.get(), POLLOUT, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) {
        err = ETIMEDOUT;
        continue;
      }
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) continue;
    }
    int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    out = std::move(fd);
    break;
  }
  ::freeaddrinfo(found);
  if (!out) diagf("orv-gsmdev: cannot connect to %s: %s", target.c_str(), std::strerror(err));
  return out.valid();
}

// Event i (from 0): a receiver line, unique within 100,000 events.
std::string eventMessage(const std::string& account, long i) {
  char text[64];
  std::snprintf(text, sizeof text, "5011 18%sE130%02ld%03ld", account.c_str(), (i / 1000) % 100,
                i % 1000);
  return text;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) {
  using namespace orv;
  Options o;
  CLI::App app{
      "orv-gsmdev: plays a GSM receiver device on a server's device line.\n"
      "Sends its messages (text + DC4) stop-and-wait, serves the texts and commands the server's\n"
      "answers carry, prints everything received and a summary line with the answer latency."};
  app.option_defaults()->always_capture_default();
  auto* line = app.add_option_group("line", "where the server is (exactly one)");
  line->add_flag("--pty", o.pty,
                 "create a pseudo-terminal, print its path (pty: /dev/pts/N) and talk on it");
  line->add_option("--connect", o.connect,
                   "connect to the server's device line over TCP (its TcpPort)")
      ->type_name("HOST:PORT");
  line->require_option(1);
  app.add_option("--events", o.events, "receiver-line events to send after the --send messages")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--rate", o.rate,
                 "messages per second in total; 0 = each as soon as the previous one was answered")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--account", o.account, "the events' account, four hex digits")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            if (v.size() == 4 && parseHex(v)) return {};
            return "the account must be four hex digits";
          },
          "HEX4"));
  const CLI::Validator noDc4(
      [](std::string& v) -> std::string {
        return v.find(kDc4) == std::string::npos ? "" : "a message cannot hold a DC4";
      },
      "");
  app.add_option("--send", o.sends, "a message sent before the events (repeatable, in order)")
      ->allow_extra_args(false)
      ->check(noDc4);
  app.add_flag("--wait-start,!--no-wait-start", o.waitStart,
               "wait for the server's start text before sending (on)");
  app.add_option("--start-timeout", o.startTimeoutMs, "how long to wait for the start text (ms)")
      ->check(CLI::PositiveNumber);
  app.add_option("--linger", o.lingerSeconds,
                 "after the events, keep serving the server's texts and commands for this long "
                 "(seconds)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--timeout", o.timeoutMs, "an answer later than this counts as an error (ms)")
      ->check(CLI::PositiveNumber);
  auto* modeReply =
      app.add_option("--mode-reply", o.modeReply, "the reply to a mode command")->check(noDc4);
  auto* modeError = app.add_flag("--mode-error", o.modeError, "reply STAT ERR to a mode command");
  auto* modeSilent = app.add_flag("--mode-silent", o.modeSilent, "leave a mode command unanswered");
  modeReply->excludes(modeError)->excludes(modeSilent);
  modeError->excludes(modeSilent);
  app.add_flag("--no-text-ack", o.noTextAck,
               "do not acknowledge carried texts (the server then repeats them)");
  app.add_option("--image", o.imagePath,
                 "the configuration image (binary, up to 0x3F30 bytes); default a test pattern")
      ->check(CLI::ExistingFile);
  app.add_option("--save-image", o.saveImagePath, "save the image written by the server here");
  app.add_flag("--quiet", o.quiet, "print only the summary");
  CLI11_PARSE(app, argc, argv);

  Image image = testPattern();
  if (!o.imagePath.empty()) {
    std::optional<Image> loaded = loadImage(o.imagePath);
    if (!loaded) return 2;
    image = *loaded;
  }
  for (char& c : o.account) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  UniqueFd stopFd = tool::takeStopSignals();

  UniqueFd fd, slave;
  if (o.pty ? !tool::openPtyDevice("orv-gsmdev", fd, slave) : !connectTo(o.connect, o.timeoutMs, fd)) return 1;
  Link link(std::move(fd), stopFd.get());
  Device device(o, link, image);

  const long total = static_cast<long>(o.sends.size()) + o.events;
  bool started = !o.waitStart || device.awaitStart();
  const Clock::time_point start = Clock::now();
  for (long i = 0; started && i < total && !link.over(); ++i) {
    if (o.rate > 0) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i) / o.rate));
      device.idleUntil(due);
      if (link.over()) break;
    }
    const size_t k = static_cast<size_t>(i);
    device.sendMessage(k < o.sends.size()
                           ? o.sends[k]
                           : eventMessage(o.account, i - static_cast<long>(o.sends.size())));
  }
  Counts& c = device.counts();
  c.drive.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (started && o.lingerSeconds > 0 && !link.over()) {
    device.setLingering();
    device.idleUntil(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(o.lingerSeconds)));
  }
  if (link.stopped()) diag("orv-gsmdev: stopped");
  if (slave) {
    if (const int unread = tool::awaitPtyDrained(slave.get(), stopFd.get(), o.timeoutMs))
      diagf("orv-gsmdev: the server left %d bytes unread", unread);
  }

  std::sort(c.drive.latencyUs.begin(), c.drive.latencyUs.end());
  const long errors = c.errors();
  std::printf(
      "messages %ld acked %ld timeouts %ld texts %ld commands %ld seconds %.3f "
      "messages-per-second %.0f errors %ld\n",
      c.drive.sent, c.drive.answered, c.drive.none, c.texts, c.commands, c.drive.seconds,
      c.drive.seconds > 0 ? static_cast<double>(c.drive.sent) / c.drive.seconds : 0.0, errors);
  std::printf("ack-latency-us p50 %.0f p99 %.0f max %.0f\n", c.drive.percentile(0.5),
              c.drive.percentile(0.99), c.drive.latencyUs.empty() ? 0.0 : c.drive.latencyUs.back());
  std::fflush(stdout);
  return errors == 0 && started && c.drive.sent == total ? 0 : 1;
}
