// orv-modsim: simulates GPRS alarm modules against a module port of the receiver.
//
// Each simulated module connects, reads the banner, identifies itself ("a<id>,<account>"),
// then polls ("Q") and sends events with correct checksums, one line at a time, waiting for
// each answer. The commands that come in the answers to its polls it serves as a module would,
// so that tests and demos can program it: "mode?" with its firmware text, the code commands
// ("mode1", "mode0", "ncode"), the reads ("lcfg", "ltxt", "llog": "#4" records, then "C/<n>")
// and the writes ("scfg", "stxt", "stab", "sfirm": "Wait for hex", the lines up to "C/<n>",
// then a closing "OK"). Every module keeps its own configuration and text image, so what was
// written is what the next read returns. At the end it reports what it did and the answer
// latencies.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex_record.h"

namespace {

using Clock = std::chrono::steady_clock;
using Image = std::vector<uint8_t>;
using SharedImage = std::shared_ptr<const Image>;

// The module's memory map as the console sees it.
constexpr size_t kConfigSize = 1024;
constexpr uint32_t kTextBase = 5000;
constexpr size_t kTextSize = 16956 - kTextBase;  // addresses 5000 to 16955
// The event log: write position (high byte first), a spare byte, the number of records written,
// then a ring of 254 records of 14 bytes from 0x0404.
constexpr uint32_t kLogBase = 0x0400;
constexpr size_t kLogSize = 0x11E8 - kLogBase;
constexpr size_t kLogHeader = 4;
constexpr size_t kLogRecord = 14;
constexpr int kLogRing = 254;
constexpr int kLogWholeLines = static_cast<int>((kLogSize + 15) / 16);
constexpr int kMaxLogEvents = 1000000;

// No line a server sends a module comes near this; more without a line end is a broken peer.
constexpr size_t kMaxLine = 4096;
// A line that gets no answer, or a transfer whose lines stop coming, must not freeze the
// module for the rest of the run: it gives up and polls again.
constexpr auto kAnswerLimit = std::chrono::seconds(10);
constexpr auto kBlockLimit = std::chrono::seconds(60);

struct Options {
  std::string host = "127.0.0.1";
  int port = 778;
  int connections = 1;
  std::string idPrefix = "SIM";
  std::string account = "1000";  // hexadecimal
  int pollMs = 1000;
  double eventsPerSecond = 0;  // in total over all modules
  double seconds = 10;
  double warmupSeconds = 0;
  int connectPerSecond = 5000;
  std::string image;  // hex file answered to "lcfg"; default: 1,024 bytes of 0x5A
  bool verbose = false;

  std::string firmware = "v.32";
  std::string code;  // empty: the module asks for no code
  bool armed = false;
  std::optional<std::string> modeAnswer;
  bool muteMode = false;
  std::string imageOut;
  std::string textImage;
  std::string textOut;
  int incompleteReads = 0;
  int logLines = 5;
  std::optional<int> logEvents;
  std::string logImage;
};

uint8_t xorOf(std::string_view s) {
  uint8_t x = 0;
  for (char c : s) x ^= static_cast<uint8_t>(c);
  return x;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Lines the tests wait for: flushed at once.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::optional<uint16_t> fourDigits(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return static_cast<uint16_t>(v);
}

// "%4.4d:word" carries a security code; anything else carries none.
struct CodedCommand {
  std::optional<uint16_t> code;
  std::string_view word;
};

CodedCommand splitCode(std::string_view command) {
  if (command.size() >= 5 && command[4] == ':') {
    if (std::optional<uint16_t> code = fourDigits(command.substr(0, 4))) {
      return {code, command.substr(5)};
    }
  }
  return {std::nullopt, command};
}

Image loadImage(const std::string& file, size_t size, uint32_t base, uint8_t fill) {
  Image image(size, fill);
  if (file.empty()) return image;
  std::fill(image.begin(), image.end(), 0xFF);
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (auto rec = orv::decodeHexRecord(line)) orv::storeHexRecord(*rec, image, base);
  }
  return image;
}

// Log memory that the file leaves out reads as zeros, as after the module cleared its log.
Image loadLogImage(const std::string& file) {
  Image image(kLogSize, 0);
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (auto rec = orv::decodeHexRecord(line)) orv::storeHexRecord(*rec, image, kLogBase);
  }
  return image;
}

// 16-byte records from the start of the image; the last one holds what remains.
std::vector<std::string> imageRecords(const Image& image, uint32_t base, bool skipBlank) {
  std::vector<std::string> records;
  for (size_t off = 0; off < image.size(); off += 16) {
    std::span<const uint8_t> block =
        std::span<const uint8_t>(image).subspan(off, std::min<size_t>(16, image.size() - off));
    if (skipBlank && std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; }))
      continue;
    records.push_back(orv::encodeHexRecord(static_cast<uint16_t>(base + off), block));
  }
  return records;
}

// The whole image as an Intel HEX file, written beside the target and renamed over it, so
// that a reader never sees half of it.
void saveImage(const std::string& file, const Image& image, uint32_t base) {
  std::string text;
  for (const std::string& r : imageRecords(image, base, false)) text += r + "\r\n";
  text += std::string(orv::kHexEndRecord) + "\r\n";
  const std::string temp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (out) {
      out.close();
      if (std::rename(temp.c_str(), file.c_str()) == 0) return;
    }
  }
  std::fprintf(stderr, "orv-modsim: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
  std::remove(temp.c_str());
}

// Contact ID numbers are decimal digits carried in hexadecimal nibbles.
uint32_t digits(unsigned value) {
  return (value / 100 % 10) << 8 | (value / 10 % 10) << 4 | value % 10;
}

// Event `index` of a module's log: alarms and restores, openings and closings by a user, a
// module event and a periodic test, some seven minutes apart.
std::array<uint8_t, kLogRecord> logRecord(long index, unsigned account) {
  using namespace std::chrono;
  const sys_seconds when = sys_days{year{2024} / June / 15} + hours{8} + seconds{433 * index};
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{when - day};
  const unsigned zone = 1 + static_cast<unsigned>(index % 8);
  const unsigned user = 1 + static_cast<unsigned>(index % 4);
  uint8_t type = 6;
  uint32_t event = 0;
  uint8_t userNumber = 0;
  switch (index % 6) {
    case 0:
    case 1:  // burglary in partition 1 and its restore
      type = index % 6 == 0 ? 6 : 7;
      event = 0x130u << 20 | 0x01u << 12 | digits(zone);
      break;
    case 2:
    case 3:  // opening and closing by a user
      type = index % 6 == 2 ? 6 : 7;
      event = 0x401u << 20 | 0x01u << 12 | digits(user);
      userNumber = static_cast<uint8_t>(user);
      break;
    case 4:  // the module's own report
      type = 255;
      event = 0x00000001u + static_cast<uint32_t>(index % 3);
      break;
    default:  // periodic test
      event = 0x602u << 20;
      break;
  }
  // Hour 5 bits, minute 6, second 6, day 5, month 4, year - 2000 7, from the top of 40 bits.
  const uint64_t packed = static_cast<uint64_t>(time.hours().count()) << 35 |
                          static_cast<uint64_t>(time.minutes().count()) << 29 |
                          static_cast<uint64_t>(time.seconds().count()) << 23 |
                          static_cast<uint64_t>(static_cast<unsigned>(date.day())) << 18 |
                          static_cast<uint64_t>(static_cast<unsigned>(date.month())) << 14 |
                          static_cast<uint64_t>(static_cast<int>(date.year()) - 2000) << 7;
  std::array<uint8_t, kLogRecord> r{};
  r[0] = type;
  r[1] = static_cast<uint8_t>(account >> 8);
  r[2] = static_cast<uint8_t>(account);
  for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<uint8_t>(event >> (24 - 8 * i));
  for (int i = 0; i < 5; ++i) r[7 + i] = static_cast<uint8_t>(packed >> (32 - 8 * i));
  r[12] = userNumber;
  r[13] = 0;
  for (int i = 0; i < 13; ++i) r[13] ^= r[i];
  return r;
}

// The log memory after `events` events: once the ring is full, each new record overwrites the
// oldest and the write position moves on.
Image logImage(long events, unsigned account) {
  Image image(kLogSize, 0);
  const long first = std::max(0L, events - kLogRing);
  for (long e = first; e < events; ++e) {
    const std::array<uint8_t, kLogRecord> r = logRecord(e, account);
    std::copy(r.begin(), r.end(), image.begin() + kLogHeader + (e % kLogRing) * kLogRecord);
  }
  const uint32_t next =
      static_cast<uint32_t>(kLogBase + kLogHeader + (events % kLogRing) * kLogRecord);
  image[0] = static_cast<uint8_t>(next >> 8);
  image[1] = static_cast<uint8_t>(next);
  image[3] = static_cast<uint8_t>(std::min<long>(events, kLogRing));
  return image;
}

enum class Transfer { None, Config, Text, Table, Firmware };

const char* transferName(Transfer t) {
  switch (t) {
    case Transfer::Config:
      return "scfg";
    case Transfer::Text:
      return "stxt";
    case Transfer::Table:
      return "stab";
    case Transfer::Firmware:
      return "sfirm";
    default:
      return "";
  }
}

struct Module {
  int fd = -1;
  std::string id;
  unsigned account = 0;
  std::string in;
  std::string out;
  size_t outOffset = 0;
  bool bannerSeen = false;
  bool waiting = false;  // a line is out and its answer not yet in
  Clock::time_point sentAt;
  Clock::time_point nextPoll;
  std::vector<std::string> pendingLines;  // events, sent before the next poll
  bool dead = false;

  // What the module holds, as the console's commands left it.
  bool codeRequest = false;
  uint16_t code = 0;
  int incompleteReads = 0;
  SharedImage config;  // shared with the other modules until one is written
  SharedImage text;

  // A write in progress: after "Wait for hex" the lines come until "C/<n>".
  Transfer receiving = Transfer::None;
  Clock::time_point receivingSince;
  long blockLines = 0;
  Image staged;
};

struct Stats {
  long connected = 0, connectFailed = 0, closedByServer = 0;
  long linesSent = 0, answers = 0, events = 0, polls = 0, timeAnswers = 0, commands = 0;
  long transfers = 0, unanswered = 0, errors = 0, measuredAnswers = 0;
  std::vector<double> latencyUs;
};

class Simulator {
 public:
  explicit Simulator(Options o)
      : opt_(std::move(o)),
        account_(static_cast<unsigned>(orv::parseHex(opt_.account).value_or(0x1000))),
        config_(std::make_shared<const Image>(loadImage(opt_.image, kConfigSize, 0, 0x5A))),
        text_(
            std::make_shared<const Image>(loadImage(opt_.textImage, kTextSize, kTextBase, 0xFF))) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  }

  int run() {
    sockaddr_in addr{};
    if (!resolve(addr)) {
      std::fprintf(stderr, "orv-modsim: cannot resolve %s\n", opt_.host.c_str());
      return 2;
    }
    modules_.resize(static_cast<size_t>(opt_.connections));
    const auto start = Clock::now();
    size_t opened = 0;
    Clock::time_point runUntil = Clock::time_point::max();
    Clock::time_point nextStallCheck = start;
    double eventDebt = 0;
    auto lastEventCheck = Clock::now();
    size_t nextEventModule = 0;
    std::vector<epoll_event> events(1024);

    for (;;) {
      auto now = Clock::now();
      // Open connections at the requested rate.
      double elapsed = std::chrono::duration<double>(now - start).count();
      size_t due = std::min<size_t>(modules_.size(),
                                    static_cast<size_t>(elapsed * opt_.connectPerSecond) + 1);
      while (opened < due) open(opened++, addr);
      if (opened == modules_.size() && runUntil == Clock::time_point::max()) {
        // Measure from when every module is in and the first round of polls is over.
        measureFrom_ =
            now + std::chrono::milliseconds(static_cast<long>(opt_.warmupSeconds * 1000));
        runUntil = measureFrom_ + std::chrono::milliseconds(static_cast<long>(opt_.seconds * 1000));
      }
      if (now >= runUntil) break;
      if (now >= nextStallCheck) {
        nextStallCheck = now + std::chrono::seconds(1);
        for (Module& m : modules_) checkStalled(m, now);
      }

      // Events are spread over the modules round robin.
      if (opt_.eventsPerSecond > 0) {
        eventDebt +=
            std::chrono::duration<double>(now - lastEventCheck).count() * opt_.eventsPerSecond;
        lastEventCheck = now;
        for (size_t tries = 0; eventDebt >= 1 && tries < modules_.size(); ++tries) {
          Module& m = modules_[nextEventModule++ % modules_.size()];
          if (m.dead || !m.bannerSeen || m.fd < 0) continue;
          m.pendingLines.push_back(eventLine(m));
          ready_.push_back(static_cast<size_t>(&m - modules_.data()));
          eventDebt -= 1;
        }
        if (eventDebt > 1000) eventDebt = 1000;  // a server that cannot keep up is not flooded
      }
      std::vector<size_t> ready;
      ready.swap(ready_);
      for (size_t i : ready) maybeSend(modules_[i], now);
      while (!polls_.empty() && polls_.top().first <= now) {
        size_t i = polls_.top().second;
        polls_.pop();
        maybeSend(modules_[i], now);
      }

      int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
      for (int i = 0; i < n; ++i) {
        Module& m = modules_[events[i].data.u64];
        if (events[i].events & EPOLLOUT) flush(m);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(m);
      }
    }
    for (Module& m : modules_) {
      if (m.fd >= 0) ::close(m.fd);
    }
    report();
    return stats_.errors == 0 && stats_.connectFailed == 0 ? 0 : 1;
  }

 private:
  bool resolve(sockaddr_in& addr) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(opt_.host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
    ::freeaddrinfo(found);
    return true;
  }

  void open(size_t index, const sockaddr_in& addr) {
    Module& m = modules_[index];
    char id[32];
    std::snprintf(id, sizeof id, "%s%04zu", opt_.idPrefix.c_str(), index + 1);
    m.id = id;
    m.account = (account_ + static_cast<unsigned>(index)) & 0xFFFF;
    m.codeRequest = !opt_.code.empty();
    m.code = fourDigits(opt_.code).value_or(0);
    m.incompleteReads = opt_.incompleteReads;
    m.config = config_;
    m.text = text_;
    m.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(m.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (m.fd < 0 || (::connect(m.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
                     errno != EINPROGRESS)) {
      ++stats_.connectFailed;
      if (m.fd >= 0) ::close(m.fd);
      m.fd = -1;
      m.dead = true;
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = index;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, m.fd, &ev);
  }

  std::string eventLine(Module& m) {
    static const char* kCodes[] = {"E13001003", "R13001003", "E40101012", "E60200000"};
    char body[64];
    std::snprintf(body, sizeof body, "M0%c,%04X,%s", (stats_.events % 2) ? '6' : '1', m.account,
                  kCodes[stats_.events % 4]);
    ++stats_.events;
    std::string line = body;
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%02X", xorOf(std::string_view(line).substr(1)));
    return line + sum;
  }

  // Queues a line without sending it yet, so that a whole answer leaves in one go.
  void put(Module& m, const std::string& line) {
    if (opt_.verbose) std::printf("%s -> %s\n", m.id.c_str(), line.c_str());
    m.out += line;
    m.out += "\r\n";
    ++stats_.linesSent;
  }

  void sendLine(Module& m, const std::string& line, bool expectAnswer) {
    put(m, line);
    if (expectAnswer) {
      m.waiting = true;
      m.sentAt = Clock::now();
    }
    flush(m);
  }

  bool idle(const Module& m) const {
    return m.fd >= 0 && !m.dead && m.bannerSeen && !m.waiting && m.receiving == Transfer::None;
  }

  // A module with nothing outstanding sends its next line now, or waits for its next poll.
  void schedule(Module& m) {
    size_t i = static_cast<size_t>(&m - modules_.data());
    if (!m.pendingLines.empty())
      ready_.push_back(i);
    else
      polls_.push({m.nextPoll, i});
  }

  void maybeSend(Module& m, Clock::time_point now) {
    if (!idle(m)) return;
    if (!m.pendingLines.empty()) {
      std::string line = std::move(m.pendingLines.front());
      m.pendingLines.erase(m.pendingLines.begin());
      sendLine(m, line, true);
      return;
    }
    if (now >= m.nextPoll) {
      m.nextPoll = now + std::chrono::milliseconds(opt_.pollMs);
      ++stats_.polls;
      sendLine(m, "Q", true);
    } else {
      schedule(m);
    }
  }

  void checkStalled(Module& m, Clock::time_point now) {
    if (m.dead || m.fd < 0) return;
    bool released = false;
    if (m.receiving != Transfer::None && now - m.receivingSince > kBlockLimit) {
      if (opt_.verbose)
        std::printf("%s: %s lines stopped coming\n", m.id.c_str(), transferName(m.receiving));
      m.receiving = Transfer::None;
      m.staged = Image();
      released = true;
    }
    if (m.waiting && now - m.sentAt > kAnswerLimit) {
      if (opt_.verbose) std::printf("%s: no answer\n", m.id.c_str());
      m.waiting = false;
      released = true;
    }
    if (!released) return;
    ++stats_.unanswered;
    if (idle(m)) schedule(m);
  }

  void flush(Module& m) {
    while (m.outOffset < m.out.size()) {
      ssize_t n =
          ::send(m.fd, m.out.data() + m.outOffset, m.out.size() - m.outOffset, MSG_NOSIGNAL);
      if (n > 0) {
        m.outOffset += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EAGAIN) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = static_cast<uint64_t>(&m - modules_.data());
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, m.fd, &ev);
        return;
      }
      fail(m, "send failed");
      return;
    }
    m.out.clear();
    m.outOffset = 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(&m - modules_.data());
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, m.fd, &ev);
  }

  void fail(Module& m, const char* why) {
    if (m.dead) return;
    if (opt_.verbose) std::printf("%s: %s\n", m.id.c_str(), why);
    m.dead = true;
    ::close(m.fd);
    m.fd = -1;
  }

  void readFrom(Module& m) {
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(m.fd, buf, sizeof buf, 0);
      if (n > 0) {
        m.in.append(buf, static_cast<size_t>(n));
        takeLines(m);
        if (m.dead) return;
        if (m.in.size() > kMaxLine) {
          std::fprintf(stderr, "orv-modsim: %s: more than %zu bytes without a line end\n",
                       m.id.c_str(), kMaxLine);
          ++stats_.errors;
          fail(m, "line too long");
          return;
        }
        continue;
      }
      if (n < 0 && errno == EAGAIN) break;
      ++stats_.closedByServer;
      fail(m, "closed by the server");
      return;
    }
  }

  void takeLines(Module& m) {
    size_t start = 0, lf;
    while (!m.dead && (lf = m.in.find('\n', start)) != std::string::npos) {
      std::string line = m.in.substr(start, lf - start);
      start = lf + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      handleLine(m, line);
      if (idle(m)) schedule(m);
    }
    if (!m.dead) m.in.erase(0, start);
  }

  // The command in "1<id>:<command>" or "2<id>:<command>"; std::nullopt for other lines.
  static std::optional<std::string_view> commandOf(const Module& m, std::string_view line) {
    if (line.size() < 2 || (line[0] != '1' && line[0] != '2')) return std::nullopt;
    if (line.substr(1, m.id.size()) == m.id && line.size() > m.id.size() + 1 &&
        line[m.id.size() + 1] == ':') {
      return line.substr(m.id.size() + 2);
    }
    return std::nullopt;
  }

  void handleLine(Module& m, const std::string& line) {
    if (opt_.verbose) std::printf("%s <- %s\n", m.id.c_str(), line.c_str());
    if (!m.bannerSeen) {
      if (line == "GsmNor v1.2.") {
        m.bannerSeen = true;
        ++stats_.connected;
        // Spread the polls over the interval, so that the modules do not poll in one burst.
        size_t i = static_cast<size_t>(&m - modules_.data());
        m.nextPoll =
            Clock::now() + std::chrono::microseconds(static_cast<long>(opt_.pollMs) * 1000 *
                                                     static_cast<long>(i % modules_.size()) /
                                                     static_cast<long>(modules_.size()));
        char ident[64];
        std::snprintf(ident, sizeof ident, "a%s,%04X", m.id.c_str(), m.account);
        sendLine(m, ident, true);
      } else {
        ++stats_.errors;
        fail(m, "no banner");
      }
      return;
    }
    if (m.receiving != Transfer::None) {
      receiveBlockLine(m, line);
      return;
    }
    // A command addressed to this module is served even when it came later than the module
    // gave its answer up for lost.
    std::optional<std::string_view> addressed = commandOf(m, line);
    if (!m.waiting && !addressed) return;  // nothing asked: ignore
    if (m.waiting) {
      m.waiting = false;
      ++stats_.answers;
      if (m.sentAt >= measureFrom_) {
        ++stats_.measuredAnswers;
        stats_.latencyUs.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - m.sentAt).count());
      }
    }
    if (line == "0") return;
    if (line.size() < 2 || (line[0] != '1' && line[0] != '2')) {
      ++stats_.errors;
      return;
    }
    size_t colon = line.find(':');
    std::string_view command = addressed ? *addressed
                               : colon == std::string::npos
                                   ? std::string_view()
                                   : std::string_view(line).substr(colon + 1);
    if (command.rfind("99.c", 0) == 0) {
      if (command != "99.c3") ++stats_.timeAnswers;
      return;
    }
    ++stats_.commands;
    if (line[0] != '1') return;  // more follow: nothing starts before the last
    serve(m, command);
  }

  // --- the module's side of the console's commands ---------------------------------------

  bool codeAccepted(const Module& m, std::optional<uint16_t> code) const {
    return !m.codeRequest || code == m.code;
  }

  void serve(Module& m, std::string_view command) {
    const CodedCommand c = splitCode(command);
    if (c.word == "mode1" || c.word == "mode0" || c.word.substr(0, 5) == "ncode") {
      codeCommand(m, c);
      return;
    }
    if (contains(c.word, "mode")) {
      answerMode(m);
      return;
    }
    // The words in the order in which the server looks for them.
    enum Kind { kLcfg, kScfg, kStab, kSfirm, kLlog, kStxt, kLtxt };
    static const struct {
      std::string_view word;
      Kind kind;
    } kWords[] = {{"lcfg", kLcfg}, {"scfg", kScfg}, {"stab", kStab}, {"sfirm", kSfirm},
                  {"llog", kLlog}, {"stxt", kStxt}, {"ltxt", kLtxt}};
    for (const auto& w : kWords) {
      if (!contains(c.word, w.word)) continue;
      if (!codeAccepted(m, c.code)) {
        note("%.*s %s: wrong code", static_cast<int>(w.word.size()), w.word.data(), m.id.c_str());
        // The server takes this line as the end of the exchange and answers nothing.
        sendLine(m, "ERR", false);
        return;
      }
      switch (w.kind) {
        case kLcfg:
          loadConfig(m);
          break;
        case kLtxt:
          sendRecords(m, imageRecords(*m.text, kTextBase, true), std::nullopt);
          break;
        case kLlog:
          loadLog(m);
          break;
        case kScfg:
          beginBlock(m, Transfer::Config);
          break;
        case kStxt:
          beginBlock(m, Transfer::Text);
          break;
        case kStab:
          beginBlock(m, Transfer::Table);
          break;
        case kSfirm:
          beginBlock(m, Transfer::Firmware);
          break;
      }
      return;
    }
  }

  // "mode1"/"mode0" switch the code request, "ncode<new>" sets the code. The server answers
  // the module's one line.
  void codeCommand(Module& m, const CodedCommand& c) {
    const bool ncode = c.word.substr(0, 5) == "ncode";
    const std::string name(ncode ? std::string_view("ncode") : c.word);
    if (!codeAccepted(m, c.code)) {
      note("%s %s: wrong code", name.c_str(), m.id.c_str());
      sendLine(m, "ERR", true);
      return;
    }
    if (ncode) {
      std::optional<uint16_t> fresh = fourDigits(c.word.substr(5));
      if (!fresh) {
        note("ncode %s: no four-digit code", m.id.c_str());
        sendLine(m, "ERR", true);
        return;
      }
      m.code = *fresh;
      note("ncode %s: %04u", m.id.c_str(), static_cast<unsigned>(m.code));
    } else {
      m.codeRequest = c.word == "mode1";
      note("%s %s", name.c_str(), m.id.c_str());
    }
    sendLine(m, "OK", true);
  }

  void answerMode(Module& m) {
    if (opt_.muteMode) return;
    std::string answer;
    if (opt_.armed)
      answer = "STAT ERR";
    else if (opt_.modeAnswer)
      answer = *opt_.modeAnswer;
    else
      answer = opt_.firmware + (m.codeRequest ? "_mode1" : "_mode0");
    // The server acknowledges a firmware answer with "0"; an armed report or a line it cannot
    // read it leaves unanswered.
    const bool answered = !answer.empty() && !contains(answer, "STAT ERR") &&
                          (contains(answer, "_mode") || contains(answer, "CODE"));
    sendLine(m, answer, answered);
  }

  // "#4" + record per line, then "C/" and the count; nothing of it is answered.
  void sendRecords(Module& m, const std::vector<std::string>& records,
                   std::optional<size_t> count) {
    for (const std::string& r : records) put(m, "#4" + r);
    put(m, "C/" + std::to_string(count.value_or(records.size())));
    flush(m);
    ++stats_.transfers;
  }

  void loadConfig(Module& m) {
    std::vector<std::string> records = imageRecords(*m.config, 0, false);
    const size_t count = records.size();
    // A read that loses a record on the way, while the count still says all of them.
    if (m.incompleteReads > 0) {
      --m.incompleteReads;
      records.pop_back();
    }
    sendRecords(m, records, count);
  }

  // The first records of the log memory: as many as asked for, the whole memory at most.
  void loadLog(Module& m) {
    const Image image =
        opt_.logImage.empty()
            ? logImage(opt_.logEvents.value_or(logEventsIn(opt_.logLines)), m.account)
            : loadLogImage(opt_.logImage);
    std::vector<std::string> records = imageRecords(image, kLogBase, false);
    records.resize(std::min(records.size(), static_cast<size_t>(opt_.logLines)));
    sendRecords(m, records, std::nullopt);
  }

  // The events whose records lie wholly within the first `lines` records.
  static long logEventsIn(int lines) {
    const long bytes = 16L * lines - static_cast<long>(kLogHeader);
    return std::clamp(bytes / static_cast<long>(kLogRecord), 0L, static_cast<long>(kLogRing));
  }

  void beginBlock(Module& m, Transfer what) {
    m.receiving = what;
    m.receivingSince = Clock::now();
    m.blockLines = 0;
    // A write replaces the whole image: blocks the server leaves out are blank (0xFF).
    if (what == Transfer::Config) m.staged.assign(kConfigSize, 0xFF);
    if (what == Transfer::Text) m.staged.assign(kTextSize, 0xFF);
    sendLine(m, "Wait for hex", false);
  }

  void receiveBlockLine(Module& m, const std::string& line) {
    if (line.rfind("C/", 0) == 0) {
      finishBlock(m, std::string_view(line).substr(2));
      return;
    }
    const bool image = m.receiving == Transfer::Config || m.receiving == Transfer::Text;
    if (!image) {
      if (!line.empty()) ++m.blockLines;
      return;
    }
    if (line.empty() || line[0] != ':') return;
    ++m.blockLines;
    std::optional<orv::HexRecord> rec = orv::decodeHexRecord(line);
    if (!rec || !rec->checksumOk) {
      note("%s %s: bad record %.80s", transferName(m.receiving), m.id.c_str(), line.c_str());
      return;
    }
    orv::storeHexRecord(*rec, m.staged, m.receiving == Transfer::Text ? kTextBase : 0);
  }

  void finishBlock(Module& m, std::string_view count) {
    const Transfer what = m.receiving;
    m.receiving = Transfer::None;
    if (what == Transfer::Config) {
      m.config = std::make_shared<const Image>(std::move(m.staged));
      if (!opt_.imageOut.empty()) saveImage(opt_.imageOut, *m.config, 0);
    } else if (what == Transfer::Text) {
      m.text = std::make_shared<const Image>(std::move(m.staged));
      if (!opt_.textOut.empty()) saveImage(opt_.textOut, *m.text, kTextBase);
    }
    m.staged = Image();
    const bool image = what == Transfer::Config || what == Transfer::Text;
    note("%s %s: %ld %s, C/%.*s", transferName(what), m.id.c_str(), m.blockLines,
         image ? "records" : "lines", static_cast<int>(std::min<size_t>(count.size(), 20)),
         count.data());
    ++stats_.transfers;
    sendLine(m, "OK", false);  // the closing line is not answered
  }

  void report() {
    std::vector<double>& l = stats_.latencyUs;
    std::sort(l.begin(), l.end());
    auto pct = [&](double p) {
      return l.empty() ? 0.0
                       : l[std::min(l.size() - 1,
                                    static_cast<size_t>(p * static_cast<double>(l.size())))];
    };
    std::printf("connections %d connected %ld failed %ld closed-by-server %ld\n", opt_.connections,
                stats_.connected, stats_.connectFailed, stats_.closedByServer);
    std::printf(
        "lines-sent %ld answers %ld polls %ld events %ld time-answers %ld commands %ld "
        "transfers %ld unanswered %ld errors %ld\n",
        stats_.linesSent, stats_.answers, stats_.polls, stats_.events, stats_.timeAnswers,
        stats_.commands, stats_.transfers, stats_.unanswered, stats_.errors);
    std::printf("answers-per-second %.0f\n",
                static_cast<double>(stats_.measuredAnswers) / opt_.seconds);
    std::printf("latency-us p50 %.0f p99 %.0f max %.0f\n", pct(0.50), pct(0.99),
                l.empty() ? 0.0 : l.back());
    std::fflush(stdout);
  }

  Options opt_;
  unsigned account_;
  SharedImage config_;
  SharedImage text_;
  std::vector<Module> modules_;
  std::vector<size_t> ready_;
  Clock::time_point measureFrom_ = Clock::time_point::max();
  std::priority_queue<std::pair<Clock::time_point, size_t>,
                      std::vector<std::pair<Clock::time_point, size_t>>, std::greater<>>
      polls_;
  Stats stats_;
  int epoll_;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "orv-modsim: simulates GPRS alarm modules against a module port of the receiver.\n"
      "The modules poll, send events and serve the console's commands; a line per completed\n"
      "write (\"scfg <id>: <n> records, C/<n>\") goes to standard output, a summary at the end."};
  app.add_option("--host", o.host, "server address")->type_name("H")->capture_default_str();
  app.add_option("--port", o.port, "module port")
      ->type_name("P")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--connections", o.connections, "simulated modules")->capture_default_str();
  app.add_option("--id-prefix", o.idPrefix, "module identifiers X0001, X0002, ...")
      ->type_name("X")
      ->capture_default_str();
  app.add_option("--account", o.account, "hex account of the first module, +1 per module")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            return orv::parseHex(v) ? "" : "the account must be hexadecimal";
          },
          "HEX"))
      ->capture_default_str();
  app.add_option("--poll-ms", o.pollMs, "poll interval per module in ms; 0 polls again at once")
      ->capture_default_str();
  app.add_option("--events", o.eventsPerSecond, "events per second over all modules")
      ->capture_default_str();
  app.add_option("--seconds", o.seconds, "how long to run after connecting")->capture_default_str();
  app.add_option("--warmup", o.warmupSeconds, "seconds after connecting before measuring")
      ->capture_default_str();
  app.add_option("--connect-rate", o.connectPerSecond, "new connections per second")
      ->capture_default_str();
  app.add_option("--image", o.image,
                 "Intel HEX file with the configuration image answered to \"lcfg\" (default: "
                 "1,024 bytes of 0x5A)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile);
  app.add_option("--image-out", o.imageOut,
                 "after every completed \"scfg\", write the whole configuration image here as "
                 "Intel HEX")
      ->type_name("FILE");
  app.add_option("--text-image", o.textImage,
                 "Intel HEX file with the text image (addresses 5000-16955) answered to \"ltxt\" "
                 "(default: blank)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile);
  app.add_option("--text-out", o.textOut,
                 "after every completed \"stxt\", write the whole text image here as Intel HEX")
      ->type_name("FILE");
  app.add_option("--firmware", o.firmware,
                 "firmware text: \"mode?\" is answered <firmware>_mode0, or _mode1 with a code")
      ->capture_default_str();
  app.add_option("--code", o.code, "the module's security code (default: it asks for none)")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            return fourDigits(v) ? "" : "the code must be four decimal digits";
          },
          "NNNN"));
  auto* armed = app.add_flag("--armed", o.armed, "answer \"mode?\" with STAT ERR");
  auto* modeAnswer =
      app.add_option("--mode-answer", o.modeAnswer, "answer \"mode?\" with exactly TEXT")
          ->type_name("TEXT")
          ->check(CLI::Validator(
              [](std::string& v) -> std::string {
                return v.find_first_of("\r\n") == std::string::npos ? ""
                                                                    : "one line, without CR or LF";
              },
              ""));
  auto* muteMode = app.add_flag("--mute-mode", o.muteMode, "never answer \"mode?\"");
  armed->excludes(modeAnswer)->excludes(muteMode);
  modeAnswer->excludes(muteMode);
  app.add_option("--incomplete-reads", o.incompleteReads,
                 "the first K \"lcfg\" answers leave out one record (the count says all)")
      ->type_name("K")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
  auto* logLines =
      app.add_option("--log-lines", o.logLines,
                     "Intel HEX records of the log memory answered to \"llog\", from 0x0400 (" +
                         std::to_string(kLogWholeLines) +
                         ": all of it); without --log-events the log holds the events that fit")
          ->check(CLI::Range(0, kLogWholeLines))
          ->capture_default_str();
  auto* logEvents =
      app.add_option("--log-events", o.logEvents,
                     "events the module has logged; more than 254 have wrapped the ring (the "
                     "whole log memory is answered unless --log-lines says otherwise)")
          ->type_name("K")
          ->check(CLI::Range(0, kMaxLogEvents));
  auto* logImageFile =
      app.add_option("--log-image", o.logImage,
                     "Intel HEX file with the log memory (0x0400-0x11E7) answered to \"llog\"")
          ->type_name("FILE")
          ->check(CLI::ExistingFile);
  logEvents->excludes(logImageFile);
  app.add_flag("--verbose", o.verbose, "print every line received and sent");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if ((logEvents->count() > 0 || logImageFile->count() > 0) && logLines->count() == 0)
    o.logLines = kLogWholeLines;
  o.connections = std::max(1, o.connections);
  o.pollMs = std::max(0, o.pollMs);
  o.connectPerSecond = std::max(1, o.connectPerSecond);

  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 &&
      lim.rlim_cur < static_cast<rlim_t>(o.connections) + 16) {
    std::fprintf(stderr, "orv-modsim: open-file limit %lu is too low for %d connections\n",
                 static_cast<unsigned long>(lim.rlim_cur), o.connections);
  }
  return Simulator(std::move(o)).run();
}
