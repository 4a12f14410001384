// What a GSM receiver device's messages become, and the records of its configuration transfers.

#include "server/inputs/device_text.h"

#include <gtest/gtest.h>

#include "common/hex_record.h"

namespace orv {
namespace {

TEST(DeviceText, OutputLinesGetTheLineDigitAndTheReplacementAccountForAccountZero) {
  DeviceOutput event = deviceOutputLine("5011 181234E13001015", 2, 0xFFFF);
  EXPECT_EQ(event.line, "5012 181234E13001015");
  EXPECT_FALSE(event.account) << "only lines beginning with 1 carry an account";

  DeviceOutput zero = deviceOutputLine("1011      0000 A  21", 1, 0xFFFF);
  EXPECT_EQ(zero.line, "1011      FFFF A  21");
  ASSERT_TRUE(zero.account);
  EXPECT_EQ(*zero.account, 0u) << "filters see the account the device sent";

  DeviceOutput own = deviceOutputLine("1011      12AB A  21", 1, 0xFFFF);
  EXPECT_EQ(own.line, "1011      12AB A  21");
  EXPECT_EQ(own.account, 0x12ABu);

  // Line 26 has digit A; a replacement account is written with four upper-case digits.
  EXPECT_EQ(deviceOutputLine("1011      0000 A  21", 26, 0x2b).line, "101A      002B A  21");
  EXPECT_FALSE(deviceOutputLine("1011      ZZZZ A  21", 1, 0xFFFF).account);
}

TEST(DeviceText, StatusLinesForSilenceAndReturn) {
  EXPECT_EQ(deviceStatusLine(3, false), "1013      0000 A  05");
  EXPECT_EQ(deviceStatusLine(3, true), "1013      0000 R  06");
  // Through the output rule the default replacement account shows.
  EXPECT_EQ(deviceOutputLine(deviceStatusLine(0xC, false), 0xC, 0xFFFF).line,
            "101C      FFFF A  05");
}

TEST(DeviceText, CallerNumberIsCutBeforeThePadding) {
  EXPECT_EQ(deviceCallerNumber("U12345678+37061234567FFFFFF"), "+37061234567");
  EXPECT_EQ(deviceCallerNumber("U1234567861234567"), "61234567");
  EXPECT_EQ(deviceCallerNumber("U1234567"), "");
}

TEST(DeviceText, TemplatePicksAccountAndEventCharacters) {
  const std::string compiled = compileDeviceTemplate("5#1s$#2#3X");
  EXPECT_EQ(compiled, std::string("5\x01s\xFF\x02\x03X", 7));
  //                     1234567890123456789012345
  const std::string msg = "1011      12AB E130 01 015";
  // Character 16 is 'E', 17 '1', 18 '3'; characters 21 on are appended at the end.
  EXPECT_EQ(convertDeviceMessage(msg, compiled), "5E 12AB13X01 015");
  // Past the end of a short message a character becomes a space.
  EXPECT_EQ(convertDeviceMessage("1011      12AB E", compileDeviceTemplate("#1#9")), "E ");
  // "#" at the very end is dropped; "#" before a non-digit keeps that character.
  EXPECT_EQ(compileDeviceTemplate("a#"), "a");
  EXPECT_EQ(compileDeviceTemplate("#x"), "x");
}

TEST(DeviceText, DownloadRecordsStoreOnlyWithinTheTransferRange) {
  DeviceImage image;
  image.fill(0xFF);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  DownloadRecord r = storeDownloadRecord(encodeHexRecord(0x0010, bytes), image);
  EXPECT_TRUE(r.counts && r.stored && !r.damaged);
  EXPECT_EQ(image[0x10], 1);
  EXPECT_EQ(image[0x13], 4);

  // A record that reaches past the transfer range stores only what lies in it: up to 0x1FEF,
  // the last byte an upload sends.
  const uint8_t tail[4] = {9, 9, 9, 9};
  storeDownloadRecord(encodeHexRecord(0x1FED, tail), image);
  EXPECT_EQ(image[0x1FED], 9);
  EXPECT_EQ(image[0x1FEF], 9);
  EXPECT_EQ(image[0x1FF0], 0xFF);
  // An address past the image stores nothing, and nothing is written outside it.
  storeDownloadRecord(encodeHexRecord(0xFFF0, tail), image);
  EXPECT_EQ(image[kDeviceImageSize - 1], 0xFF);

  // Damaged records count (the device sent them) but store nothing.
  DeviceImage before = image;
  for (std::string bad : {std::string(":0400200001020"),           // cut short
                          std::string(":04002000010G0304F0"),      // bad digit
                          std::string(":FF002000010203")}) {       // length past the text
    DownloadRecord d = storeDownloadRecord(bad, image);
    EXPECT_TRUE(d.counts) << bad;
    EXPECT_TRUE(d.damaged) << bad;
  }
  EXPECT_EQ(image, before);
  EXPECT_FALSE(storeDownloadRecord("garbage", image).counts);
  // Another record type counts and stores nothing.
  DownloadRecord end = storeDownloadRecord(std::string(kHexEndRecord), image);
  EXPECT_TRUE(end.counts);
  EXPECT_FALSE(end.stored);
}

TEST(DeviceText, DownloadCountNeedsANumber) {
  EXPECT_EQ(downloadCount("C/12"), 12u);
  EXPECT_EQ(downloadCount("C/0"), 0u);
  EXPECT_FALSE(downloadCount("C/"));
  EXPECT_FALSE(downloadCount("C/x1"));
  EXPECT_FALSE(downloadCount("#4C/1"));
}

TEST(DeviceText, UploadLeavesOutBlankBlocksAndStopsBelowTheTransferEnd) {
  DeviceImage image;
  image.fill(0xFF);
  EXPECT_TRUE(uploadRecords(image).empty());
  image.fill(0x00);
  EXPECT_TRUE(uploadRecords(image).empty());

  image.fill(0xFF);
  image[0x0021] = 0x5A;
  image[0x1FE5] = 0x01;
  image[0x2000] = 0x01;  // beyond the transfer range: never sent
  std::vector<std::string> records = uploadRecords(image);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].starts_with(":10002000FF5A"));
  EXPECT_TRUE(records[1].starts_with(":101FE000"));
  std::optional<HexRecord> r = decodeHexRecord(records[0]);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->checksumOk);
}

}  // namespace
}  // namespace orv
