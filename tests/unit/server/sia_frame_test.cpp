#include "server/inputs/sia_frame.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

const std::string kMessage = "\"ADM-CID\"0001R0L0#1234[#1234|1130 01 015]";

TEST(SiaCrc, CheckValueAndTheExampleFrame) {
  EXPECT_EQ(crc16Arc("123456789"), 0xBB3D);
  EXPECT_EQ(crc16Arc(kMessage), 0x9D10);
  EXPECT_EQ(crc16Arc("\"ACK\"0001R0L0#1234[]"), 0xDBE7);
}

TEST(SiaFrameText, RawFramingByteForByte) {
  const std::string frame = std::string("\n\x9D\x10") + "0029" + kMessage + "\r";
  EXPECT_EQ(siaFrame(kMessage, SiaFraming::Raw), frame);
  EXPECT_EQ(siaAnswer("ACK", "0001R0L0#1234", SiaFraming::Raw),
            std::string("\n\xDB\xE7") + "0014\"ACK\"0001R0L0#1234[]\r");
}

TEST(SiaFrameText, StandardFraming) {
  EXPECT_EQ(siaFrame(kMessage, SiaFraming::Standard), "\n9D100029" + kMessage + "\r");
  EXPECT_EQ(siaAnswer("ACK", "0001R0L0#1234", SiaFraming::Standard),
            "\nDBE70014\"ACK\"0001R0L0#1234[]\r");
  EXPECT_EQ(siaAnswer("DUH", "0001R0L0#1234", SiaFraming::Standard).substr(9, 5), "\"DUH\"");
}

TEST(SiaFrameRead, BothFramingsAndTheirChecks) {
  for (SiaFraming framing : {SiaFraming::Raw, SiaFraming::Standard}) {
    std::string text = siaFrame(kMessage, framing);
    text.pop_back();  // the receive step removes the CR
    std::optional<SiaFrame> f = readSiaFrame(text);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->framing, framing);
    EXPECT_TRUE(f->crcOk);
    EXPECT_EQ(f->message, kMessage);

    std::string changed = text;
    changed[changed.size() - 3] = '6';  // one data byte
    ASSERT_TRUE(readSiaFrame(changed));
    EXPECT_FALSE(readSiaFrame(changed)->crcOk);

    // NUL bytes some transmitters send after a CR are skipped up to the LF.
    std::optional<SiaFrame> padded = readSiaFrame(std::string(3, '\0') + text);
    ASSERT_TRUE(padded);
    EXPECT_TRUE(padded->crcOk);
  }
}

TEST(SiaFrameRead, ALengthPastTheFrameFailsTheCheck) {
  std::string text = siaFrame(kMessage, SiaFraming::Raw);
  text.pop_back();
  text[6] = 'F';  // 0x02F: longer than what came
  std::optional<SiaFrame> f = readSiaFrame(text);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->crcOk);
  EXPECT_FALSE(readSiaFrame("\n"));
  EXPECT_FALSE(readSiaFrame("no frame"));
  EXPECT_FALSE(
      readSiaFrame("\n\x01\x02"
                   "0zzz\"A\"[]"));
}

// The pieces a receiver makes of a stream (it cuts at every CR), through the joiner.
std::vector<std::string> joinStream(SiaFrameJoiner& joiner, std::string_view stream) {
  std::vector<std::string> frames;
  for (size_t cr = stream.find('\r'); cr != std::string_view::npos; cr = stream.find('\r')) {
    if (joiner.take(stream.substr(0, cr), 0) == SiaFrameJoiner::Result::Frame) {
      frames.push_back(joiner.frame());
    }
    stream.remove_prefix(cr + 1);
  }
  return frames;
}

TEST(SiaFrameJoin, ACrAmongTheRawCrcBytesDoesNotCutTheFrame) {
  // Messages whose CRC has a CR as its first and as its second byte.
  std::string crHigh, crLow;
  for (int n = 0; n < 100000 && (crHigh.empty() || crLow.empty()); ++n) {
    std::string m = "\"SIA-DCS\"" + std::to_string(n) + "L0#1234[#1234|NBA01]";
    const uint16_t crc = crc16Arc(m);
    if (crc >> 8 == '\r' && crHigh.empty()) crHigh = m;
    if ((crc & 0xFF) == '\r' && crLow.empty()) crLow = m;
  }
  ASSERT_FALSE(crHigh.empty());
  ASSERT_FALSE(crLow.empty());

  SiaFrameJoiner joiner(1024);
  const std::vector<std::string> frames =
      joinStream(joiner, siaFrame(crHigh, SiaFraming::Raw) + siaFrame(crLow, SiaFraming::Raw) +
                             siaFrame(kMessage, SiaFraming::Standard));
  ASSERT_EQ(frames.size(), 3u);
  std::vector<std::string> messages;
  for (const std::string& f : frames) {
    std::optional<SiaFrame> read = readJoinedSiaFrame(f);
    ASSERT_TRUE(read && read->crcOk) << f;
    messages.push_back(read->message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{crHigh, crLow, kMessage}));
}

TEST(SiaFrameJoin, AStrayStartIsDroppedOrSkipped) {
  std::string frame = siaFrame(kMessage, SiaFraming::Standard);
  frame.pop_back();

  // A start whose next piece does not come in time is dropped.
  SiaFrameJoiner joiner(1024);
  EXPECT_EQ(joiner.take("\n", 5000), SiaFrameJoiner::Result::Waiting);
  joiner.tick(5999);
  EXPECT_TRUE(joiner.joining());
  joiner.tick(6000);
  EXPECT_FALSE(joiner.joining());
  EXPECT_EQ(joiner.take(frame, 6000), SiaFrameJoiner::Result::Frame);
  EXPECT_EQ(joiner.frame(), frame);

  // Within the wait the stray start is joined in front, and the frame behind the joint reads.
  EXPECT_EQ(joiner.take("\n", 7000), SiaFrameJoiner::Result::Waiting);
  EXPECT_EQ(joiner.take(frame, 7001), SiaFrameJoiner::Result::Frame);
  EXPECT_EQ(joiner.frame(), "\n\r" + frame);
  std::optional<SiaFrame> behind = readJoinedSiaFrame(joiner.frame());
  ASSERT_TRUE(behind && behind->crcOk);
  EXPECT_EQ(behind->message, kMessage);

  SiaFrameJoiner small(16);
  EXPECT_EQ(small.take("\n", 0), SiaFrameJoiner::Result::Waiting);
  EXPECT_EQ(small.take(std::string(15, 'x'), 0), SiaFrameJoiner::Result::TooLong);
  EXPECT_EQ(small.take(std::string(16, 'x'), 0), SiaFrameJoiner::Result::Frame);
}

TEST(SiaMessageParse, IdHeaderAndDataBlock) {
  std::optional<SiaMessage> m = parseSiaMessage(kMessage);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, "ADM-CID");
  EXPECT_EQ(m->header, "0001R0L0#1234");
  EXPECT_EQ(m->data, "#1234|1130 01 015");

  m = parseSiaMessage("\"SIA-DCS\"0002R0L0#1234[1234|NRI01BA01][XY]_12:00:00,01-01-2000");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->data, "#1234|NRI01BA01");

  m = parseSiaMessage("\"SIA-DCS\"0002[" + std::string(300, 'x') + "]");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->data.size(), kMaxSiaData);

  EXPECT_FALSE(parseSiaMessage("ADM-CID\"0001[]"));
  EXPECT_FALSE(parseSiaMessage("\"ADM-CID0001[]"));
  EXPECT_FALSE(parseSiaMessage("\"ADM-CID\"0001"));
}

std::string convert(std::string id, std::string data) {
  return convertSiaMessage(SiaMessage{std::move(id), "", std::move(data)}).value_or("<none>");
}

TEST(SiaConversion, TheFourKnownMessages) {
  EXPECT_EQ(convert("ADM-CID", "#1234|1130 01 015"), "500F 181234E13001015");
  EXPECT_EQ(convert("ADM-CID", "#1234|3130 01 015"), "500F 181234R13001015");
  EXPECT_EQ(convert("ADM-CID", "#1234|6130 01 015"), "500F 181234613001015");
  EXPECT_EQ(convert("ADM-42E", "#123456|AB"), "100F    123456    AB");
  EXPECT_EQ(convert("SIA-DCS", "#1234|NRI01BA01"), "S00F[#1234|NRI01BA01]");
  EXPECT_EQ(convert("NULL", "#"), "#0|  @      ");
  EXPECT_EQ(convert("*SIA-DCS", "#x"), "<none>");  // encrypted
  EXPECT_EQ(convert("ADM-CXX", "#x"), "<none>");
  // Short blocks fill what they can; the rest are spaces.
  EXPECT_EQ(convert("ADM-CID", "#12"), "500F 1812           ");
}

}  // namespace
}  // namespace orv
