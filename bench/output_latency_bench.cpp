// Event-to-client latency: one simulated module sends an event, one output client receives the
// line and acknowledges it, one at a time; then a burst for the throughput through one client.
// Usage: orv-bench-output MODULE_PORT OUTPUT_PORT [events]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/line_socket.h"

using Clock = std::chrono::steady_clock;

namespace {

bool expect(orv::LineSocket& s, std::string& line, const char* what) {
  if (s.receiveLine(line, orv::LineEnd::CrLf, 5000) != 0) {
    std::fprintf(stderr, "orv-bench-output: no %s\n", what);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: orv-bench-output MODULE_PORT OUTPUT_PORT [events]\n");
    return 2;
  }
  const auto modulePort = static_cast<uint16_t>(std::atoi(argv[1]));
  const auto outPort = static_cast<uint16_t>(std::atoi(argv[2]));
  const int events = argc > 3 ? std::atoi(argv[3]) : 5000;

  orv::LineSocket module, client;
  std::string line;
  if (module.connect("127.0.0.1", modulePort, 2000) != 0 || !expect(module, line, "banner"))
    return 1;
  module.send("aBENCH,1234\r\n");
  if (!expect(module, line, "time answer")) return 1;
  if (client.connect("127.0.0.1", outPort, 2000) != 0 || !expect(client, line, "banner")) return 1;
  client.send("Bank\r\n");
  if (!expect(client, line, "channel answer")) return 1;
  client.send("0\r\n");

  // Stop and wait: the latency of one event through an otherwise idle server.
  std::vector<double> us;
  us.reserve(static_cast<size_t>(events));
  for (int i = 0; i < events; ++i) {
    auto t0 = Clock::now();
    module.send("M06,1234,E13001003\r\n");
    if (!expect(client, line, "event line")) return 1;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    client.send("0\r\n");
    if (!expect(module, line, "event answer")) return 1;
  }
  std::sort(us.begin(), us.end());
  auto pct = [&](double p) {
    return us[std::min(us.size() - 1, static_cast<size_t>(p * us.size()))] / 1000.0;
  };

  // Throughput through one client: the module sends as fast as it is answered, the client reads.
  const int burst = events * 4;
  auto t0 = Clock::now();
  int got = 0;
  for (int i = 0; i < burst; ++i) {
    module.send("M06,1234,E13001003\r\n");
    if (!expect(module, line, "event answer")) return 1;
    while (client.receiveLine(line, orv::LineEnd::CrLf, 0) == 0) {
      client.send("0\r\n");
      ++got;
    }
  }
  while (got < burst && expect(client, line, "event line")) {
    client.send("0\r\n");
    ++got;
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();

  std::printf("| measure | ours | with a 10 ms cycle and a 100 ms idle wait |\n");
  std::printf("|---|---:|---:|\n");
  std::printf("| event-to-client latency p50 (ms) | %.3f | up to 110 |\n", pct(0.50));
  std::printf("| event-to-client latency p99 (ms) | %.3f | up to 110 |\n", pct(0.99));
  std::printf("| lines per second through one client | %.0f | about 100 |\n", got / secs);
  std::printf("\ntargets: >= 10,000 lines/s through one client; p99 < 2 ms while otherwise idle\n");
  return 0;
}
