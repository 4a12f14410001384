// orv-tcpdrv-send: sends receiver lines to a TcpDrv input and waits for each ACK byte.
//
// Lines come from the command line, from standard input (--stdin), or are generated with right
// checksums (--generate N). Several senders (--connections) share the lines round robin. At the
// end it prints counts and the ACK latency.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "common/line_socket.h"
#include "tools/stop_and_wait.h"

namespace {

std::string withChecksum(std::string text) {
  unsigned x = 0;
  for (char c : text) x ^= static_cast<unsigned char>(c);
  char sum[8];
  std::snprintf(sum, sizeof sum, "*%02X", x & 0xFF);
  return text + sum;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 910, connections = 1;
  long generate = 0;
  double rate = 0;
  bool fromStdin = false, waitAck = true;
  std::vector<std::string> lines;
  CLI::App app{
      "orv-tcpdrv-send: sends receiver lines to a TcpDrv input and waits for each ACK byte.\n"
      "The lines come from the command line, from standard input or are generated."};
  app.add_option("--host", host, "input address")->type_name("H")->capture_default_str();
  app.add_option("--port", port, "TcpDrv port")->type_name("P")->capture_default_str();
  app.add_option("--generate", generate, "send N generated event lines with right checksums")
      ->type_name("N");
  app.add_flag("--stdin", fromStdin, "read the lines from standard input");
  app.add_option("--rate", rate, "lines per second in total; 0 = as fast as the ACKs come")
      ->type_name("R")
      ->capture_default_str();
  app.add_option("--connections", connections, "parallel senders")
      ->type_name("C")
      ->capture_default_str();
  bool noAck = false;
  app.add_flag("--no-ack", noAck, "do not wait for ACK bytes");
  app.add_option("LINE", lines, "lines to send");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  waitAck = !noAck;
  connections = std::max(1, connections);

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
    std::fputs("orv-tcpdrv-send: no lines to send\n", stderr);
    std::fputs(app.help().c_str(), stderr);
    return 2;
  }

  long acked = 0, refused = 0, wrong = 0;
  orv::tool::DriveOptions drive;
  drive.host = host;
  drive.port = port;
  drive.connections = connections;
  drive.messages = static_cast<long>(lines.size());
  drive.rate = rate;
  orv::tool::Exchange exchange;
  exchange.message = [&](long i) { return lines[static_cast<size_t>(i)] + "\r\n"; };
  // Only lines that begin with "5" are answered, with one ACK byte.
  exchange.reply = [&](long i) {
    const std::string& l = lines[static_cast<size_t>(i)];
    return waitAck && !l.empty() && l[0] == '5' ? orv::tool::Reply::Answer : orv::tool::Reply::None;
  };
  exchange.answerLength = [](std::string_view) -> size_t { return 1; };
  exchange.judge = [&](long, std::string_view answer) {
    answer[0] == orv::kAck ? ++acked : answer[0] == orv::kNak ? ++refused : ++wrong;
  };
  exchange.problem = [](const std::string& what) {
    std::fprintf(stderr, "orv-tcpdrv-send: %s\n", what.c_str());
  };
  const orv::tool::DriveResult r = orv::tool::drive(drive, exchange);
  // A line the receiver refused (NAK, a wrong checksum) counts as an error too.
  const long errors = r.errors() + refused + wrong;
  std::printf("sent %ld acked %ld errors %ld lines-per-second %.0f refused %ld\n", r.sent, acked,
              errors, r.seconds > 0 ? static_cast<double>(r.sent) / r.seconds : 0.0, refused);
  std::printf("ack-latency-us p50 %.0f p99 %.0f max %.0f\n", r.percentile(0.5), r.percentile(0.99),
              r.latencyUs.empty() ? 0.0 : r.latencyUs.back());
  return errors == 0 ? 0 : 1;
}
