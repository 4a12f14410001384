// orv-siasend: a SIA DC-09 transmitter for tests and benchmarks.
//
// Builds numbered frames (ADM-CID, SIA-DCS, NULL, ADM-42E or any other ID) in the raw or the
// standard framing, sends them over persistent connections or one connection per frame, reads
// every answer, checks its CRC and that it echoes the header of the frame it answers, and prints
// the answer counts and latency. The framing and the CRC are written here on their own, not
// taken from the server, so that the tool checks the receiver rather than agreeing with it.
//
// Exit code 0 when every frame got a well-formed answer echoing its header (and, with --expect,
// the expected word); frames sent with --bad-crc must get no answer instead.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Framing { Raw, Standard };

struct Options {
  std::string host = "127.0.0.1";
  int port = 910;
  std::string id = "ADM-CID";
  Framing framing = Framing::Raw;
  std::string receiver = "0";
  std::string linePrefix = "0";
  std::string account = "1234";
  int firstSequence = 1;
  std::optional<std::string> data;
  bool timestamp = false;
  long timestampOffset = 0;  // seconds added to the clock for --timestamp
  bool badCrc = false;
  int connections = 1;
  bool perFrame = false;
  double rate = 0;
  long frames = 1;
  int timeoutMs = 3000;
  std::string expect;  // the word every answer must carry; empty: any
  bool print = false;
};

void usage() {
  std::fputs(
      "usage: orv-siasend [options]\n"
      "  --host H            receiver address (127.0.0.1)\n"
      "  --port P            receiver port (910)\n"
      "  --id ID             message ID: ADM-CID, SIA-DCS, NULL, ADM-42E or any (ADM-CID)\n"
      "  --framing F         raw (CRC as two bytes) or standard (CRC as four hex digits) (raw)\n"
      "  --receiver R        receiver number in the header (0)\n"
      "  --line L            line prefix in the header (0)\n"
      "  --account A         account (1234)\n"
      "  --seq N             first sequence number, 1-9999 (1)\n"
      "  --data TEXT         the data block between [ and ] (by default built for the ID)\n"
      "  --timestamp         append _HH:MM:SS,MM-DD-YYYY (UTC)\n"
      "  --timestamp-offset S  shift that time stamp by S seconds (0)\n"
      "  --bad-crc           send a wrong CRC; no answer is then the expected result\n"
      "  --frames N          frames in total (1)\n"
      "  --connections N     parallel senders, each on its own connection (1)\n"
      "  --per-frame         a new connection for every frame\n"
      "  --rate R            frames per second in total; 0 = each sender as fast as answers come "
      "(0)\n"
      "  --timeout MS        how long to wait for an answer (3000)\n"
      "  --expect WORD       count answers with another word (ACK, NAK, DUH) as errors\n"
      "  --print             print every answer message\n",
      stderr);
}

uint16_t crc16Arc(std::string_view data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    crc ^= c;
    for (int i = 0; i < 8; ++i)
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

std::string frameOf(const std::string& message, Framing framing, bool badCrc) {
  uint16_t crc = crc16Arc(message);
  if (badCrc) crc ^= 0x5A5A;
  char head[16];
  std::string out = "\n";
  if (framing == Framing::Raw) {
    out.push_back(static_cast<char>(crc >> 8));
    out.push_back(static_cast<char>(crc & 0xFF));
    std::snprintf(head, sizeof head, "0%03zX", message.size() & 0xFFF);
  } else {
    std::snprintf(head, sizeof head, "%04X0%03zX", static_cast<unsigned>(crc),
                  message.size() & 0xFFF);
  }
  out += head;
  out += message;
  out.push_back('\r');
  return out;
}

std::optional<unsigned> hexValue(std::string_view text) {
  unsigned v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return std::nullopt;
    v = v << 4 | static_cast<unsigned>(d);
  }
  return v;
}

std::string defaultData(const Options& o) {
  if (o.id == "ADM-CID") return "#" + o.account + "|1130 01 015";
  if (o.id == "SIA-DCS") return "#" + o.account + "|NRI01BA01";
  if (o.id == "NULL") return "";
  if (o.id == "ADM-42E") return "#" + o.account + "|00";
  return "#" + o.account;
}

std::string timeStamp(long offsetSeconds) {
  time_t t = time(nullptr) + offsetSeconds;
  tm parts{};
  gmtime_r(&t, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "_%02d:%02d:%02d,%02d-%02d-%04d", parts.tm_hour, parts.tm_min,
                parts.tm_sec, parts.tm_mon + 1, parts.tm_mday, parts.tm_year + 1900);
  return text;
}

struct Outgoing {
  std::string header;
  std::string frame;
};

Outgoing build(const Options& o, long index) {
  const int seq = 1 + static_cast<int>((o.firstSequence - 1 + index) % 9999);
  char number[8];
  std::snprintf(number, sizeof number, "%04d", seq);
  const std::string header = number + ("R" + o.receiver) + "L" + o.linePrefix + "#" + o.account;
  std::string message = "\"" + o.id + "\"" + header + "[" + o.data.value_or(defaultData(o)) + "]";
  if (o.timestamp) message += timeStamp(o.timestampOffset);
  return {header, frameOf(message, o.framing, o.badCrc)};
}

// --- results ---------------------------------------------------------------------------------

struct Counts {
  long sent = 0, ack = 0, nak = 0, duh = 0, other = 0;
  long none = 0;          // no answer where one was due
  long expectedNone = 0;  // --bad-crc frames left unanswered, as they should be
  long answeredBad = 0;   // --bad-crc frames that got an answer anyway
  long crcMismatch = 0, seqMismatch = 0, framingMismatch = 0, malformed = 0, unexpected = 0;
  long connectErrors = 0, sendErrors = 0;
  std::vector<double> latencyUs;

  long errors() const {
    return none + answeredBad + crcMismatch + seqMismatch + framingMismatch + malformed +
           unexpected + connectErrors + sendErrors;
  }
  void add(const Counts& c) {
    sent += c.sent, ack += c.ack, nak += c.nak, duh += c.duh, other += c.other;
    none += c.none, expectedNone += c.expectedNone, answeredBad += c.answeredBad;
    crcMismatch += c.crcMismatch, seqMismatch += c.seqMismatch;
    framingMismatch += c.framingMismatch, malformed += c.malformed, unexpected += c.unexpected;
    connectErrors += c.connectErrors, sendErrors += c.sendErrors;
    latencyUs.insert(latencyUs.end(), c.latencyUs.begin(), c.latencyUs.end());
  }
};

std::mutex reportLock;
std::atomic<int> reported{0};

// The first problems are described on stderr; the counts tell the rest.
void problem(const char* format, ...) {
  if (reported.fetch_add(1) >= 20) return;
  std::lock_guard lock(reportLock);
  va_list args;
  va_start(args, format);
  std::fputs("orv-siasend: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

// --- connection ------------------------------------------------------------------------------

class Connection {
 public:
  ~Connection() { close(); }

  bool open(const std::string& host, int port, int timeoutMs) {
    close();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
      return false;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = fd_ >= 0;
    if (ok && ::connect(fd_, found->ai_addr, found->ai_addrlen) != 0) {
      ok = errno == EINPROGRESS && wait(POLLOUT, timeoutMs) > 0;
      int err = 0;
      socklen_t len = sizeof err;
      if (ok && (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)) ok = false;
    }
    ::freeaddrinfo(found);
    if (!ok) {
      close();
      return false;
    }
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
  }
  bool isOpen() const { return fd_ >= 0; }

  bool send(std::string_view data, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (wait(POLLOUT, msLeft(deadline)) <= 0) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  enum class Read { Frame, Timeout, Closed, Malformed };

  // One answer frame, CR included. The raw framing's CRC bytes may be a CR themselves, so the
  // frame is measured by its length field rather than cut at the first CR.
  Read readFrame(std::string& frame, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::optional<size_t> total = frameLength(std::string_view(buffer_).substr(lf));
        if (!total) {
          frame = buffer_.substr(lf);
          buffer_.clear();
          return Read::Malformed;
        }
        if (*total != 0 && buffer_.size() - lf >= *total) {
          frame = buffer_.substr(lf, *total);
          buffer_.erase(0, lf + *total);
          return frame.back() == '\r' ? Read::Frame : Read::Malformed;
        }
      }
      int left = msLeft(deadline);
      if (left <= 0) return Read::Timeout;
      int r = wait(POLLIN, left);
      if (r == 0) return Read::Timeout;
      if (r < 0) return Read::Closed;
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0) return Read::Closed;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return Read::Closed;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Whether anything at all arrives within timeoutMs (for frames that must stay unanswered).
  bool anythingWithin(int timeoutMs) {
    if (!buffer_.empty()) return true;
    int r = wait(POLLIN, timeoutMs);
    if (r <= 0) return false;
    char chunk[4096];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
    return n > 0;
  }

 private:
  // The whole frame's length from its LF, 0 while too little has arrived to know it, or
  // std::nullopt when the bytes are neither framing.
  static std::optional<size_t> frameLength(std::string_view f) {
    if (f.size() < 8) return 0;
    if (f[7] == '"') {
      std::optional<unsigned> len = hexValue(f.substr(4, 3));
      if (!len) return std::nullopt;
      return 7 + *len + 1;
    }
    if (f.size() < 10) return 0;
    if (f[9] != '"') return std::nullopt;
    std::optional<unsigned> len = hexValue(f.substr(5, 4));
    if (!len) return std::nullopt;
    return 9 + *len + 1;
  }

  static int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  }

  int wait(short events, int timeoutMs) {
    pollfd p{fd_, events, 0};
    for (;;) {
      int r = ::poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events)) return -1;
      return r;
    }
  }

  int fd_ = -1;
  std::string buffer_;
};

// Checks one answer against the frame it answers and counts it.
void judge(const Options& o, const Outgoing& out, const std::string& answer, Counts& c) {
  std::string_view a(answer);
  a.remove_suffix(1);  // CR
  const bool raw = a[7] == '"';
  const std::string_view message = a.substr(raw ? 7 : 9);
  const uint16_t crc = crc16Arc(message);
  std::optional<unsigned> sent;
  if (raw) {
    sent = static_cast<unsigned char>(a[1]) << 8 | static_cast<unsigned char>(a[2]);
  } else {
    sent = hexValue(a.substr(1, 4));
  }
  if (sent != crc) {
    ++c.crcMismatch;
    problem("answer with a wrong CRC (computed %04X): %s", crc, printable(a).c_str());
    return;
  }
  if ((o.framing == Framing::Raw) != raw) {
    ++c.framingMismatch;
    problem("answer in the other framing: %s", printable(a).c_str());
  }
  size_t close =
      message.size() > 1 && message[0] == '"' ? message.find('"', 1) : std::string_view::npos;
  size_t open = close == std::string_view::npos ? close : message.find('[', close + 1);
  if (open == std::string_view::npos) {
    ++c.malformed;
    problem("answer without '\"ID\"header[': %s", printable(a).c_str());
    return;
  }
  const std::string_view word = message.substr(1, close - 1);
  const std::string_view header = message.substr(close + 1, open - close - 1);
  if (header != out.header) {
    ++c.seqMismatch;
    problem("answer header %s for the frame with %s", printable(header).c_str(),
            out.header.c_str());
  }
  if (word == "ACK")
    ++c.ack;
  else if (word == "NAK")
    ++c.nak;
  else if (word == "DUH")
    ++c.duh;
  else
    ++c.other;
  if (!o.expect.empty() && word != o.expect) {
    ++c.unexpected;
    problem("answer %s where %s was expected: %s", printable(word).c_str(), o.expect.c_str(),
            printable(a).c_str());
  }
  if (o.print) {
    std::lock_guard lock(reportLock);
    std::printf("%s\n", printable(a).c_str());
  }
}

void sender(const Options& o, int index, Clock::time_point start, Counts& c) {
  Connection conn;
  for (long i = index; i < o.frames; i += o.connections) {
    if (o.rate > 0) {
      const std::chrono::duration<double> due(static_cast<double>(i) / o.rate);
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(due));
    }
    if (!conn.isOpen() && !conn.open(o.host, o.port, 5000)) {
      ++c.connectErrors;
      problem("cannot connect to %s:%d: %s", o.host.c_str(), o.port, std::strerror(errno));
      continue;
    }
    const Outgoing out = build(o, i);
    const auto t0 = Clock::now();
    if (!conn.send(out.frame, 10000)) {
      ++c.sendErrors;
      problem("sending frame %s failed", out.header.c_str());
      conn.close();
      continue;
    }
    ++c.sent;
    if (o.badCrc) {
      if (conn.anythingWithin(o.timeoutMs)) {
        ++c.answeredBad;
        problem("a frame with a wrong CRC was answered (%s)", out.header.c_str());
        conn.close();
      } else {
        ++c.expectedNone;
      }
    } else {
      std::string answer;
      switch (conn.readFrame(answer, o.timeoutMs)) {
        case Connection::Read::Frame:
          c.latencyUs.push_back(
              std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
          judge(o, out, answer, c);
          break;
        case Connection::Read::Malformed:
          ++c.malformed;
          problem("malformed answer to %s: %s", out.header.c_str(), printable(answer).c_str());
          conn.close();
          break;
        case Connection::Read::Timeout:
        case Connection::Read::Closed:
          ++c.none;
          problem("no answer to %s", out.header.c_str());
          conn.close();  // a late answer would be taken for the next frame's
          break;
      }
    }
    if (o.perFrame) conn.close();
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--host")
      o.host = next();
    else if (a == "--port")
      o.port = std::atoi(next());
    else if (a == "--id")
      o.id = next();
    else if (a == "--framing") {
      std::string_view f = next();
      if (f == "raw")
        o.framing = Framing::Raw;
      else if (f == "standard")
        o.framing = Framing::Standard;
      else {
        usage();
        return 2;
      }
    } else if (a == "--receiver")
      o.receiver = next();
    else if (a == "--line")
      o.linePrefix = next();
    else if (a == "--account")
      o.account = next();
    else if (a == "--seq")
      o.firstSequence = std::clamp(std::atoi(next()), 1, 9999);
    else if (a == "--data")
      o.data = next();
    else if (a == "--timestamp")
      o.timestamp = true;
    else if (a == "--timestamp-offset") {
      o.timestamp = true;
      o.timestampOffset = std::atol(next());
    } else if (a == "--bad-crc")
      o.badCrc = true;
    else if (a == "--frames")
      o.frames = std::max(0L, std::atol(next()));
    else if (a == "--connections")
      o.connections = std::max(1, std::atoi(next()));
    else if (a == "--per-frame")
      o.perFrame = true;
    else if (a == "--rate")
      o.rate = std::max(0.0, std::atof(next()));
    else if (a == "--timeout")
      o.timeoutMs = std::max(1, std::atoi(next()));
    else if (a == "--expect")
      o.expect = next();
    else if (a == "--print")
      o.print = true;
    else {
      usage();
      return 2;
    }
  }
  if (o.port <= 0 || o.port > 65535) {
    usage();
    return 2;
  }

  std::vector<Counts> counts(static_cast<size_t>(o.connections));
  std::vector<std::thread> senders;
  const auto start = Clock::now();
  for (int c = 0; c < o.connections; ++c) {
    senders.emplace_back([&, c] { sender(o, c, start, counts[static_cast<size_t>(c)]); });
  }
  for (std::thread& t : senders) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();

  Counts all;
  for (const Counts& c : counts) all.add(c);
  std::sort(all.latencyUs.begin(), all.latencyUs.end());
  auto pct = [&](double p) {
    if (all.latencyUs.empty()) return 0.0;
    size_t k = static_cast<size_t>(p * static_cast<double>(all.latencyUs.size()));
    return all.latencyUs[std::min(all.latencyUs.size() - 1, k)];
  };
  std::printf(
      "frames %ld sent %ld ack %ld nak %ld duh %ld other %ld none %ld expected-none %ld "
      "answered-bad-crc %ld crc-mismatch %ld seq-mismatch %ld framing-mismatch %ld malformed %ld "
      "unexpected %ld connect-errors %ld send-errors %ld errors %ld seconds %.3f "
      "frames-per-second %.0f\n",
      o.frames, all.sent, all.ack, all.nak, all.duh, all.other, all.none, all.expectedNone,
      all.answeredBad, all.crcMismatch, all.seqMismatch, all.framingMismatch, all.malformed,
      all.unexpected, all.connectErrors, all.sendErrors, all.errors(), secs,
      secs > 0 ? static_cast<double>(all.sent) / secs : 0.0);
  std::printf("answer-latency-us p50 %.0f p99 %.0f max %.0f\n", pct(0.5), pct(0.99),
              all.latencyUs.empty() ? 0.0 : all.latencyUs.back());
  return all.errors() == 0 && all.sent == o.frames ? 0 : 1;
}
