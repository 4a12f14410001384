// orv-bench-accept: how long a new peer waits to be served while an input is under attack.
//
// Holder processes keep `--held` connections open on the input; they never send a line (or, with
// --flood, send that many bytes without a line end) and reconnect whenever the server closes one,
// as an attacker would. Meanwhile new peers connect one after another and each completes its
// first valid exchange; the time from connect() to the server's answer is measured. A peer that
// is refused, closed or not answered in time counts as a failure. Prints one markdown row.
//
// The attack comes from many loopback source addresses (127.1.x.y), a few connections each, and
// the peers from 127.0.0.1: an input that limits connections per address should not turn away
// the peers for what the attacker does. Connections are spread over holder processes so that no
// process needs more descriptors than its limit allows.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAck = 0x06;
constexpr char kDc4 = 0x14;
// No first answer of any input is longer; more without its end is a broken server.
constexpr size_t kMaxAnswer = 4096;
constexpr size_t kMaxPerHolder = 9000;

struct Options {
  std::string input;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string name;
  long held = 500;
  size_t flood = 0;
  int perAddress = 8;
  int peers = 25;
  int timeoutMs = 2000;
  int gapMs = 50;
  int reconnectRate = 2000;  // per second over all holders
  int settleMs = 1000;
  int fillLimitMs = 30000;
  std::string channel = "Bank";
  int serverPid = 0;
};

// What the holders share with the parent.
struct HolderStats {
  std::atomic<long> open{0};
  std::atomic<long> reconnects{0};
};

// --- the attack ------------------------------------------------------------------------------

class Holder {
 public:
  Holder(const Options& o, sockaddr_in target, long first, long count, HolderStats& stats)
      : o_(o), target_(target), first_(first), stats_(stats), conns_(static_cast<size_t>(count)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    flood_.assign(std::min<size_t>(o.flood, 65536), 'A');
  }

  [[noreturn]] void run() {
    const auto start = Clock::now();
    const double ratePerHolder =
        std::max(1.0, o_.reconnectRate * static_cast<double>(conns_.size()) / o_.held);
    double budget = 0;
    auto lastBudget = start;
    size_t opened = 0;
    std::vector<epoll_event> events(1024);
    for (;;) {
      const auto now = Clock::now();
      // First fill at the full connect rate; afterwards reconnects are paced, so that a server
      // closing at once does not turn the holder into a busy loop that starves both.
      budget += std::chrono::duration<double>(now - lastBudget).count() *
                (opened < conns_.size() ? 4000.0 * conns_.size() / o_.held : ratePerHolder);
      lastBudget = now;
      budget = std::min(budget, 1000.0);
      while (opened < conns_.size() && budget >= 1) {
        open(opened++);
        budget -= 1;
      }
      while (!closedList_.empty() && budget >= 1 && opened == conns_.size()) {
        size_t i = closedList_.back();
        closedList_.pop_back();
        stats_.reconnects.fetch_add(1, std::memory_order_relaxed);
        open(i);
        budget -= 1;
      }
      int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 5);
      for (int k = 0; k < n; ++k) serve(events[k].data.u64, events[k].events);
    }
  }

 private:
  struct Conn {
    int fd = -1;
    bool connected = false;
    size_t sent = 0;
  };

  // Each source address carries at most perAddress connections.
  in_addr sourceOf(size_t i) const {
    const long slot = (first_ + static_cast<long>(i)) / std::max(1, o_.perAddress);
    in_addr a{};
    a.s_addr = htonl((127u << 24) | (1u << 16) | static_cast<uint32_t>(slot % 65000 + 1));
    return a;
  }

  void open(size_t i) {
    Conn& c = conns_[i];
    c = Conn{};
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
      closedList_.push_back(i);
      return;
    }
    int on = 1;
    ::setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr = sourceOf(i);
    ::bind(c.fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
    if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) != 0 &&
        errno != EINPROGRESS) {
      drop(i, false);
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    ev.data.u64 = i;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
  }

  void drop(size_t i, bool wasOpen) {
    Conn& c = conns_[i];
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    if (wasOpen) stats_.open.fetch_sub(1, std::memory_order_relaxed);
    closedList_.push_back(i);
  }

  void serve(size_t i, uint32_t what) {
    Conn& c = conns_[i];
    if (c.fd < 0) return;
    if (!c.connected && (what & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        drop(i, false);
        return;
      }
      c.connected = true;
      stats_.open.fetch_add(1, std::memory_order_relaxed);
    }
    if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
      // Whatever the server says (a banner) is read and ignored; its close ends the connection.
      char buf[4096];
      for (;;) {
        ssize_t r = ::recv(c.fd, buf, sizeof buf, 0);
        if (r > 0) continue;
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) break;
        drop(i, true);
        return;
      }
    }
    if ((what & EPOLLOUT) && c.connected) {
      while (c.sent < o_.flood) {
        const size_t chunk = std::min(flood_.size(), o_.flood - c.sent);
        ssize_t r = ::send(c.fd, flood_.data(), chunk, MSG_NOSIGNAL);
        if (r > 0) {
          c.sent += static_cast<size_t>(r);
          continue;
        }
        if (r < 0 && errno == EAGAIN) return;  // EPOLLOUT stays armed until the flood is out
        drop(i, true);
        return;
      }
      // Silent from now on: only the server's close or words are of interest.
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP;
      ev.data.u64 = i;
      ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    }
  }

  const Options& o_;
  sockaddr_in target_;
  long first_;
  HolderStats& stats_;
  std::vector<Conn> conns_;
  std::vector<size_t> closedList_;
  std::string flood_;
  int epoll_;
};

// --- one new peer --------------------------------------------------------------------------

enum class Outcome { Served, Refused, Closed, TimedOut, Wrong };

// A blocking conversation with a deadline.
class Peer {
 public:
  Peer(const sockaddr_in& target, Clock::time_point deadline) : deadline_(deadline) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
        errno != EINPROGRESS) {
      failed_ = Outcome::Refused;
      return;
    }
    if (!wait(POLLOUT)) return;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) failed_ = Outcome::Refused;
  }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }

  std::optional<Outcome> failed() const { return failed_; }

  bool send(std::string_view bytes) {
    while (!failed_ && !bytes.empty()) {
      ssize_t r = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (r > 0) {
        bytes.remove_prefix(static_cast<size_t>(r));
      } else if (r < 0 && errno == EAGAIN) {
        wait(POLLOUT);
      } else {
        failed_ = Outcome::Closed;
      }
    }
    return !failed_;
  }

  // Up to and without the terminator; a CR before an LF terminator goes too.
  std::optional<std::string> until(char end) {
    for (;;) {
      size_t at = in_.find(end);
      if (at != std::string::npos) {
        std::string piece = in_.substr(0, at);
        in_.erase(0, at + 1);
        if (end == '\n' && !piece.empty() && piece.back() == '\r') piece.pop_back();
        return piece;
      }
      if (in_.size() > kMaxAnswer) {
        failed_ = Outcome::Wrong;
        return std::nullopt;
      }
      if (!more()) return std::nullopt;
    }
  }

  std::optional<char> byte() {
    if (in_.empty() && !more()) return std::nullopt;
    char b = in_[0];
    in_.erase(0, 1);
    return b;
  }

  void wrong() { failed_ = Outcome::Wrong; }

 private:
  bool wait(short what) {
    if (failed_) return false;
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count());
    pollfd p{fd_, what, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) {
      failed_ = Outcome::TimedOut;
      return false;
    }
    return true;
  }

  bool more() {
    while (wait(POLLIN)) {
      char buf[1024];
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r > 0) {
        in_.append(buf, static_cast<size_t>(r));
        heard_ = true;
        return true;
      }
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // A reset before anything came is the server turning the peer away.
      failed_ = (r < 0 && errno == ECONNRESET && !heard_) ? Outcome::Refused : Outcome::Closed;
      return false;
    }
    return false;
  }

  int fd_ = -1;
  Clock::time_point deadline_;
  std::optional<Outcome> failed_;
  std::string in_;
  bool heard_ = false;
};

std::string withXor(std::string text) {
  uint8_t x = 0;
  for (char c : text) x ^= static_cast<uint8_t>(c);
  char sum[4];
  std::snprintf(sum, sizeof sum, "%02X", x);
  return text + "*" + sum;
}

// CRC-16/ARC, as DC-09 frames carry it.
uint16_t crc16Arc(std::string_view data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit)
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

std::string siaFrame(int sequence) {
  char message[96];
  std::snprintf(message, sizeof message, "\"ADM-CID\"%04dR0L0#1234[#1234|1130 01 015]",
                sequence % 9999 + 1);
  char head[16];
  std::snprintf(head, sizeof head, "%04X0%03zX", crc16Arc(message), std::strlen(message));
  return std::string("\n") + head + message + "\r";
}

// The first valid exchange of each input.
Outcome exchange(const Options& o, Peer& p, int index) {
  auto line = [&](std::string_view expected) {
    std::optional<std::string> got = p.until('\n');
    if (got && *got != expected) p.wrong();
    return !p.failed();
  };
  if (o.input == "module") {
    char id[32];
    std::snprintf(id, sizeof id, "BENCH%04d", index);
    if (!line("GsmNor v1.2.") || !p.send(std::string("a") + id + ",1234\r\n")) {
      return *p.failed();
    }
    std::optional<std::string> answer = p.until('\n');
    if (answer && !answer->starts_with(std::string("1") + id + ":")) p.wrong();
  } else if (o.input == "tcpdrv") {
    if (p.send(withXor("5011 181234E13001015") + "\r\n")) {
      std::optional<char> b = p.byte();
      if (b && *b != kAck) p.wrong();
    }
  } else if (o.input == "sia") {
    if (p.send(siaFrame(index))) {
      std::optional<std::string> answer;
      do answer = p.until('\r');
      while (answer && answer->find('\n') == std::string::npos);
      if (answer && answer->find("\"ACK\"") == std::string::npos) p.wrong();
    }
  } else if (o.input == "out") {
    if (line("IP-Server V0.0") && p.send(o.channel + "\r\n")) line("1011      0000 R  51");
  } else if (o.input == "sms") {
    // The greeting gets no answer; a text for the server itself ("@...") gets "0" after it.
    if (line("IP-Server-SMS V0.0") && p.send("BENCH\r\n@bench\r\n")) line("0");
  } else if (o.input == "device") {
    // The server greets a device with its own banner line; the message's ACK follows it.
    if (p.send(std::string("5011 181234E13001015") + kDc4)) p.until(kAck);
  }
  return p.failed() ? *p.failed() : Outcome::Served;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

long rssMb(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = -1;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> kb;
      break;
    }
    in.ignore(4096, '\n');
  }
  return kb < 0 ? -1 : (kb + 512) / 1024;
}

std::string withCommas(long n) {
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "orv-bench-accept: new-peer latency on an input while silent connections are held on it; "
      "prints one markdown row: | input | held | new peers | served | failures | p50 ms | p99 ms "
      "| max ms | server RSS MB |"};
  app.add_option("--input", o.input, "the input's first exchange")
      ->required()
      ->check(CLI::IsMember({"module", "tcpdrv", "sia", "out", "sms", "device"}));
  app.add_option("--host", o.host, "the server's address")->capture_default_str();
  app.add_option("--port", o.port, "the input's port")->required();
  app.add_option("--name", o.name, "the row's first column (default: the input)");
  app.add_option("--held", o.held, "silent connections held during the measurement")
      ->capture_default_str();
  app.add_option("--flood", o.flood, "bytes each held connection sends, without a line end")
      ->capture_default_str();
  app.add_option("--per-address", o.perAddress, "held connections per attacking source address")
      ->capture_default_str();
  app.add_option("--peers", o.peers, "new peers, one after another")->capture_default_str();
  app.add_option("--timeout-ms", o.timeoutMs, "each peer's limit")->capture_default_str();
  app.add_option("--reconnect-rate", o.reconnectRate, "reconnects per second, at most")
      ->capture_default_str();
  app.add_option("--settle-ms", o.settleMs, "wait after the connections are held")
      ->capture_default_str();
  app.add_option("--channel", o.channel, "output port: the channel to name")->capture_default_str();
  app.add_option("--server-pid", o.serverPid, "whose resident memory to report");
  CLI11_PARSE(app, argc, argv);
  if (o.name.empty()) o.name = o.input;

  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(o.port));
  if (::inet_pton(AF_INET, o.host.c_str(), &target.sin_addr) != 1) {
    std::fprintf(stderr, "orv-bench-accept: not an IPv4 address: %s\n", o.host.c_str());
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  const size_t perHolder =
      std::min<size_t>(kMaxPerHolder, lim.rlim_cur > 64 ? lim.rlim_cur - 64 : 1);

  auto* stats = static_cast<HolderStats*>(::mmap(
      nullptr, sizeof(HolderStats), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (stats == MAP_FAILED) return 2;
  new (stats) HolderStats();
  std::vector<pid_t> holders;
  for (long first = 0; first < o.held; first += static_cast<long>(perHolder)) {
    const long count = std::min<long>(static_cast<long>(perHolder), o.held - first);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // no holder outlives the measurement
      Holder(o, target, first, count, *stats).run();
    }
    if (pid > 0) holders.push_back(pid);
  }

  // Held means open at the server: wait until (nearly) all are, or the fill takes too long.
  const auto fillStart = Clock::now();
  while (stats->open.load() < o.held &&
         Clock::now() - fillStart < std::chrono::milliseconds(o.fillLimitMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(o.settleMs));
  const long reconnectsBefore = stats->reconnects.load();
  const auto measureStart = Clock::now();

  std::vector<double> latencyMs;
  long refused = 0, closed = 0, timedOut = 0, wrong = 0;
  // The fewest held at any peer: the attack as the server saw it while the peers came.
  long openLow = stats->open.load();
  for (int i = 0; i < o.peers; ++i) {
    const auto start = Clock::now();
    Peer p(target, start + std::chrono::milliseconds(o.timeoutMs));
    Outcome r = p.failed() ? *p.failed() : exchange(o, p, i);
    switch (r) {
      case Outcome::Served:
        latencyMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        break;
      case Outcome::Refused:
        ++refused;
        break;
      case Outcome::Closed:
        ++closed;
        break;
      case Outcome::TimedOut:
        ++timedOut;
        break;
      case Outcome::Wrong:
        ++wrong;
        break;
    }
    openLow = std::min(openLow, stats->open.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(o.gapMs));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - measureStart).count();
  const long reconnects = stats->reconnects.load() - reconnectsBefore;
  const long rss = rssMb(o.serverPid);

  for (pid_t pid : holders) ::kill(pid, SIGKILL);
  for (pid_t pid : holders) ::waitpid(pid, nullptr, 0);

  std::string failures = std::to_string(refused + closed + timedOut + wrong);
  if (refused + closed + timedOut + wrong > 0) {
    failures += " (";
    const char* sep = "";
    auto part = [&](long n, const char* what) {
      if (n == 0) return;
      failures += sep + std::to_string(n) + " " + what;
      sep = ", ";
    };
    part(refused, "refused");
    part(closed, "closed");
    part(timedOut, "timed out");
    part(wrong, "wrong answer");
    failures += ")";
  }
  auto ms = [](double v) {
    char t[32];
    std::snprintf(t, sizeof t, "%.2f", v);
    return std::string(t);
  };
  const bool any = !latencyMs.empty();
  std::printf("| %s | %s (%s open; %s reconnects/s) | %d | %zu | %s | %s | %s | %s | %s |\n",
              o.name.c_str(), withCommas(o.held).c_str(), withCommas(openLow).c_str(),
              withCommas(std::lround(reconnects / std::max(seconds, 0.001))).c_str(), o.peers,
              latencyMs.size(), failures.c_str(),
              any ? ms(percentile(latencyMs, 0.5)).c_str() : "-",
              any ? ms(percentile(latencyMs, 0.99)).c_str() : "-",
              any ? ms(*std::max_element(latencyMs.begin(), latencyMs.end())).c_str() : "-",
              rss < 0 ? "-" : std::to_string(rss).c_str());
  return 0;
}
