// orv-tcpdrv-send: sends receiver lines to a TcpDrv input and waits for each ACK byte.
//
// Lines come from the command line, from standard input (--stdin), or are generated with right
// checksums (--generate N). Several senders (--connections) share the lines round robin. At the
// end it prints counts and the ACK latency.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/line_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string withChecksum(std::string text) {
  unsigned x = 0;
  for (char c : text) x ^= static_cast<unsigned char>(c);
  char sum[8];
  std::snprintf(sum, sizeof sum, "*%02X", x & 0xFF);
  return text + sum;
}

void usage() {
  std::fputs(
      "usage: orv-tcpdrv-send [options] [LINE ...]\n"
      "  --host H          input address (127.0.0.1)\n"
      "  --port P          TcpDrv port (910)\n"
      "  --generate N      send N generated event lines with right checksums\n"
      "  --stdin           read the lines from standard input\n"
      "  --rate R          lines per second in total; 0 = as fast as the ACKs come (0)\n"
      "  --connections C   parallel senders (1)\n"
      "  --no-ack          do not wait for ACK bytes\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 910, connections = 1;
  long generate = 0;
  double rate = 0;
  bool fromStdin = false, waitAck = true;
  std::vector<std::string> lines;
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
      host = next();
    else if (a == "--port")
      port = std::atoi(next());
    else if (a == "--generate")
      generate = std::atol(next());
    else if (a == "--stdin")
      fromStdin = true;
    else if (a == "--rate")
      rate = std::atof(next());
    else if (a == "--connections")
      connections = std::max(1, std::atoi(next()));
    else if (a == "--no-ack")
      waitAck = false;
    else if (!a.empty() && a[0] == '-') {
      usage();
      return 2;
    } else {
      lines.emplace_back(a);
    }
  }
  if (fromStdin) {
    std::string l;
    while (std::getline(std::cin, l)) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      if (!l.empty()) lines.push_back(l);
    }
  }
  for (long n = 0; n < generate; ++n) {
    char text[64];
    std::snprintf(text, sizeof text, "5011 18%04lX%s", (0x1000 + n) & 0xFFFF,
                  n % 2 ? "E13001015" : "R13001015");
    lines.push_back(withChecksum(text));
  }
  if (lines.empty()) {
    usage();
    return 2;
  }

  struct Result {
    long sent = 0, acked = 0, errors = 0;
    std::vector<double> latencyUs;
  };
  std::vector<Result> results(static_cast<size_t>(connections));
  const auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int c = 0; c < connections; ++c) {
    senders.emplace_back([&, c] {
      Result& r = results[static_cast<size_t>(c)];
      orv::LineSocket s;
      if (s.connect(host, static_cast<uint16_t>(port), 5000) != 0) {
        ++r.errors;
        return;
      }
      for (size_t i = static_cast<size_t>(c); i < lines.size();
           i += static_cast<size_t>(connections)) {
        if (rate > 0) {
          auto due = start + std::chrono::duration<double>(static_cast<double>(i) / rate);
          std::this_thread::sleep_until(due);
        }
        auto t0 = Clock::now();
        if (s.send(lines[i] + "\r\n") != 0) {
          ++r.errors;
          return;
        }
        ++r.sent;
        if (!waitAck || lines[i].empty() || lines[i][0] != '5') continue;
        char b = 0;
        if (s.receiveByte(b, 5000) != 0 || b != orv::kAck) {
          ++r.errors;
          return;
        }
        ++r.acked;
        r.latencyUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  for (std::thread& t : senders) t.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  Result all;
  for (Result& r : results) {
    all.sent += r.sent;
    all.acked += r.acked;
    all.errors += r.errors;
    all.latencyUs.insert(all.latencyUs.end(), r.latencyUs.begin(), r.latencyUs.end());
  }
  std::sort(all.latencyUs.begin(), all.latencyUs.end());
  auto pct = [&](double p) {
    return all.latencyUs.empty()
               ? 0.0
               : all.latencyUs[std::min(
                     all.latencyUs.size() - 1,
                     static_cast<size_t>(p * static_cast<double>(all.latencyUs.size())))];
  };
  std::printf("sent %ld acked %ld errors %ld lines-per-second %.0f\n", all.sent, all.acked,
              all.errors, secs > 0 ? static_cast<double>(all.sent) / secs : 0.0);
  std::printf("ack-latency-us p50 %.0f p99 %.0f max %.0f\n", pct(0.5), pct(0.99),
              all.latencyUs.empty() ? 0.0 : all.latencyUs.back());
  return all.errors == 0 ? 0 : 1;
}
