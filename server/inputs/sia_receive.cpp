#include "server/inputs/sia_receive.h"

#include <cstdio>

#include "server/outputs/output_line.h"

namespace orv {
namespace {

// The account of a header ("0001R0L0#1234"): what follows its "#".
std::string_view accountOf(std::string_view header) {
  const size_t hash = header.rfind('#');
  return hash == std::string_view::npos ? std::string_view() : header.substr(hash + 1);
}

// The time stamp that ends a message ("...]_HH:MM:SS,MM-DD-YYYY"), or empty.
std::string_view timeStampOf(std::string_view message) {
  if (message.size() < kSiaTimeStampLength + 1) return {};
  std::string_view tail = message.substr(message.size() - kSiaTimeStampLength);
  return tail[0] == '_' ? tail : std::string_view();
}

}  // namespace

std::string siaNak(time_t now, SiaFraming framing) {
  return siaFrame("\"NAK\"0000R0L0A0[]" + siaTimeStamp(now), framing);
}

std::optional<std::string> SiaReceiver::open(std::string_view m, const SiaKey*& key,
                                             SiaVerdict& verdict) const {
  // '"' '*' id '"' header '[' hex
  const size_t close = m.find('"', 1);
  const size_t bracket = m.find('[', close + 1);
  const std::string_view id = m.substr(2, close - 2);
  const std::string_view account = accountOf(verdict.header);
  key = keys_.find(account);
  if (!key) {
    verdict.note = "DUH: no key for account " + std::string(account);
    return std::nullopt;
  }
  SiaDecryptFault fault = SiaDecryptFault::None;
  std::optional<std::string> plain = siaDecrypt(m.substr(bracket + 1), *key, &fault);
  auto refuse = [&](const char* why) -> std::optional<std::string> {
    verdict.note = "DUH: the encrypted content of account " + std::string(account) + " is " + why;
    return std::nullopt;
  };
  if (!plain) return refuse(describe(fault));
  // pad '|' data ']' ... time stamp: a wrong key gives bytes without that shape.
  const size_t bar = plain->find('|');
  if (bar == std::string::npos) return refuse("not pad, \"|\" and data (wrong key?)");
  const std::string_view rest = std::string_view(*plain).substr(bar + 1);
  const std::string_view stamp = timeStampOf(rest);
  if (stamp.empty() || rest[rest.size() - kSiaTimeStampLength - 1] != ']' ||
      !parseSiaTimeStamp(stamp)) {
    return refuse("without \"]\" and a time stamp at its end (wrong key?)");
  }
  std::string twin;
  twin.reserve(m.size());
  twin.append("\"").append(id).append("\"").append(verdict.header).append("[").append(rest);
  return twin;
}

std::string SiaReceiver::checkTime(std::string_view message, bool encrypted, SiaFraming framing,
                                   time_t now, SiaVerdict& verdict) const {
  if (!encrypted && !window_.checkPlain) return {};
  const std::string_view stamp = timeStampOf(message);
  const std::optional<time_t> at = stamp.empty() ? std::nullopt : parseSiaTimeStamp(stamp);
  if (!at) return {};  // an unencrypted frame may come without one; an encrypted one has one
  const long long behind = static_cast<long long>(now) - static_cast<long long>(*at);
  if (behind <= window_.behindS && -behind <= window_.aheadS) return {};
  char note[160];
  std::snprintf(note, sizeof note,
                "NAK: time stamp %.*s is %lld s %s the receiver's clock (allowed: %d s behind to "
                "%d s ahead)",
                static_cast<int>(stamp.size() - 1), stamp.data() + 1,
                behind >= 0 ? behind : -behind, behind >= 0 ? "behind" : "ahead of",
                window_.behindS, window_.aheadS);
  verdict.note = note;
  return siaNak(now, framing);
}

SiaVerdict SiaReceiver::judge(const SiaFrame& frame, time_t now) const {
  SiaVerdict v;
  std::optional<SiaMessage> msg = parseSiaMessage(frame.message);
  if (!msg) return v;  // not a DC-09 message: nothing to acknowledge
  v.header = msg->header;
  const bool encrypted = !msg->id.empty() && msg->id[0] == '*';
  std::string opened;
  const SiaKey* key = nullptr;
  if (encrypted) {
    std::optional<std::string> twin = open(frame.message, key, v);
    if (!twin) {
      v.answer = siaAnswer("DUH", v.header, frame.framing);
      return v;
    }
    opened = std::move(*twin);
    msg = parseSiaMessage(opened);
  }
  const std::string_view message = encrypted ? std::string_view(opened) : frame.message;
  v.answer = checkTime(message, encrypted, frame.framing, now, v);
  if (!v.answer.empty()) return v;

  std::optional<std::string> line = msg ? convertSiaMessage(*msg) : std::nullopt;
  if (!line) {
    v.answer = siaAnswer("DUH", v.header, frame.framing);  // the transmitter knows nobody took it
    return v;
  }
  // A queued line is one line of its queue file and of every client's stream: control bytes
  // from the data block (an LF, say, which a frame may carry) become spaces.
  for (char& c : *line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  setLineDigit(*line, lineDigit(line_));
  v.line = std::move(line);
  if (!encrypted) {
    v.answer = siaAnswer("ACK", v.header, frame.framing);
    return v;
  }
  // The encrypted ACK: pad, "|", an empty data block and our time stamp, under the same key.
  std::string body = "|]" + siaTimeStamp(now);
  std::string sealed = siaEncrypt(siaPadFor(body.size()) + body, *key);
  v.answer = siaFrame("\"*ACK\"" + v.header + "[" + sealed, frame.framing);
  return v;
}

}  // namespace orv
