#include "server/inputs/log_decoding.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/hex_record.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Record = std::array<uint8_t, kLogRecordSize>;

// 14:05:09 on 10 March 2009, packed by hand: 01110 000101 001001 01010 0011 0001001 0000000.
constexpr std::array<uint8_t, 5> kExampleTime = {0x70, 0xA4, 0xA8, 0xC4, 0x80};

Record makeRecord(uint8_t type, uint16_t account, uint32_t event, uint8_t user,
                  std::array<uint8_t, 5> time = kExampleTime) {
  Record r{type, static_cast<uint8_t>(account >> 8), static_cast<uint8_t>(account)};
  for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<uint8_t>(event >> (24 - 8 * i));
  std::copy(time.begin(), time.end(), r.begin() + 7);
  r[12] = user;
  for (size_t i = 0; i < 13; ++i) r[13] ^= r[i];
  return r;
}

void put(LogImage& image, uint32_t address, const Record& r) {
  std::copy(r.begin(), r.end(), image.begin() + (address - kLogImageBase));
}

void setHeader(LogImage& image, uint16_t writePosition, uint8_t count) {
  image[0] = static_cast<uint8_t>(writePosition >> 8);
  image[1] = static_cast<uint8_t>(writePosition);
  image[3] = count;
}

uint16_t ringAddress(size_t slot) {
  return static_cast<uint16_t>(kLogRingStart + slot * kLogRecordSize);
}

// ---- rows ------------------------------------------------------------------------------------

TEST(LogRows, TextsOfEachColumn) {
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(6, 0x1234, 0x13001015, 0))),
            (LogRow{"Contact ID", "1234", "E130015/01", "2009.03.10. 14:05:09", "Event"}));
  // A restore reads the same way with its own letter; other types show the plain word.
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(7, 0x00AB, 0x6020A00F, 0x1A))),
            (LogRow{"Contact ID", "00AB", "R60200F/0A", "2009.03.10. 14:05:09", "User 1A"}));
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(255, 1, 0x0000BEEF, 0)))[0], "MODULE");
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(255, 1, 0x0000BEEF, 0)))[2], "0000BEEF");
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(9, 1, 2, 0)))[0], "Unknown");
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(3, 1, 2, 0)))[0], "MAGELLAN");
}

TEST(LogRows, BadCheckByteOrImpossibleDateShowsOnlyADash) {
  Record damaged = makeRecord(6, 0x1234, 0x13001015, 0);
  damaged[5] ^= 0x01;  // the XOR of all bytes is now 0x01
  const TLItem bad = decodeLogRecord(damaged);
  EXPECT_EQ(bad.dateTime, -1);
  EXPECT_EQ(logRow(bad), (LogRow{"-", "", "", "", ""}));

  auto packed = [](unsigned h, unsigned mi, unsigned s, unsigned d, unsigned mo, unsigned y) {
    const uint64_t v = uint64_t{h} << 35 | uint64_t{mi} << 29 | uint64_t{s} << 23 |
                       uint64_t{d} << 18 | uint64_t{mo} << 14 | uint64_t{y} << 7;
    return std::array<uint8_t, 5>{static_cast<uint8_t>(v >> 32), static_cast<uint8_t>(v >> 24),
                                  static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                                  static_cast<uint8_t>(v)};
  };
  ASSERT_EQ(packed(14, 5, 9, 10, 3, 9), kExampleTime);
  // Day 0, month 13, hour 24, 29 February of a common year.
  for (const auto& time : {packed(12, 0, 0, 0, 3, 9), packed(12, 0, 0, 10, 13, 9),
                           packed(24, 0, 0, 10, 3, 9), packed(12, 0, 0, 29, 2, 23)}) {
    const TLItem item = decodeLogRecord(makeRecord(6, 1, 2, 0, time));
    EXPECT_EQ(item.dateTime, 0);
    EXPECT_EQ(logRow(item)[0], "-");
  }
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(6, 1, 2, 0, packed(23, 59, 59, 29, 2, 24))))[3],
            "2024.02.29. 23:59:59");
  // The unused low bits of the last byte change nothing.
  std::array<uint8_t, 5> noisy = kExampleTime;
  noisy[4] |= 0x7F;
  EXPECT_EQ(logRow(decodeLogRecord(makeRecord(6, 1, 2, 0, noisy)))[3], "2009.03.10. 14:05:09");
}

// ---- the ring --------------------------------------------------------------------------------

TEST(LogRing, CountBelowFullTakesRecordsFromTheStart) {
  LogImage image{};
  setHeader(image, 0x0420, 3);
  for (size_t i = 0; i < 5; ++i) put(image, ringAddress(i), makeRecord(6, uint16_t(i + 1), 0, 0));
  const TLList list = walkLogRing(image);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].account, 1);
  EXPECT_EQ(list[1].account, 2);
  EXPECT_EQ(list[2].account, 3);

  // 253 is still counted; an empty log has no rows.
  setHeader(image, 0, 253);
  EXPECT_EQ(walkLogRing(image).size(), 253u);
  EXPECT_TRUE(walkLogRing(LogImage{}).empty());
}

TEST(LogRing, FullRingStartsAtTheWritePositionAndWraps) {
  LogImage image{};
  for (size_t slot = 0; slot < kLogRingRecords; ++slot) {
    put(image, ringAddress(slot), makeRecord(6, uint16_t(slot), 0, 0));
  }
  ASSERT_EQ(ringAddress(kLogRingRecords - 1), kLogRingLast);
  for (uint8_t count : {254, 255}) {
    setHeader(image, 0x0412, count);
    std::vector<std::string> notes;
    const TLList list = walkLogRing(image, &notes);
    ASSERT_EQ(list.size(), 254u);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(list.front().account, 1);  // the record at 0x0412
    EXPECT_EQ(list[252].account, 253);   // the record at 0x11DA
    EXPECT_EQ(list.back().account, 0);   // the record at 0x0404
  }
  // A write position outside the ring or between records is read from the ring's start.
  for (uint16_t position : {0x0000, 0x0403, 0x11DB, 0xFFFF, 0x0405}) {
    setHeader(image, position, 254);
    std::vector<std::string> notes;
    const TLList list = walkLogRing(image, &notes);
    ASSERT_EQ(list.size(), 254u) << position;
    EXPECT_EQ(list.front().account, 0) << position;
    EXPECT_EQ(list.back().account, 253) << position;
    ASSERT_EQ(notes.size(), 1u) << position;
    EXPECT_NE(notes[0].find("write position"), std::string::npos) << notes[0];
  }
}

// ---- loading ---------------------------------------------------------------------------------

TEST(LogImageLoading, BytesOutsideAreDroppedAndARecordPastTheEndStopsReading) {
  const std::vector<uint8_t> sixteen(16, 0xAB);
  const std::string text = encodeHexRecord(0x03F8, sixteen) + "\n" +  // half before the image
                           encodeHexRecord(0x11E0, sixteen) + "\n" +  // crosses 0x11E7
                           encodeHexRecord(0x0500, sixteen) + "\n";   // after the stop: ignored
  const LogImageLoad load = loadLogImage(text);
  LogImage expected{};
  std::fill(expected.begin(), expected.begin() + 8, 0xAB);
  std::fill(expected.end() - 8, expected.end(), 0xAB);
  EXPECT_EQ(load.image, expected);

  // Records far past every bound write nothing.
  const LogImageLoad far = loadLogImage(encodeHexRecord(0xFFF8, sixteen) + "\n");
  EXPECT_EQ(far.image, LogImage{});
}

TEST(LogImageLoading, MalformedRecordsAreNamedAndSkipped) {
  const std::string text =
      "GetLog of SIM0001\r\n"                          // not a record: skipped unreported
      ":10040000ZZ0102030405060708090A0B0C0D0E0F00\n"  // not hexadecimal
      ":FF04000000010203\n"                            // count larger than the record
      ":0104000055A6\n"                                // good
      ":0104010066FF\n"                                // wrong checksum: kept
      ":020000040001F9\n:00000001FF\n";                // not data: skipped unreported
  const LogImageLoad load = loadLogImage(text);
  EXPECT_EQ(load.image[0], 0x55);
  EXPECT_EQ(load.image[1], 0x66);
  ASSERT_EQ(load.diagnostics.size(), 3u);
  EXPECT_EQ(load.diagnostics[0].rfind("line 2: ", 0), 0u) << load.diagnostics[0];
  EXPECT_EQ(load.diagnostics[1].rfind("line 3: ", 0), 0u) << load.diagnostics[1];
  EXPECT_EQ(load.diagnostics[2].rfind("line 5: ", 0), 0u) << load.diagnostics[2];

  // Ten thousand bad lines give a bounded report.
  std::string flood;
  for (int i = 0; i < 10000; ++i) flood += ":XYZ\n";
  const LogImageLoad flooded = loadLogImage(flood);
  EXPECT_LE(flooded.diagnostics.size(), 21u);
  EXPECT_NE(flooded.diagnostics.back().find("9980 more"), std::string::npos)
      << flooded.diagnostics.back();
}

TEST(LogImageLoading, FilesOverTheLimitAreRefusedUnread) {
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(loadLogImageFile(dir.write("big.hex", std::string(kMaxLogFile + 1, '\n')), error));
  EXPECT_NE(error.find("larger than"), std::string::npos) << error;
}

}  // namespace
}  // namespace orv
