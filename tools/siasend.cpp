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

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/printable.h"
#include "tools/stop_and_wait.h"

namespace {

using orv::tool::printable;

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

// What the answers said; the driver counts what did not come.
struct Counts {
  long ack = 0, nak = 0, duh = 0, other = 0;
  long crcMismatch = 0, seqMismatch = 0, framingMismatch = 0, malformed = 0, unexpected = 0;

  long errors() const {
    return crcMismatch + seqMismatch + framingMismatch + malformed + unexpected;
  }
};

int reported = 0;

// The first problems are described on stderr; the counts tell the rest.
void problem(const char* format, ...) {
  if (reported++ >= 20) return;
  va_list args;
  va_start(args, format);
  std::fputs("orv-siasend: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// --- answers -------------------------------------------------------------------------------

// The length of the answer frame at the front of `received`, bytes before its LF included: 0
// while too little has arrived to know, npos when the bytes are neither framing. The raw
// framing's CRC bytes may be a CR themselves, so the frame is measured by its length field
// rather than cut at the first CR.
size_t answerLength(std::string_view received) {
  const size_t lf = received.find('\n');
  if (lf == std::string_view::npos) return 0;
  const std::string_view f = received.substr(lf);
  if (f.size() < 8) return 0;
  size_t total;
  if (f[7] == '"') {
    std::optional<unsigned> len = hexValue(f.substr(4, 3));
    if (!len) return std::string_view::npos;
    total = 7 + *len + 1;
  } else {
    if (f.size() < 10) return 0;
    std::optional<unsigned> len = f[9] == '"' ? hexValue(f.substr(5, 4)) : std::nullopt;
    if (!len) return std::string_view::npos;
    total = 9 + *len + 1;
  }
  if (f.size() < total) return 0;
  return f[total - 1] == '\r' ? lf + total : std::string_view::npos;
}

// Checks one answer against the frame it answers and counts it.
void judge(const Options& o, const Outgoing& out, std::string_view answer, Counts& c) {
  std::string_view a = answer.substr(answer.find('\n'));
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
  if (o.print) std::printf("%s\n", printable(a).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "orv-siasend: a SIA DC-09 transmitter for tests and benchmarks.\n"
      "Exit code 0 when every frame got a well-formed answer echoing its header (and, with\n"
      "--expect, the expected word); frames sent with --bad-crc must get no answer instead."};
  app.add_option("--host", o.host, "receiver address")->type_name("H")->capture_default_str();
  app.add_option("--port", o.port, "receiver port")
      ->type_name("P")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--id", o.id, "message ID: ADM-CID, SIA-DCS, NULL, ADM-42E or any")
      ->type_name("ID")
      ->capture_default_str();
  std::string framing = "raw";
  app.add_option("--framing", framing,
                 "raw (CRC as two bytes) or standard (CRC as four hex digits)")
      ->type_name("F")
      ->check(CLI::IsMember({"raw", "standard"}))
      ->capture_default_str();
  app.add_option("--receiver", o.receiver, "receiver number in the header")
      ->type_name("R")
      ->capture_default_str();
  app.add_option("--line", o.linePrefix, "line prefix in the header")
      ->type_name("L")
      ->capture_default_str();
  app.add_option("--account", o.account, "account")->type_name("A")->capture_default_str();
  app.add_option("--seq", o.firstSequence, "first sequence number, 1-9999")
      ->type_name("N")
      ->capture_default_str();
  std::string data;
  auto* dataOption =
      app.add_option("--data", data, "the data block between [ and ] (by default built for the ID)")
          ->type_name("TEXT");
  app.add_flag("--timestamp", o.timestamp, "append _HH:MM:SS,MM-DD-YYYY (UTC)");
  auto* offsetOption =
      app.add_option("--timestamp-offset", o.timestampOffset, "shift that time stamp by S seconds")
          ->type_name("S")
          ->capture_default_str();
  app.add_flag("--bad-crc", o.badCrc, "send a wrong CRC; no answer is then the expected result");
  app.add_option("--frames", o.frames, "frames in total")->type_name("N")->capture_default_str();
  app.add_option("--connections", o.connections, "parallel senders, each on its own connection")
      ->type_name("N")
      ->capture_default_str();
  app.add_flag("--per-frame", o.perFrame, "a new connection for every frame");
  app.add_option("--rate", o.rate,
                 "frames per second in total; 0 = each sender as fast as answers come")
      ->type_name("R")
      ->capture_default_str();
  app.add_option("--timeout", o.timeoutMs, "how long to wait for an answer")
      ->type_name("MS")
      ->capture_default_str();
  app.add_option("--expect", o.expect, "count answers with another word (ACK, NAK, DUH) as errors")
      ->type_name("WORD");
  app.add_flag("--print", o.print, "print every answer message");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  o.framing = framing == "standard" ? Framing::Standard : Framing::Raw;
  if (*dataOption) o.data = data;
  if (*offsetOption) o.timestamp = true;
  o.firstSequence = std::clamp(o.firstSequence, 1, 9999);
  o.frames = std::max(0L, o.frames);
  o.connections = std::max(1, o.connections);
  o.rate = std::max(0.0, o.rate);
  o.timeoutMs = std::max(1, o.timeoutMs);

  Counts counts;
  orv::tool::DriveOptions drive;
  drive.host = o.host;
  drive.port = o.port;
  drive.connections = o.connections;
  drive.messages = o.frames;
  drive.rate = o.rate;
  drive.perMessage = o.perFrame;
  drive.timeoutMs = o.timeoutMs;
  orv::tool::Exchange exchange;
  exchange.message = [&](long i) { return build(o, i).frame; };
  exchange.reply = [&](long) {
    return o.badCrc ? orv::tool::Reply::Silence : orv::tool::Reply::Answer;
  };
  exchange.answerLength = answerLength;
  exchange.judge = [&](long i, std::string_view answer) { judge(o, build(o, i), answer, counts); };
  exchange.problem = [](const std::string& what) { problem("%s", what.c_str()); };
  const orv::tool::DriveResult r = orv::tool::drive(drive, exchange);

  const long errors = r.errors() + counts.errors();
  std::printf(
      "frames %ld sent %ld ack %ld nak %ld duh %ld other %ld none %ld expected-none %ld "
      "answered-bad-crc %ld crc-mismatch %ld seq-mismatch %ld framing-mismatch %ld malformed %ld "
      "unexpected %ld connect-errors %ld send-errors %ld errors %ld seconds %.3f "
      "frames-per-second %.0f\n",
      o.frames, r.sent, counts.ack, counts.nak, counts.duh, counts.other, r.none, r.silent,
      r.answeredSilent, counts.crcMismatch, counts.seqMismatch, counts.framingMismatch,
      counts.malformed + r.malformed, counts.unexpected, r.connectErrors, r.sendErrors, errors,
      r.seconds, r.seconds > 0 ? static_cast<double>(r.sent) / r.seconds : 0.0);
  std::printf("answer-latency-us p50 %.0f p99 %.0f max %.0f\n", r.percentile(0.5),
              r.percentile(0.99), r.latencyUs.empty() ? 0.0 : r.latencyUs.back());
  return errors == 0 && r.sent == o.frames ? 0 : 1;
}
