#include "common/hex_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

namespace orv {
namespace {

std::vector<uint8_t> bytes(uint8_t first, size_t count) {
  std::vector<uint8_t> out(count);
  std::iota(out.begin(), out.end(), first);
  return out;
}

// Count 0x10, address 00 10, type 00, data 00..0F: the sum is 0x10 + 0x10 + 0x78 = 0x98, and
// the checksum its two's complement, 0x100 - 0x98 = 0x68.
constexpr const char* kRecord = ":10001000000102030405060708090A0B0C0D0E0F68";

TEST(HexEncode, WritesUpperCaseWithTheTwosComplementChecksum) {
  EXPECT_EQ(encodeHexRecord(0x0010, bytes(0, 16)), kRecord);
  // 0x01 + 0xAB + 0xCD + 0xFE = 0x277; 0x100 - 0x77 = 0x89.
  EXPECT_EQ(encodeHexRecord(0xABCD, std::vector<uint8_t>{0xFE}), ":01ABCD00FE89");
  EXPECT_EQ(encodeHexRecord(0, {}), ":0000000000");
}

TEST(HexEncode, CutsTheDataAt255Bytes) {
  auto rec = decodeHexRecord(encodeHexRecord(0x1234, std::vector<uint8_t>(300, 0xFF)));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->data.size(), 255u);
  EXPECT_TRUE(rec->checksumOk);
}

TEST(HexDecode, RoundTripsEveryByteValue) {
  for (unsigned first = 0; first < 256; first += 32) {
    std::vector<uint8_t> data = bytes(static_cast<uint8_t>(first), 32);
    const uint16_t address = static_cast<uint16_t>(0xFF00 + first);
    auto rec = decodeHexRecord(encodeHexRecord(address, data));
    ASSERT_TRUE(rec) << first;
    EXPECT_EQ(rec->type, kHexDataType);
    EXPECT_EQ(rec->address, address);
    EXPECT_EQ(rec->data, data);
    EXPECT_TRUE(rec->checksumOk);
  }
}

TEST(HexDecode, AcceptsLowerCaseAndSurroundingWhiteSpace) {
  auto rec = decodeHexRecord(" \t:10001000000102030405060708090a0b0c0d0e0f68\r\n");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->address, 0x0010);
  EXPECT_EQ(rec->data, bytes(0, 16));
  EXPECT_TRUE(rec->checksumOk);
}

TEST(HexDecode, EndRecordIsTypeOneWithoutData) {
  auto rec = decodeHexRecord(kHexEndRecord);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->type, 1);
  EXPECT_EQ(rec->address, 0);
  EXPECT_TRUE(rec->data.empty());
  EXPECT_TRUE(rec->checksumOk);
}

TEST(HexDecode, ReportsABadChecksumWithoutRejectingTheRecord) {
  for (const char* line : {":10001000000102030405060708090A0B0C0D0E0F69",  // off by one
                           ":10001000000102030405060708090A0B0C0D0E0F",    // missing
                           ":10001000000102030405060708090A0B0C0D0E0F6800"}) {
    auto rec = decodeHexRecord(line);
    ASSERT_TRUE(rec) << line;
    EXPECT_EQ(rec->data, bytes(0, 16)) << line;
    EXPECT_FALSE(rec->checksumOk) << line;
  }
}

class HexDecodeFails : public testing::TestWithParam<const char*> {};

TEST_P(HexDecodeFails, On) {
  EXPECT_EQ(decodeHexRecord(GetParam()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    BadRecords, HexDecodeFails,
    testing::Values("", ":", "10001000000102030405060708090A0B0C0D0E0F68",  // no ":"
                    ";00000001FF", ":0000000", ":0G00000000", ":000000X1FF",
                    ":10001000000102030405060708090A0B0C0D0E0Z68",  // non-hex data
                    ":05001000AABB",                                // count larger than data
                    ":FF00000000", ":10001000 00102030405060708090A0B0C0D0E0F68"));

// The program text image of a module covers 5000..16955.
class HexStore : public testing::Test {
 protected:
  static constexpr uint32_t kBase = 5000;
  std::vector<uint8_t> image = std::vector<uint8_t>(16956 - kBase, 0xEE);

  size_t store(uint16_t address, uint8_t type = kHexDataType, size_t count = 16) {
    HexRecord rec{type, address, bytes(1, count), true};
    return storeHexRecord(rec, image, kBase);
  }
  size_t untouched() const {
    return static_cast<size_t>(std::count(image.begin(), image.end(), 0xEE));
  }
};

TEST_F(HexStore, DataRecordInsideTheImageIsStoredWhole) {
  EXPECT_EQ(store(6000), 16u);
  EXPECT_EQ(image[6000 - kBase], 1);
  EXPECT_EQ(image[6015 - kBase], 16);
  EXPECT_EQ(untouched(), image.size() - 16);
}

TEST_F(HexStore, OtherRecordTypesStoreNothing) {
  EXPECT_EQ(store(6000, 0x01), 0u);
  EXPECT_EQ(store(6000, 0x04), 0u);
  EXPECT_EQ(untouched(), image.size());
}

TEST_F(HexStore, RecordsAcrossTheEdgesStoreOnlyTheBytesInside) {
  EXPECT_EQ(store(4990), 6u);  // 5000..5005 take data bytes 11..16
  EXPECT_EQ(image[0], 11);
  EXPECT_EQ(image[5], 16);
  EXPECT_EQ(store(16950), 6u);  // 16950..16955 take data bytes 1..6
  EXPECT_EQ(image[16950 - kBase], 1);
  EXPECT_EQ(image.back(), 6);
  EXPECT_EQ(store(100), 0u);
  EXPECT_EQ(store(20000), 0u);
  EXPECT_EQ(untouched(), image.size() - 12);
}

TEST(HexStoreTop, AddressesPastFFFFDoNotWrapToTheStartOfTheImage) {
  std::vector<uint8_t> image(0x10000, 0);
  HexRecord rec{kHexDataType, 0xFFF8, std::vector<uint8_t>(16, 0xAA), true};
  EXPECT_EQ(storeHexRecord(rec, image), 8u);
  EXPECT_EQ(image[0xFFFF], 0xAA);
  EXPECT_EQ(std::count(image.begin(), image.begin() + 16, 0xAA), 0);
}

TEST(HexHelpers, ParseHexTakesOneToEightDigits) {
  EXPECT_EQ(parseHex("0"), 0u);
  EXPECT_EQ(parseHex("fFfFfFfF"), 0xFFFFFFFFu);
  EXPECT_EQ(parseHex("1A2b"), 0x1A2Bu);
  EXPECT_EQ(parseHex(""), std::nullopt);
  EXPECT_EQ(parseHex("123456789"), std::nullopt);
  EXPECT_EQ(parseHex("12 3"), std::nullopt);
  EXPECT_EQ(parseHex("-1"), std::nullopt);
}

}  // namespace
}  // namespace orv
