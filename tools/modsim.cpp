// orv-modsim: simulates GPRS alarm modules against a module port of the receiver.
//
// Each simulated module connects, reads the banner, identifies itself ("a<id>,<account>"),
// then polls ("Q") and sends events with correct checksums, one line at a time, waiting for
// each answer. It answers the console's commands as a module would: "mode?" with its firmware
// text, "lcfg" with its configuration image as "#4" records and "C/<n>", "scfg" with
// "Wait for hex" and a closing line once the records arrived. At the end it reports what it
// did and the answer latencies.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex_record.h"
#include "common/ticks.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 778;
  int connections = 1;
  std::string idPrefix = "SIM";
  unsigned account = 0x1000;
  int pollMs = 1000;
  double eventsPerSecond = 0;  // in total over all modules
  double seconds = 10;
  double warmupSeconds = 0;
  int connectPerSecond = 5000;
  std::string image;  // hex file answered to "lcfg"; default: 1,024 bytes of 0x5A
  bool verbose = false;
};

void usage() {
  std::fputs(
      "usage: orv-modsim [options]\n"
      "  --host H            server address (127.0.0.1)\n"
      "  --port P            module port (778)\n"
      "  --connections N     simulated modules (1)\n"
      "  --id-prefix X       module identifiers X0001, X0002, ... (SIM)\n"
      "  --account A         hex account of the first module, +1 per module (1000)\n"
      "  --poll-ms P         poll interval per module in ms; 0 polls again at once (1000)\n"
      "  --events R          events per second over all modules (0)\n"
      "  --seconds S         how long to run after connecting (10)\n"
      "  --warmup W          seconds after connecting before measuring (0)\n"
      "  --connect-rate C    new connections per second (5000)\n"
      "  --image FILE        Intel HEX file answered to \"lcfg\"\n"
      "  --verbose           print every line received\n",
      stderr);
}

uint8_t xorOf(std::string_view s) {
  uint8_t x = 0;
  for (char c : s) x ^= static_cast<uint8_t>(c);
  return x;
}

struct Module {
  int fd = -1;
  std::string id;
  unsigned account = 0;
  std::string in;
  std::string out;
  size_t outOffset = 0;
  bool bannerSeen = false;
  bool waiting = false;         // a line is out and its answer not yet in
  bool receivingBlock = false;  // after "Wait for hex": the image records come
  Clock::time_point sentAt;
  Clock::time_point nextPoll;
  std::vector<std::string> pendingLines;  // answers to commands, sent before the next poll
  bool dead = false;
};

struct Stats {
  long connected = 0, connectFailed = 0, closedByServer = 0;
  long linesSent = 0, answers = 0, events = 0, polls = 0, timeAnswers = 0, commands = 0;
  long transfers = 0, errors = 0, measuredAnswers = 0;
  std::vector<double> latencyUs;
};

std::vector<std::string> loadImage(const std::string& file) {
  std::vector<uint8_t> image(1024, 0x5A);
  if (!file.empty()) {
    std::fill(image.begin(), image.end(), 0xFF);
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (auto rec = orv::decodeHexRecord(line)) orv::storeHexRecord(*rec, image, 0);
    }
  }
  std::vector<std::string> records;
  for (size_t a = 0; a < image.size(); a += 16) {
    records.push_back("#4" + orv::encodeHexRecord(static_cast<uint16_t>(a),
                                                  std::span<const uint8_t>(image).subspan(a, 16)));
  }
  records.push_back("C/" + std::to_string(records.size()));
  return records;
}

class Simulator {
 public:
  Simulator(Options o) : opt_(std::move(o)), imageLines_(loadImage(opt_.image)) {
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
    m.account = (opt_.account + static_cast<unsigned>(index)) & 0xFFFF;
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

  void sendLine(Module& m, std::string line, bool expectAnswer) {
    if (opt_.verbose) std::printf("%s -> %s\n", m.id.c_str(), line.c_str());
    m.out += line + "\r\n";
    ++stats_.linesSent;
    if (expectAnswer) {
      m.waiting = true;
      m.sentAt = Clock::now();
    }
    flush(m);
  }

  bool idle(const Module& m) const {
    return m.fd >= 0 && !m.dead && m.bannerSeen && !m.waiting && !m.receivingBlock;
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
        continue;
      }
      if (n < 0 && errno == EAGAIN) break;
      ++stats_.closedByServer;
      fail(m, "closed by the server");
      return;
    }
    size_t lf;
    while (!m.dead && (lf = m.in.find('\n')) != std::string::npos) {
      std::string line = m.in.substr(0, lf);
      m.in.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      handle(m, line);
    }
  }

  void handle(Module& m, const std::string& line) {
    handleLine(m, line);
    if (idle(m)) schedule(m);
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
    if (m.receivingBlock) {
      // The image records after "Wait for hex"; "C/<n>" ends them.
      if (line.rfind("C/", 0) == 0) {
        m.receivingBlock = false;
        ++stats_.transfers;
        sendLine(m, "CFG OK", false);  // the closing line is not answered
      }
      return;
    }
    if (!m.waiting) return;  // nothing asked: ignore
    m.waiting = false;
    ++stats_.answers;
    if (m.sentAt >= measureFrom_) {
      ++stats_.measuredAnswers;
      stats_.latencyUs.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - m.sentAt).count());
    }
    if (line == "0") return;
    if (line.size() < 2 || (line[0] != '1' && line[0] != '2')) {
      ++stats_.errors;
      return;
    }
    size_t colon = line.find(':');
    std::string command = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (command.rfind("99.c", 0) == 0) {
      if (command != "99.c3") ++stats_.timeAnswers;
      return;
    }
    ++stats_.commands;
    if (line[0] != '1') return;  // more follow: nothing starts before the last
    if (command.find("mode") != std::string::npos) {
      m.pendingLines.insert(m.pendingLines.begin(), "v.32_mode0 CODE 0000");
    } else if (command.find("lcfg") != std::string::npos) {
      for (const std::string& r : imageLines_) sendLine(m, r, false);
      ++stats_.transfers;
    } else if (command.find("scfg") != std::string::npos) {
      m.receivingBlock = true;
      sendLine(m, "Wait for hex", false);
    }
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
        "transfers %ld errors %ld\n",
        stats_.linesSent, stats_.answers, stats_.polls, stats_.events, stats_.timeAnswers,
        stats_.commands, stats_.transfers, stats_.errors);
    std::printf("answers-per-second %.0f\n",
                static_cast<double>(stats_.measuredAnswers) / opt_.seconds);
    std::printf("latency-us p50 %.0f p99 %.0f max %.0f\n", pct(0.50), pct(0.99),
                l.empty() ? 0.0 : l.back());
    std::fflush(stdout);
  }

  Options opt_;
  std::vector<std::string> imageLines_;
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
    else if (a == "--connections")
      o.connections = std::max(1, std::atoi(next()));
    else if (a == "--id-prefix")
      o.idPrefix = next();
    else if (a == "--account")
      o.account = static_cast<unsigned>(std::strtoul(next(), nullptr, 16));
    else if (a == "--poll-ms")
      o.pollMs = std::max(0, std::atoi(next()));
    else if (a == "--events")
      o.eventsPerSecond = std::atof(next());
    else if (a == "--seconds")
      o.seconds = std::atof(next());
    else if (a == "--warmup")
      o.warmupSeconds = std::atof(next());
    else if (a == "--connect-rate")
      o.connectPerSecond = std::max(1, std::atoi(next()));
    else if (a == "--image")
      o.image = next();
    else if (a == "--verbose")
      o.verbose = true;
    else {
      usage();
      return 2;
    }
  }
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
