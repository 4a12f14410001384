#include "server/inputs/sia_frame.h"

#include <array>
#include <cstdio>

#include "common/hex_record.h"

namespace orv {
namespace {

constexpr size_t kShortestFrame = 8;

// Whether the next CR may still be one of the raw framing's CRC bytes: a text shorter than a
// frame's start, or one whose LF is followed by fewer than both CRC bytes (NUL padding in front
// of the LF makes the text long enough without being a frame).
bool crcMayFollow(const std::string& frame) {
  if (frame.size() < kShortestFrame) return true;
  const size_t lf = frame.find('\n');
  return lf != std::string::npos && frame.size() - lf < 3;
}

// Character n (counted from 1) of the data block, or a space where the block is too short.
char at(std::string_view data, size_t n) {
  return n >= 1 && n <= data.size() ? data[n - 1] : ' ';
}

}  // namespace

namespace {

constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte);
    for (int i = 0; i < 8; ++i)
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    table[byte] = crc;
  }
  return table;
}();

}  // namespace

uint16_t crc16Arc(std::string_view data) {
  uint16_t crc = 0;
  for (unsigned char c : data) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ c) & 0xFF]);
  return crc;
}

std::optional<SiaFrame> readSiaFrame(std::string_view received) {
  size_t lf = received.find('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  std::string_view f = received.substr(lf);
  SiaFrame frame;
  size_t start, length;
  uint16_t sent;
  if (f.size() > 9 && f[9] == '"' && f[7] != '"') {
    frame.framing = SiaFraming::Standard;
    std::optional<uint32_t> crc = parseHex(f.substr(1, 4));
    std::optional<uint32_t> len = parseHex(f.substr(5, 4));
    if (!crc || !len) return std::nullopt;
    sent = static_cast<uint16_t>(*crc);
    start = 9;
    length = *len;
  } else if (f.size() > 7 && f[7] == '"') {
    frame.framing = SiaFraming::Raw;
    std::optional<uint32_t> len = parseHex(f.substr(4, 3));
    if (!len) return std::nullopt;
    sent = static_cast<uint16_t>(static_cast<unsigned char>(f[1]) << 8 |
                                 static_cast<unsigned char>(f[2]));
    start = 7;
    length = *len;
  } else {
    return std::nullopt;
  }
  if (start + length > f.size()) {
    frame.message = std::string(f.substr(start));
    frame.crcOk = false;
    return frame;
  }
  frame.message = std::string(f.substr(start, length));
  frame.crcOk = crc16Arc(frame.message) == sent;
  return frame;
}

std::optional<SiaMessage> parseSiaMessage(std::string_view m) {
  if (m.empty() || m[0] != '"') return std::nullopt;
  size_t close = m.find('"', 1);
  if (close == std::string_view::npos) return std::nullopt;
  size_t open = m.find('[', close + 1);
  if (open == std::string_view::npos) return std::nullopt;
  size_t end = m.find(']', open + 1);
  SiaMessage msg;
  msg.id = std::string(m.substr(1, close - 1));
  msg.header = std::string(m.substr(close + 1, open - close - 1));
  msg.data = std::string(
      m.substr(open + 1, end == std::string_view::npos ? std::string_view::npos : end - open - 1));
  if (msg.data.empty() || msg.data[0] != '#') msg.data.insert(0, "#");
  if (msg.data.size() > kMaxSiaData) msg.data.resize(kMaxSiaData);
  return msg;
}

std::string siaFrame(std::string_view message, SiaFraming framing) {
  const uint16_t crc = crc16Arc(message);
  char head[16];
  std::string out;
  if (framing == SiaFraming::Raw) {
    out.push_back('\n');
    out.push_back(static_cast<char>(crc >> 8));
    out.push_back(static_cast<char>(crc & 0xFF));
    std::snprintf(head, sizeof head, "0%03X", static_cast<unsigned>(message.size()) & 0xFFF);
  } else {
    std::snprintf(head, sizeof head, "\n%04X0%03X", crc,
                  static_cast<unsigned>(message.size()) & 0xFFF);
  }
  out += head;
  out += message;
  out.push_back('\r');
  return out;
}

std::string siaAnswer(std::string_view word, std::string_view header, SiaFraming framing) {
  return siaFrame("\"" + std::string(word) + "\"" + std::string(header) + "[]", framing);
}

std::optional<std::string> convertSiaMessage(const SiaMessage& msg) {
  const std::string_view d = msg.data;
  const size_t bar = d.find('|') == std::string_view::npos ? 0 : d.find('|') + 1;  // 1-based
  auto afterBar = [&](size_t k) { return bar == 0 ? ' ' : at(d, bar + k); };
  if (msg.id == "ADM-CID") {
    std::string line = "500F 18AAAAQXYZGGCCC";
    for (size_t i = 0; i < 4; ++i) line[7 + i] = at(d, 2 + i);
    for (size_t i = 0; i < 4; ++i) line[11 + i] = afterBar(1 + i);
    if (line[11] == '1')
      line[11] = 'E';
    else if (line[11] == '3')
      line[11] = 'R';
    line[15] = afterBar(6);
    line[16] = afterBar(7);
    for (size_t i = 0; i < 3; ++i) line[17 + i] = afterBar(9 + i);
    return line;
  }
  if (msg.id == "ADM-42E") {
    std::string line = "100F    AAAAAA    XY";
    for (size_t i = 0; i < 6; ++i) line[8 + i] = at(d, 2 + i);
    line[18] = afterBar(1);
    line[19] = afterBar(2);
    return line;
  }
  if (msg.id == "SIA-DCS") return "S00F[" + msg.data + "]";
  if (msg.id == "NULL") return std::string("#0|  @      ");
  return std::nullopt;
}

std::optional<SiaFrame> readJoinedSiaFrame(std::string_view joined) {
  std::optional<SiaFrame> f = readSiaFrame(joined);
  // Every CR in `joined` is such a joint.
  for (size_t cr = joined.find('\r'); (!f || !f->crcOk) && cr != std::string_view::npos;
       cr = joined.find('\r', cr + 1)) {
    std::optional<SiaFrame> behind = readSiaFrame(joined.substr(cr + 1));
    if (behind && behind->crcOk) f = std::move(behind);
  }
  return f;
}

SiaFrameJoiner::Result SiaFrameJoiner::take(std::string_view piece, uint32_t now) {
  if (joining_) {
    frame_ += '\r';
    frame_ += piece;
  } else {
    frame_.assign(piece);
  }
  if (frame_.size() > maxFrame_) {
    frame_.clear();
    joining_ = false;
    return Result::TooLong;
  }
  joining_ = crcMayFollow(frame_);
  if (joining_) {
    pieceAt_ = now;
    return Result::Waiting;
  }
  return Result::Frame;
}

void SiaFrameJoiner::tick(uint32_t now) {
  if (joining_ && now - pieceAt_ >= kPieceWaitMs) joining_ = false;  // the start is dropped
}

}  // namespace orv
