// Push throughput and latency of the output list with persistence on, as the inputs see it.
//
//   orv-bench-push [seconds per scenario]
//
// Four channels (one taking everything, three walking ten filters each), QSize 1000 so that
// every push past the first thousand also trims, and the queue files written by the normal
// persister into a temporary program directory. Prints one table row per scenario.

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/ini_file.h"
#include "server/outputs/output_list.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kQSize = 1000;
constexpr double kTargetPushesPerSecond = 100000;
constexpr double kTargetP99Us = 50;

// Sources and masks are mixed so that most events try several filters before one passes or
// all fail: Gprs module masks, TcpDrv and SIA accounts, "*" and account-zero filters.
constexpr const char* kIni =
    "[Client0]\nId=All\nQSize=1000\n"
    "[Client1]\nId=Alarms\nQSize=1000\n"
    "Flt0=12??;;0;0;0\nFlt1=1a2b;;0;0;1\nFlt2=2c3d;;0;0;1\nFlt3=3e4f;;0;0;2\n"
    "Flt4=45??;;0;0;0\nFlt5=5a6b;;0;0;1\nFlt6=*;;0;1;2\nFlt7=7???;;0;0;0\n"
    "Flt8=8c9d;;0;0;1\nFlt9=*;;0;1;1\n"
    "[Client2]\nId=Branch\nQSize=1000\n"
    "Flt0=0001;;0;0;1\nFlt1=0002;;0;0;1\nFlt2=00a?;;0;0;0\nFlt3=1a2b;;0;0;2\n"
    "Flt4=9???;;0;0;0\nFlt5=beef;;0;0;1\nFlt6=*;;0;1;2\nFlt7=3???;;0;0;0\n"
    "Flt8=1003;;0;0;1\nFlt9=1a2b;;0;0;1\n"
    "[Client3]\nId=Gsm\nQSize=1000\n"
    "Flt0=;+4917*;0;0;0\nFlt1=99??;;0;0;0\nFlt2=*;;0;1;1\nFlt3=1?3?;;0;0;0\n"
    "Flt4=f00d;;0;0;1\nFlt5=*;;0;1;2\nFlt6=45?1;;0;0;0\nFlt7=abcd;;0;0;1\n"
    "Flt8=12*;;0;0;0\nFlt9=1000;;0;0;1\n";

struct Scenario {
  const char* name;
  int producers;
  bool modules;
};

struct Result {
  size_t pushes = 0;
  double seconds = 0;
  double p50 = 0, p99 = 0, p999 = 0, max = 0;  // µs
  long writes = -1;                            // -1: not counted
  bool truncated = false;                      // a latency buffer filled up
};

// Counts queue files renamed into place, which is the last step of every successful write.
class WriteCounter {
 public:
  explicit WriteCounter(const fs::path& dir) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO) < 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    thread_ = std::thread([this] { run(); });
  }
  ~WriteCounter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool works() const { return fd_ >= 0; }
  long count() const { return count_.load(); }
  bool overflowed() const { return overflowed_.load(); }

 private:
  void run() {
    alignas(inotify_event) char buf[16384];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n;
      while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
        for (char* at = buf; at < buf + n;) {
          auto* e = reinterpret_cast<inotify_event*>(at);
          if (e->mask & IN_Q_OVERFLOW) overflowed_ = true;
          std::string_view name = e->len > 0 ? std::string_view(e->name) : std::string_view();
          if ((e->mask & IN_MOVED_TO) && name.size() > 4 &&
              name.substr(name.size() - 4) == ".out") {
            ++count_;
          }
          at += sizeof(inotify_event) + e->len;
        }
      }
    }
  }

  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<long> count_{0};
  std::atomic<bool> overflowed_{false};
};

std::vector<std::string> makeLines() {
  // Accounts the filters name, and many they do not.
  const unsigned named[] = {0x1a2b, 0x2c3d, 0x5a6b, 0x8c9d, 0x0001, 0x1003, 0xbeef, 0x0000};
  std::vector<std::string> lines;
  char buf[64];
  for (unsigned i = 0; i < 1024; ++i) {
    unsigned account = i % 8 == 0 ? named[(i / 8) % 8] : 0x1000 + i * 7;
    std::snprintf(buf, sizeof buf, "5011 18%04X E130%02u%03u", account & 0xffff, i % 100, i % 1000);
    lines.emplace_back(buf);
  }
  return lines;
}

struct ModuleEvent {
  std::string text;
  std::string moduleId;
};

std::vector<ModuleEvent> makeModuleEvents() {
  const char* types[] = {"M01,", "M02,", "M03,", "M06,", "M07,"};
  std::vector<ModuleEvent> events;
  char text[64], id[16];
  for (unsigned i = 0; i < 1024; ++i) {
    std::snprintf(text, sizeof text, "%s%04u,E13001%03u", types[i % 5], 1000 + i % 9000, i % 1000);
    std::snprintf(id, sizeof id, "%04u", (i * 37) % 10000);
    events.push_back({text, id});
  }
  return events;
}

double percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)] / 1000.0;
}

Result run(const Scenario& scenario, const fs::path& dir, double seconds,
           const std::vector<std::string>& lines, const std::vector<ModuleEvent>& events) {
  fs::create_directories(dir);
  Result result;
  // Enough room for a few million pushes per second per producer.
  const size_t capacity = static_cast<size_t>(seconds * 4'000'000) + 1000;
  std::vector<std::vector<uint32_t>> latencies(static_cast<size_t>(scenario.producers));
  for (auto& l : latencies) l.reserve(capacity);
  {
    WriteCounter writes(dir);
    orv::tOList list(orv::IniFile::fromText(kIni), false, dir);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < scenario.producers; ++t) {
      producers.emplace_back([&, t] {
        std::vector<uint32_t>& lat = latencies[static_cast<size_t>(t)];
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        size_t i = static_cast<size_t>(t) * 512;
        for (;; ++i) {
          auto before = Clock::now();
          if (scenario.modules) {
            const ModuleEvent& e = events[i % events.size()];
            orv::ModuleMessage message{e.text, e.moduleId, '1', false};
            list.pushModuleMessage(message, orv::EventKeys::module(e.moduleId, false));
          } else {
            const std::string& line = lines[i % lines.size()];
            list.pushLine(line, orv::EventKeys::line(orv::EventSource::TcpDrv, line));
          }
          auto after = Clock::now();
          lat.push_back(static_cast<uint32_t>(std::min<int64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count(),
              UINT32_MAX)));
          if (after >= end) break;
          if (lat.size() == lat.capacity()) {
            result.truncated = true;
            break;
          }
        }
      });
    }
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    for (auto& p : producers) p.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& item : list.items()) {
      if (item->count() > static_cast<size_t>(kQSize)) {
        std::fprintf(stderr, "orv-bench-push: %s holds %zu lines, more than its QSize\n",
                     item->id().c_str(), item->count());
      }
    }
    // Let the last rename reach the counter before it stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (writes.works() && !writes.overflowed()) result.writes = writes.count();
  }
  std::vector<uint32_t> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  result.pushes = all.size();
  result.p50 = percentile(all, 0.50);
  result.p99 = percentile(all, 0.99);
  result.p999 = percentile(all, 0.999);
  result.max = all.empty() ? 0 : all.back() / 1000.0;
  fs::remove_all(dir);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2.5;
  if (argc > 1) {
    seconds = std::atof(argv[1]);
    if (!(seconds > 0 && seconds <= 60)) {
      std::fprintf(stderr, "usage: orv-bench-push [seconds per scenario, up to 60]\n");
      return 2;
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orv-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("orv-bench-push: mkdtemp");
    return 1;
  }
  const fs::path base = pattern;

  const std::vector<std::string> lines = makeLines();
  const std::vector<ModuleEvent> events = makeModuleEvents();
  const Scenario scenarios[] = {{"TcpDrv lines", 1, false},
                                {"module messages", 1, true},
                                {"TcpDrv lines", 2, false},
                                {"module messages", 2, true}};

  std::printf(
      "orv-bench-push: 4 channels (1 without filters, 3 with 10 filters), QSize %d, "
      "queue files in %s, %.1f s per scenario\n\n",
      kQSize, base.c_str(), seconds);
  std::printf(
      "| scenario | producers | pushes | pushes/s | p50 µs | p99 µs | p99.9 µs | max µs | "
      "queue-file writes |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  bool met = true;
  int n = 0;
  for (const Scenario& s : scenarios) {
    Result r = run(s, base / std::to_string(n++), seconds, lines, events);
    const double rate = r.seconds > 0 ? static_cast<double>(r.pushes) / r.seconds : 0;
    char writes[32];
    if (r.writes >= 0) {
      std::snprintf(writes, sizeof writes, "%ld", r.writes);
    } else {
      std::snprintf(writes, sizeof writes, "n/a");
    }
    std::printf("| %s | %d | %zu | %.0f | %.2f | %.2f | %.2f | %.1f | %s |%s\n", s.name,
                s.producers, r.pushes, rate, r.p50, r.p99, r.p999, r.max, writes,
                r.truncated ? " (latency buffer full, run cut short)" : "");
    std::fflush(stdout);
    if (rate < kTargetPushesPerSecond || r.p99 >= kTargetP99Us) met = false;
  }
  std::error_code ec;
  fs::remove_all(base, ec);
  std::printf("\ntargets (>= %.0f pushes/s and p99 < %.0f µs in every scenario): %s\n",
              kTargetPushesPerSecond, kTargetP99Us, met ? "met" : "NOT met");
  return 0;
}
