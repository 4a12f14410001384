// SIA DC-09 frames in both framings, joined across reads and CRs as the receiver joins them, then
// read, parsed, opened (a key for every account), converted and answered; and encrypted events,
// which must give the line of their unencrypted twins.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "common/event_connections.h"
#include "common/line_socket.h"
#include "server/inputs/sia_crypto.h"
#include "server/inputs/sia_frame.h"
#include "server/inputs/sia_receive.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

constexpr time_t kNow = 1700000000;
const char kKeyHex[] = "000102030405060708090A0B0C0D0E0F";

const SiaReceiver& receiver() {
  static const SiaReceiver r(1, SiaKeys::fromText(std::string("[Keys]\n*=") + kKeyHex, "fuzz"), {});
  return r;
}

// The receiver's verdict: an answer that reads back in the frame's framing, a line without
// control bytes.
SiaVerdict judged(const SiaFrame& f) {
  SiaVerdict v = receiver().judge(f, kNow);
  if (v.line) {
    for (unsigned char c : *v.line) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
  }
  if (!v.answer.empty() && v.answer.size() < 0xFFF) {
    std::string_view a(v.answer);
    FUZZ_CHECK(a.back() == '\r');
    std::optional<SiaFrame> back = readSiaFrame(a.substr(0, a.size() - 1));
    FUZZ_CHECK(back && back->crcOk && back->framing == f.framing);
  }
  return v;
}

// What the receiver does with a frame once it is whole.
void handleFrame(std::string_view frame) {
  std::optional<SiaFrame> f = readJoinedSiaFrame(frame);
  if (!f) return;
  FUZZ_CHECK(f->message.size() <= frame.size());
  if (f->crcOk) judged(*f);
  std::optional<SiaMessage> msg = parseSiaMessage(f->message);
  if (!msg) return;
  FUZZ_CHECK(!msg->data.empty() && msg->data[0] == '#' && msg->data.size() <= kMaxSiaData);
  std::optional<std::string> line = convertSiaMessage(*msg);
  if (line) FUZZ_CHECK(line->size() >= 4);
  std::string answer = siaAnswer(line ? "ACK" : "DUH", msg->header, f->framing);
  FUZZ_CHECK(answer.back() == '\r');
  answer.pop_back();
  const std::string expected = (line ? "\"ACK\"" : "\"DUH\"") + msg->header + "[]";
  if (expected.size() <= 0xFFF) {
    // The transmitter must read our answer in the framing it used.
    std::optional<SiaFrame> back = readSiaFrame(answer);
    FUZZ_CHECK(back && back->crcOk && back->framing == f->framing && back->message == expected);
  }
}

// The bytes as a received stream: cut into reads, split at CR, joined, with ticks in between.
void stream(FuzzedDataProvider& in) {
  SiaFrameJoiner joiner(LineSocket::kMaxLine);
  std::string unread;
  uint32_t now = 0;
  while (in.remaining_bytes() > 0) {
    const std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 300));
    unread += chunk;
    bool closed = false;
    const size_t used = forEachLine(unread, chunk.size(), "\r", [&](std::string_view piece) {
      if (closed) return;
      switch (joiner.take(piece, now)) {
        case SiaFrameJoiner::Result::Waiting:
          FUZZ_CHECK(joiner.joining());
          break;
        case SiaFrameJoiner::Result::TooLong:
          closed = true;
          break;
        case SiaFrameJoiner::Result::Frame:
          FUZZ_CHECK(joiner.frame().size() <= LineSocket::kMaxLine);
          handleFrame(joiner.frame());
          break;
      }
    });
    if (closed) return;
    unread.erase(0, used);
    if (unread.size() > LineSocket::kMaxLine + 1) return;  // the server's input limit
    now += in.ConsumeIntegralInRange<uint32_t>(0, 1500);
    joiner.tick(now);
  }
}

// Well-formed frames in either framing, sent back to back in reads of any size: every message
// must come out whole and in order, whatever its raw CRC bytes are.
void frames(FuzzedDataProvider& in) {
  std::vector<std::string> sent;
  std::string wire;
  static const char* const kIds[] = {"ADM-CID", "ADM-42E", "SIA-DCS", "NULL", "*SIA-DCS", "X"};
  while (in.remaining_bytes() > 0 && sent.size() < 20) {
    std::string header = in.ConsumeRandomLengthString(40);
    std::string data = in.ConsumeRandomLengthString(80);
    std::string m = "\"" + std::string(kIds[in.ConsumeIntegralInRange<size_t>(0, 5)]) + "\"" +
                    header + "[" + data + "]";
    // A CR inside a message is the end of a frame on this link.
    std::erase(m, '\r');
    const SiaFraming framing = in.ConsumeBool() ? SiaFraming::Raw : SiaFraming::Standard;
    wire += siaFrame(m, framing);
    sent.push_back(std::move(m));
  }
  SiaFrameJoiner joiner(LineSocket::kMaxLine);
  std::vector<std::string> got;
  std::string unread;
  size_t at = 0;
  size_t step = 1;
  while (at < wire.size()) {
    step = step * 7 % 97 + 1;  // varied read sizes, from 1 byte up
    const std::string_view chunk = std::string_view(wire).substr(at, step);
    at += chunk.size();
    unread += chunk;
    const size_t used = forEachLine(unread, chunk.size(), "\r", [&](std::string_view piece) {
      if (joiner.take(piece, 0) != SiaFrameJoiner::Result::Frame) return;
      std::optional<SiaFrame> f = readJoinedSiaFrame(joiner.frame());
      FUZZ_CHECK(f && f->crcOk);
      got.push_back(f->message);
      handleFrame(joiner.frame());
    });
    unread.erase(0, used);
  }
  FUZZ_CHECK(unread.empty());
  FUZZ_CHECK(got == sent);
}

// An event encrypted as a transmitter would: its line is the line of the same event unencrypted.
void sealed(FuzzedDataProvider& in) {
  static const char* const kIds[] = {"ADM-CID", "ADM-42E", "SIA-DCS", "NULL", "X"};
  const std::string id = kIds[in.ConsumeIntegralInRange<size_t>(0, 4)];
  std::string header = in.ConsumeRandomLengthString(30);
  std::erase_if(header, [](char c) { return c == '"' || c == '[' || c == ']'; });
  const std::string data = in.ConsumeRandomLengthString(300);
  const std::string tail = "|" + data + "]" + siaTimeStamp(kNow);
  const SiaKey key = *SiaKey::fromHex(kKeyHex);
  const SiaFraming framing = in.ConsumeBool() ? SiaFraming::Raw : SiaFraming::Standard;
  const SiaVerdict plain =
      judged({framing, "\"" + id + "\"" + header + "[" + data + "]" + siaTimeStamp(kNow), true});
  const SiaVerdict opened = judged(
      {framing, "\"*" + id + "\"" + header + "[" + siaEncrypt(siaPadFor(tail.size()) + tail, key),
       true});
  FUZZ_CHECK(opened.line == plain.line);
  FUZZ_CHECK(opened.answer.find(plain.line ? "\"*ACK\"" : "\"DUH\"") != std::string::npos);
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzedDataProvider in(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      orv::handleFrame(orv::fuzz::bytesOf(data + 1, size - 1));
      break;
    case 1:
      orv::stream(in);
      break;
    case 2:
      orv::frames(in);
      break;
    default:
      orv::sealed(in);
      break;
  }
  return 0;
}
