#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "common/hex_record.h"
#include "server/programming/device_config.h"
#include "server/programming/device_dialog.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

class Operator : public OperatorQuestions {
 public:
  std::vector<std::string> messages;  // "title|text"
  bool askTimed(std::string_view, int, bool safe, std::string_view) override { return safe; }
  void showMessage(std::string_view title, std::string_view text) override {
    messages.push_back(std::string(title) + "|" + std::string(text));
  }
};

DeviceImage blank() {
  DeviceImage image;
  image.fill(0xFF);
  return image;
}

const uint8_t* record(const DeviceImage& image, size_t r) {  // r from 1, as the module counts
  return image.data() + kPhoneTableOffset + (r - 1) * kPhoneRecordSize;
}

// Every record slot from r on is all 0xFF.
bool blankFrom(const DeviceImage& image, size_t r) {
  return std::all_of(record(image, r), image.data() + image.size(),
                     [](uint8_t b) { return b == 0xFF; });
}

PhoneRows numberedRows(size_t count) {
  PhoneRows rows;
  for (size_t i = 0; i < count; ++i) rows.push_back({std::to_string(1000 + i), "1A2B", "3"});
  return rows;
}

std::string field(const DeviceDialog& dialog, std::string_view caption) {
  for (const DialogField& f : dialog.fields()) {
    if (f.caption == caption) return f.value;
  }
  return "<absent>";
}

// A dialog over an image that passes every check, for the tests that need OK to succeed.
struct ValidDialog {
  explicit ValidDialog(int type, size_t rows = 2) : image(blank()), dialog(type, image) {
    EXPECT_EQ(dialog.setField("APN", "internet"), "");
    EXPECT_EQ(dialog.setRecords("Phones", numberedRows(rows)), "");
  }
  DeviceImage image;
  DeviceDialog dialog;
};

TEST(DeviceRecords, TableEndsAtBlankRecordOrDollarAndNumbersAreReversed) {
  DeviceImage image = blank();
  EXPECT_TRUE(unpackPhones(image, 4).empty());

  packPhones({{"12345", "1A2B", "3"}}, 4, image);
  const std::vector<uint8_t> expected = {'5',  '4',  '3',  '2', '1', 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, '1', 'A', '2',  'B',  '3'};
  EXPECT_EQ(std::vector<uint8_t>(record(image, 1), record(image, 2)), expected);
  EXPECT_EQ(record(image, 2)[0], '$');
  EXPECT_EQ(unpackPhones(image, 4), (PhoneRows{{"12345", "1A2B", "3"}}));

  // A "$" record ends the table even with data after it.
  packPhones(numberedRows(3), 4, image);
  image[kPhoneTableOffset + kPhoneRecordSize] = '$';
  EXPECT_EQ(unpackPhones(image, 4).size(), 1u);
}

TEST(DeviceRecords, FullOrNearlyFullTableHasNoEndMark) {
  for (size_t rows : {498u, 499u, 500u}) {
    DeviceImage image = blank();
    packPhones(numberedRows(500), 4, image);  // what was there before goes
    packPhones(numberedRows(rows), 4, image);
    if (rows < 500) {
      EXPECT_EQ(record(image, rows + 1)[0] == '$', rows == 498) << rows;
    }
    EXPECT_EQ(unpackPhones(image, 4).size(), rows);
    // Nothing after the table, and type 4 owns no slot past its capacity.
    EXPECT_TRUE(blankFrom(image, rows == 498 ? 500 : rows + 1));
  }
}

TEST(DeviceSettings, PerTypeFieldsAndRangeChecks) {
  DeviceImage image = blank();
  image[9] = 30;
  DeviceDialog seven(7, image), four(4, image);
  EXPECT_EQ(field(seven, "Relay Time"), "30");
  EXPECT_EQ(field(seven, "Local IP"), "<absent>");
  EXPECT_EQ(field(four, "Relay Time"), "<absent>");
  EXPECT_NE(four.setField("Relay Time", "5"), "");

  EXPECT_EQ(seven.setField("Relay Time", "0"), "Relay Time <1");
  EXPECT_EQ(seven.setField("Relay Time", "256"), "Relay Time >255");
  EXPECT_EQ(seven.setField("Relay Time", "65537"), "Relay Time >255");  // no wrap to 1
  EXPECT_EQ(field(seven, "Relay Time"), "30");
}

TEST(DeviceSettings, TextsArePaddedWithFfAndCutByWholeCharacters) {
  DeviceImage image;
  image.fill(0x00);  // a module that stored NULs
  DeviceDialog dialog(4, image);
  EXPECT_EQ(dialog.setField("Domain Name", std::string(40, 'd')), "");
  EXPECT_EQ(field(dialog, "Domain Name").size(), 31u);
  // 31 ASCII bytes and a two-byte character do not fit in 32 bytes: the character goes whole.
  EXPECT_EQ(dialog.setField("APN", std::string(31, 'a') + "\xC3\xA9"), "");
  EXPECT_EQ(field(dialog, "APN"), std::string(31, 'a'));
  EXPECT_NE(dialog.setField("APN", std::string("a\0b", 3)), "");
  EXPECT_EQ(dialog.setRecords("Phones", {{"5551234", "00A1", "1"}}), "");
  Operator op;
  ASSERT_TRUE(dialog.accept(op));

  EXPECT_EQ(std::count(image.begin(), image.end(), 0x00), 0);
  EXPECT_EQ(image[16 + 31], 0xFF);
  EXPECT_EQ(std::string(image.begin() + 137, image.begin() + 137 + 15), std::string(15, '\xFF'));
  DeviceDialog again(4, image);
  EXPECT_EQ(field(again, "APN"), std::string(31, 'a'));
  EXPECT_EQ(again.recordTables()[0].rows, (PhoneRows{{"5551234", "00A1", "1"}}));
}

TEST(DeviceHexText, BlocksOfOnlyFfOrOnlyZerosAreNeverWritten) {
  DeviceImage image = blank();
  std::fill_n(image.begin() + 0x20, 16, 0x00);
  image[0x35] = 0x00;            // a mixed block stays
  image[kDeviceCarriedEnd] = 1;  // past what files carry
  const std::string text = deviceHexText(image);
  EXPECT_EQ(text, encodeHexRecord(0x30, std::span(image).subspan(0x30, 16)) + "\r\n" +
                      std::string(kHexEndRecord) + "\r\n");
}

TEST(DeviceValidation, ChecksRunInOrderAndFailuresLeaveImageUntouched) {
  // Duplicate numbers come first, even before an empty APN.
  DeviceImage image = blank();
  packPhones({{"9", "1", "1"}, {"9", "2", "2"}}, 7, image);
  DeviceDialog dialog(7, image);
  const DeviceImage before = image;
  Operator op;
  EXPECT_FALSE(dialog.accept(op));
  EXPECT_EQ(op.messages.back(), "|Duplicate phone number 9!");
  EXPECT_EQ(dialog.currentRow(), 1u);

  ASSERT_EQ(dialog.setRecords("Phones", {{"111", "1", "1"}, {"222", "", "2"}}), "");
  EXPECT_FALSE(dialog.accept(op));
  EXPECT_EQ(op.messages.back(), "Error|This field can not be empty!");
  EXPECT_EQ(dialog.focusedField(), "APN");

  ASSERT_EQ(dialog.setField("APN", "web"), "");
  EXPECT_FALSE(dialog.accept(op));
  EXPECT_EQ(op.messages.back(), "Error|This field can not be empty!");
  EXPECT_EQ(dialog.currentRow(), 1u);
  EXPECT_EQ(dialog.currentColumn(), size_t{kAccountColumn});
  EXPECT_EQ(image, before);
  EXPECT_NE(dialog.save(test::TempDir() / "x.hex", op), "");
  EXPECT_EQ(image, before);
}

TEST(DeviceValidation, RowsAreCheckedAndRefusedWhole) {
  ValidDialog v(7);
  const PhoneRows kept = v.dialog.recordTables()[0].rows;
  EXPECT_EQ(v.dialog.setRecords("Phones", {{"1", "1", "1"}, {"12a", "1", "1"}}),
            "Row 2: Telephone Number accepts only digits");
  EXPECT_EQ(v.dialog.setRecords("Phones", {{"123456789012", "1", "1"}}),
            "Row 1: Telephone Number takes at most 11 characters");
  EXPECT_EQ(v.dialog.setRecords("Phones", {{"1", "12G", "1"}}),
            "Row 1: Account accepts only 0-9 and A-F");
  EXPECT_EQ(v.dialog.setRecords("Phones", {{"7", "1", "1"}, {"8", "2", "2"}, {"7", "3", "3"}}),
            "Row 3: Duplicate phone number 7!");
  EXPECT_EQ(v.dialog.recordTables()[0].rows, kept);

  ASSERT_EQ(v.dialog.setRecords("phones", {{" 12 ", "ab", "f"}}), "");
  EXPECT_EQ(v.dialog.recordTables()[0].rows, (PhoneRows{{"12", "AB", "F"}}));
}

// Type 7 has room for 1,000 records but only the first 500 reach the module or a file: the
// editor holds no more than those, so nothing typed is dropped on the way.
TEST(DeviceValidation, TypeSevenHoldsOnlyTheRecordsThatAreCarried) {
  ValidDialog v(7, 500);
  EXPECT_EQ(v.dialog.recordTables()[0].capacity, 500u);
  EXPECT_EQ(v.dialog.setRecords("Phones", numberedRows(501)),
            "Row 501: only the first 500 records reach the module");
  EXPECT_EQ(v.dialog.recordTables()[0].rows.size(), 500u);

  // An image made elsewhere with more records is shown, but OK refuses to drop them.
  DeviceImage image = blank();
  packPhones(numberedRows(600), 7, image);
  image[16] = 'a';  // APN
  DeviceDialog big(7, image);
  EXPECT_EQ(big.recordTables()[0].rows.size(), 600u);
  Operator op;
  EXPECT_FALSE(big.accept(op));
  EXPECT_EQ(big.currentRow(), 500u);
}

class DeviceFiles : public ::testing::Test {
 protected:
  test::TempDir dir_;
  Operator op_;
};

TEST_F(DeviceFiles, SavedFileLoadsBackWithTheLastCarriedRecordWhole) {
  ValidDialog v(4, 500);
  const std::filesystem::path file = dir_ / "gsm.hex";
  ASSERT_EQ(v.dialog.save(file, op_), "");

  DeviceImage other = blank();
  DeviceDialog loaded(4, other);
  ASSERT_EQ(loaded.load(file), "");
  EXPECT_EQ(field(loaded, "APN"), "internet");
  // Record 500's user byte sits at address 8175, the last one a file carries.
  EXPECT_EQ(loaded.recordTables()[0].rows, numberedRows(500));
  EXPECT_TRUE(std::equal(other.begin(), other.begin() + kDeviceCarriedEnd, v.image.begin()));
}

TEST_F(DeviceFiles, SavedFileReadsInAnIndependentReader) {
  if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  }
  ValidDialog v(7, 37);
  const std::filesystem::path hex = dir_ / "gsm.hex", bin = dir_ / "gsm.bin";
  ASSERT_EQ(v.dialog.save(hex, op_), "");
  const std::string command = "srec_cat '" + hex.string() + "' -Intel -fill 0xFF 0 " +
                              std::to_string(kDeviceCarriedEnd) + " -o '" + bin.string() +
                              "' -Binary";
  ASSERT_EQ(std::system(command.c_str()), 0) << test::readFile(hex);
  const std::string bytes = test::readFile(bin);
  ASSERT_EQ(bytes.size(), kDeviceCarriedEnd);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), v.image.begin(),
                         [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
}

TEST_F(DeviceFiles, BadFilesAreRefusedNamingTheLineAndChangeNothing) {
  ValidDialog v(7);
  const DeviceImage before = v.image;
  const auto refused = [&](std::string_view name, std::string_view content) {
    const std::string error = v.dialog.load(dir_.write(name, content));
    EXPECT_EQ(v.image, before) << name;
    EXPECT_EQ(v.dialog.recordTables()[0].rows.size(), 2u) << name;
    return error;
  };
  const std::string good = encodeHexRecord(0x10, std::vector<uint8_t>(16, 'x'));
  EXPECT_NE(refused("bin.hex", good + "\r\n" + std::string("\x01\x02\0", 3) + "\r\n")
                .find("line 2 holds binary bytes"),
            std::string::npos);
  EXPECT_NE(refused("digits.hex", "\n" + good + "\n:10001000ZZ\n").find("line 3 is not"),
            std::string::npos);
  EXPECT_NE(refused("text.hex", "hello\n").find("no Intel HEX records"), std::string::npos);

  const std::filesystem::path huge = dir_ / "huge.hex";
  { std::ofstream(huge) << good; }
  std::filesystem::resize_file(huge, 100u << 20);
  EXPECT_NE(v.dialog.load(huge).find("too large"), std::string::npos);
  EXPECT_EQ(v.image, before);
}

TEST_F(DeviceFiles, RecordsPastTheCarriedAddressesAreDropped) {
  DeviceImage image = blank();
  DeviceDialog dialog(7, image);
  const std::vector<uint8_t> data(32, 'A');
  // One record straddles the end, one runs past 0xFFFF, one lies 64 KiB up.
  const std::string file = encodeHexRecord(kDeviceCarriedEnd - 16, data) + "\n" +
                           encodeHexRecord(0xFFF0, data) + "\n:020000040001F9\n" +
                           encodeHexRecord(0x0000, data) + "\n:0400000500000000F7\n" +
                           std::string(kHexEndRecord);
  ASSERT_EQ(dialog.load(dir_.write("far.hex", file)), "");
  EXPECT_TRUE(std::all_of(image.begin() + kDeviceCarriedEnd - 16, image.begin() + kDeviceCarriedEnd,
                          [](uint8_t b) { return b == 'A'; }));
  EXPECT_EQ(std::count(image.begin(), image.end(), 'A'), 16);
}

TEST(DeviceTableTools, FindWrapsAndEditingKeepsTheCapacity) {
  PhoneRows rows = {{"5551", "00A1", "1"}, {"6662", "00B2", "2"}, {"5553", "00A3", "3"}};
  EXPECT_EQ(findPhoneRow(rows, kNumberColumn, "555", 1), 2u);
  EXPECT_EQ(findPhoneRow(rows, kNumberColumn, "555", 2 + 1), 0u);  // FindNext wraps
  EXPECT_EQ(findPhoneRow(rows, kUserColumn, "B2", 0), 1u);         // searches the accounts
  EXPECT_EQ(findPhoneRow(rows, kNumberColumn, "777", 0), std::nullopt);

  EXPECT_TRUE(insertPhoneRow(rows, 1, 4));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"", "", ""}));
  EXPECT_FALSE(insertPhoneRow(rows, 0, 4));
  EXPECT_EQ(moveDown(rows, 3, 4), 3u);  // full: Down on the last row adds nothing
  EXPECT_TRUE(deletePhoneRow(rows, 1));
  EXPECT_EQ(moveDown(rows, 2, 4), 3u);  // appended
  rows[0][kUserColumn].clear();         // the first row must be complete before the table grows
  EXPECT_EQ(moveDown(rows, 3, 10), 3u);
  EXPECT_EQ(rows.size(), 4u);
  EXPECT_EQ(recordStatusText(0, 0), "Record 0 of 0");
}

}  // namespace
}  // namespace orv
