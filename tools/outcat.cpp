// orv-outcat: reads one output channel of the receiver, as monitoring software would.
//
// Connects to the output port, names the channel, prints every line it gets with a time stamp
// and acknowledges it with "0" (or as the options say). Heartbeats ("@") and time syncs
// ("systime...") are answered too. At the end it prints how many lines came and how fast.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "common/line_socket.h"
#include "common/local_time.h"

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", channel, command;
  int port = 950;
  long count = -1;
  double seconds = -1;
  bool neverAck = false, emptyAck = false, quiet = false;
  CLI::App app{
      "orv-outcat: reads one output channel of the receiver, as monitoring software would"};
  app.add_option("--host", host, "server address")->type_name("H")->capture_default_str();
  app.add_option("--port", port, "output port")->type_name("P")->capture_default_str();
  app.add_option("--count", count, "stop after N event lines")->type_name("N");
  app.add_option("--seconds", seconds, "stop after S seconds")->type_name("S");
  app.add_option("--command", command,
                 "send TEXT with the first acknowledgement: \"0\" + TEXT, for example\n"
                 "--command 16:1234:XYZ")
      ->type_name("TEXT");
  app.add_flag("--never-ack", neverAck, "never answer event lines");
  app.add_flag("--empty-ack", emptyAck, "answer event lines with an empty line");
  app.add_flag("--quiet", quiet, "print only the summary");
  app.add_option("CHANNEL", channel, "the channel's name")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  orv::LineSocket s;
  if (int err = s.connect(host, static_cast<uint16_t>(port), 5000)) {
    std::fprintf(stderr, "orv-outcat: cannot connect to %s:%d: %s\n", host.c_str(), port,
                 orv::describeSocketError(err).c_str());
    return 1;
  }
  std::string line;
  if (s.receiveLine(line, orv::LineEnd::CrLf, 5000) != 0 || line != "IP-Server V0.0") {
    std::fprintf(stderr, "orv-outcat: no banner (got '%s')\n", line.c_str());
    return 1;
  }
  s.send(channel + "\r\n");

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto first = Clock::time_point{}, last = Clock::time_point{};
  long events = 0, heartbeats = 0, syncs = 0;
  int status = 0;
  for (;;) {
    if (count >= 0 && events >= count) break;
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds >= 0 && elapsed >= seconds) break;
    int wait = seconds >= 0 ? std::max(1, static_cast<int>((seconds - elapsed) * 1000)) : 60000;
    int err = s.receiveLine(line, orv::LineEnd::CrLf, std::min(wait, 60000));
    if (err == orv::kWsaTimedOut) continue;
    if (err != 0) {
      std::fprintf(stderr, "orv-outcat: connection ended: %s\n",
                   orv::describeSocketError(err).c_str());
      status = 1;
      break;
    }
    if (!quiet) std::printf("%s %s\n", orv::logTimeStamp().c_str(), line.c_str());
    if (line == "@") {
      ++heartbeats;
      s.send("0\r\n");
    } else if (line.rfind("systime", 0) == 0) {
      ++syncs;
      s.send("0\r\n");
    } else if (line.rfind("1011      0000 T  51", 0) == 0) {
      std::fprintf(stderr, "orv-outcat: the server has no channel '%s'\n", channel.c_str());
      status = 1;
      break;
    } else if (line.rfind("1011      0000 R  51", 0) == 0) {
      s.send("0\r\n");
    } else {
      last = Clock::now();
      if (events++ == 0) first = last;
      if (neverAck) continue;
      if (emptyAck) {
        s.send("\r\n");
      } else if (!command.empty()) {
        s.send("0" + command + "\r\n");
        command.clear();
      } else {
        s.send("0\r\n");
      }
    }
    std::fflush(stdout);
  }
  double span = events > 1 ? std::chrono::duration<double>(last - first).count() : 0;
  std::printf("lines %ld heartbeats %ld syncs %ld lines-per-second %.0f\n", events, heartbeats,
              syncs, span > 0 ? static_cast<double>(events - 1) / span : 0.0);
  return status;
}
