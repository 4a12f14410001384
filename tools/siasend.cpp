// orv-siasend: a SIA DC-09 transmitter for tests and benchmarks.
//
// Builds numbered frames (ADM-CID, SIA-DCS, NULL, ADM-42E or any other ID) in the raw or the
// standard framing, plain or AES-encrypted, sends them over TCP (persistent connections or one
// connection per frame) or as UDP datagrams, reads every answer, checks its CRC, that it echoes
// the header of the frame it answers and that an encrypted answer decrypts, and prints the answer
// counts and latency. The framing, the CRC and the encryption are written here on their own, not
// taken from the server, so that the tool checks the receiver rather than agreeing with it.
//
// Exit code 0 when every frame got a well-formed answer echoing its header (and, with --expect,
// the expected word); frames sent with --bad-crc must get no answer instead.

#include <openssl/evp.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/printable.h"
#include "tools/stop_and_wait.h"

namespace {

using orv::tool::printable;

using Clock = std::chrono::steady_clock;

enum class Framing { Raw, Standard };

using Key = std::vector<unsigned char>;

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
  std::optional<Key> key;  // encrypt every frame
  bool udp = false;
  int repeat = 1;
  int resends = 0;
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

std::string hexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

std::optional<std::string> bytesOf(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    std::optional<unsigned> v = hexValue(hex.substr(i, 2));
    if (!v) return std::nullopt;
    out.push_back(static_cast<char>(*v));
  }
  return out;
}

// --- encryption ------------------------------------------------------------------------------

std::optional<Key> keyOf(std::string_view hex) {
  if (hex.size() != 32 && hex.size() != 48 && hex.size() != 64) return std::nullopt;
  std::optional<std::string> bytes = bytesOf(hex);
  if (!bytes) return std::nullopt;
  return Key(bytes->begin(), bytes->end());
}

// AES-CBC with a zero IV and no padding of its own: DC-09 pads the text to whole blocks itself.
// Empty when the text is not whole blocks.
std::optional<std::string> aesCbc(const Key& key, std::string_view in, bool encrypt) {
  if (in.size() % 16 != 0) return std::nullopt;
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                                                : EVP_aes_256_cbc();
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const unsigned char iv[16] = {};
  std::string out(in.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int n = 0;
  int last = 0;
  if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), o + n, &last) != 1)
    return std::nullopt;
  out.resize(static_cast<size_t>(n + last));
  return out;
}

// Random printable bytes, never one of the three that delimit the plain text.
std::string padOf(size_t length) {
  static std::mt19937 random{std::random_device{}()};
  std::string pad;
  while (pad.size() < length) {
    const char c = static_cast<char>(0x20 + random() % 95);
    if (c != '|' && c != '[' && c != ']') pad.push_back(c);
  }
  return pad;
}

bool isTimeStamp(std::string_view text) {
  static constexpr std::string_view kShape = "_99:99:99,99-99-9999";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '9' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
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

std::string headerOf(const Options& o, long index) {
  const int seq = 1 + static_cast<int>((o.firstSequence - 1 + index) % 9999);
  char number[8];
  std::snprintf(number, sizeof number, "%04d", seq);
  return number + ("R" + o.receiver) + "L" + o.linePrefix + "#" + o.account;
}

// Built afresh for every send: an encrypted repeat gets a new pad and time stamp.
std::string build(const Options& o, long index) {
  const std::string header = headerOf(o, index);
  const std::string data = o.data.value_or(defaultData(o));
  std::string message;
  if (o.key) {
    const std::string tail = "|" + data + "]" + timeStamp(o.timestampOffset);
    std::optional<std::string> sealed = aesCbc(*o.key, padOf(16 - tail.size() % 16) + tail, true);
    if (!sealed) throw std::runtime_error("AES encryption failed");
    message = "\"*" + o.id + "\"" + header + "[" + hexOf(*sealed);
  } else {
    message = "\"" + o.id + "\"" + header + "[" + data + "]";
    if (o.timestamp) message += timeStamp(o.timestampOffset);
  }
  return frameOf(message, o.framing, o.badCrc);
}

// --- results ---------------------------------------------------------------------------------

// What the answers said; the driver counts what did not come.
struct Counts {
  long ack = 0, nak = 0, duh = 0, other = 0;
  long crcMismatch = 0, seqMismatch = 0, framingMismatch = 0, malformed = 0, unexpected = 0;
  long badEncrypted = 0;

  long errors() const {
    return crcMismatch + seqMismatch + framingMismatch + malformed + unexpected + badEncrypted;
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

// The plain text of an encrypted answer ("*ACK"header[HEX), when it decrypts with our key to
// pad, "|" (which some receivers leave out), "]" and a time stamp.
std::optional<std::string> openAnswer(const Options& o, std::string_view hex) {
  std::optional<std::string> sealed = bytesOf(hex);
  std::optional<std::string> plain =
      o.key && sealed ? aesCbc(*o.key, *sealed, false) : std::nullopt;
  if (!plain || plain->size() < 21 || (*plain)[plain->size() - 21] != ']' ||
      !isTimeStamp(std::string_view(*plain).substr(plain->size() - 20)))
    return std::nullopt;
  return plain;
}

// Checks one answer against the frame it answers and counts it.
void judge(const Options& o, const std::string& sentHeader, std::string_view answer, Counts& c) {
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
  const bool encrypted = word.starts_with('*');
  const std::string_view plainWord = encrypted ? word.substr(1) : word;
  const std::string_view header = message.substr(close + 1, open - close - 1);
  const std::string_view body = message.substr(open + 1);
  std::optional<std::string> opened;
  if (encrypted) {
    opened = openAnswer(o, body);
    if (!opened) {
      ++c.badEncrypted;
      problem(o.key ? "encrypted answer that does not decrypt to pad|]time stamp: %s"
                    : "encrypted answer, and no --key to decrypt it: %s",
              printable(a).c_str());
    }
  }
  if (plainWord == "NAK" && !encrypted) {
    // A NAK does not echo the frame it refuses; it carries the receiver's time instead.
    if (body.size() != 21 || body[0] != ']' || !isTimeStamp(body.substr(1))) {
      ++c.malformed;
      problem("NAK without []_HH:MM:SS,MM-DD-YYYY: %s", printable(a).c_str());
    }
  } else if (header != sentHeader) {
    ++c.seqMismatch;
    problem("answer header %s for the frame with %s", printable(header).c_str(),
            sentHeader.c_str());
  }
  if (plainWord == "ACK")
    ++c.ack;
  else if (plainWord == "NAK")
    ++c.nak;
  else if (plainWord == "DUH")
    ++c.duh;
  else
    ++c.other;
  // "ACK" takes "*ACK" as well; "*ACK" asks for the encrypted one.
  if (!o.expect.empty() && word != o.expect && plainWord != o.expect) {
    ++c.unexpected;
    problem("answer %s where %s was expected: %s", printable(word).c_str(), o.expect.c_str(),
            printable(a).c_str());
  }
  if (o.print && opened)
    std::printf("%s = %s\n", printable(a).c_str(), printable(*opened).c_str());
  else if (o.print)
    std::printf("%s\n", printable(a).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "orv-siasend: a SIA DC-09 transmitter for tests and benchmarks.\n"
      "Exit code 0 when every frame got a well-formed answer echoing its header (and, with\n"
      "--expect, the expected word); frames sent with --bad-crc must get no answer instead."};
  std::string key;
  auto* keyOption = app.add_option("--key", key,
                                   "encrypt every frame with this AES key: 32, 48 or 64 hex digits "
                                   "(AES-128, -192 or -256)")
                        ->type_name("HEX");
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
  app.add_flag("--per-frame", o.perFrame, "a new connection (UDP: socket) for every frame");
  auto* udpOption = app.add_flag("--udp", o.udp, "send every frame as one UDP datagram");
  app.add_option("--resend", o.resends,
                 "UDP: send the same frame again up to N times when its answer does not come")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->needs(udpOption)
      ->capture_default_str();
  app.add_option("--repeat", o.repeat,
                 "send every frame N times in a row with the same sequence number")
      ->type_name("N")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
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
  if (*keyOption) {
    o.key = keyOf(key);
    if (!o.key) {
      std::fprintf(stderr,
                   "orv-siasend: --key needs 32, 48 or 64 hex digits (an AES-128, -192 or -256 "
                   "key), not \"%s\"\n",
                   printable(key).c_str());
      return 2;
    }
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
  drive.udp = o.udp;
  drive.repeat = o.repeat;
  drive.resends = o.resends;
  orv::tool::Exchange exchange;
  exchange.message = [&](long i) { return build(o, i); };
  exchange.reply = [&](long) {
    return o.badCrc ? orv::tool::Reply::Silence : orv::tool::Reply::Answer;
  };
  exchange.answerLength = answerLength;
  exchange.judge = [&](long i, std::string_view answer) {
    judge(o, headerOf(o, i), answer, counts);
  };
  exchange.problem = [](const std::string& what) { problem("%s", what.c_str()); };
  orv::tool::DriveResult r;
  try {
    r = orv::tool::drive(drive, exchange);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orv-siasend: %s\n", e.what());
    return 1;
  }

  const long errors = r.errors() + counts.errors();
  std::printf(
      "frames %ld sent %ld ack %ld nak %ld duh %ld other %ld none %ld expected-none %ld "
      "answered-bad-crc %ld crc-mismatch %ld seq-mismatch %ld framing-mismatch %ld malformed %ld "
      "unexpected %ld connect-errors %ld send-errors %ld errors %ld seconds %.3f "
      "frames-per-second %.0f bad-encrypted %ld resent %ld\n",
      o.frames, r.sent, counts.ack, counts.nak, counts.duh, counts.other, r.none, r.silent,
      r.answeredSilent, counts.crcMismatch, counts.seqMismatch, counts.framingMismatch,
      counts.malformed + r.malformed, counts.unexpected, r.connectErrors, r.sendErrors, errors,
      r.seconds, r.seconds > 0 ? static_cast<double>(r.sent) / r.seconds : 0.0, counts.badEncrypted,
      r.resent);
  std::printf("answer-latency-us p50 %.0f p99 %.0f max %.0f\n", r.percentile(0.5),
              r.percentile(0.99), r.latencyUs.empty() ? 0.0 : r.latencyUs.back());
  return errors == 0 && r.sent == o.frames * o.repeat ? 0 : 1;
}
