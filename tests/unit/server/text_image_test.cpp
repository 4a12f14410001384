#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/hex_record.h"
#include "server/programming/text_dialog.h"
#include "server/programming/text_image.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Rows = std::vector<std::vector<std::string>>;

struct QuietOperator : OperatorQuestions {
  int messages = 0;
  bool askTimed(std::string_view, int, bool safe, std::string_view) override { return safe; }
  void showMessage(std::string_view, std::string_view) override { ++messages; }
};

TextImage blank() {
  TextImage image;
  image.fill(0xFF);
  return image;
}

uint8_t& at(TextImage& image, uint32_t address) {
  return image[address - kTextImageBase];
}

Rows rowsOf(const TextDialog& dialog, size_t table) {
  return dialog.recordTables().at(table).rows;
}

// Rows with IDs 1, 2, ... (decimal digits read as hexadecimal), zero-padded to the ID width.
Rows numbered(size_t n, size_t width) {
  Rows rows;
  for (size_t i = 1; i <= n; ++i) {
    const std::string id = std::to_string(i);
    rows.push_back({std::string(width - id.size(), '0') + id, "Text " + id});
  }
  return rows;
}

TEST(TextImageTest, EmptyTablesAndRecordLayout) {
  TextImage image = blank();
  TextDialog dialog(true, image);
  EXPECT_EQ(rowsOf(dialog, 0), (Rows{{"", ""}}));
  QuietOperator op;
  ASSERT_TRUE(dialog.accept(op));  // one empty row: count 0 and no record
  EXPECT_EQ(at(image, 5000), 0);
  EXPECT_EQ(at(image, 5001), 0xFF);
  EXPECT_EQ(rowsOf(TextDialog(true, image), 0), (Rows{{"", ""}}));

  const std::string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A, e-acute, euro, emoji
  ASSERT_EQ(dialog.setRecords("Events", {{"1a2b3c4d", mixed}}), "");
  ASSERT_EQ(dialog.setRecords("Partitions", {{"f", "P1"}, {"", ""}}), "");
  ASSERT_TRUE(dialog.accept(op));
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 1, image.begin() + 17),
            (std::vector<uint8_t>{0x1A, 0x2B, 0x3C, 0x4D, 5, 0x00, 'A', 0x00, 0xE9, 0x20, 0xAC,
                                  0xD8, 0x3D, 0xDE, 0x00, 0xFF}));
  EXPECT_EQ(at(image, 16375), 2);
  EXPECT_EQ(at(image, 16376), 0x0F);
  EXPECT_EQ(at(image, 16376 + 34), 0x00);  // an empty ID reads as 0

  TextDialog reread(true, image);
  EXPECT_EQ(rowsOf(reread, 0), (Rows{{"1A2B3C4D", mixed}}));
  EXPECT_EQ(rowsOf(reread, 1), (Rows{{"0F", "P1"}, {"00", ""}}));
}

TEST(TextImageTest, LongMessagesAreCutByWholeCharacters) {
  TextImage image = blank();
  TextDialog dialog(true, image);
  const std::string thirty = "abcdefghijklmnopqrstuvwxyz0123", smile = "\xF0\x9F\x98\x80";
  ASSERT_EQ(dialog.setRecords("Events", {{"1", thirty},
                                         {"2", std::string(22, 'x') + smile},
                                         {"3", std::string(21, 'y') + smile + "z"}}),
            "");
  EXPECT_EQ(rowsOf(dialog, 0)[0][1], thirty.substr(0, 23));
  EXPECT_EQ(rowsOf(dialog, 0)[1][1], std::string(22, 'x'));  // the pair would not fit
  EXPECT_EQ(rowsOf(dialog, 0)[2][1], std::string(21, 'y') + smile);
  EXPECT_EQ(dialog.packed()[1 + 4], 23);
}

TEST(TextImageTest, CapacityHoldsWhatSurvivesARoundTrip) {
  struct Case {
    bool two;
    const char* table;
    size_t capacity, width, index;
  };
  for (const Case& c : {Case{true, "Events", 222, 8, 0}, Case{false, "Events", 162, 8, 0},
                        Case{true, "Partitions", 17, 2, 1}}) {
    TextImage image = blank();
    TextDialog dialog(c.two, image);
    EXPECT_EQ(dialog.recordTables().at(c.index).capacity, c.capacity);
    EXPECT_TRUE(dialog.setRecords(c.table, numbered(c.capacity + 1, c.width))
                    .starts_with("Row " + std::to_string(c.capacity + 1)));
    ASSERT_EQ(dialog.setRecords(c.table, numbered(c.capacity, c.width)), "");
    QuietOperator op;
    ASSERT_TRUE(dialog.accept(op));
    EXPECT_EQ(rowsOf(TextDialog(c.two, image), c.index), numbered(c.capacity, c.width));
    EXPECT_EQ(at(image, kTextFlagAddress), 0xFF);  // nothing spills onto the flag byte
  }
}

TEST(TextImageTest, FlagBitAndHiddenPartitions) {
  TextImage image = blank();
  at(image, 16954) = 0x5A;
  const uint8_t partition[] = {1, 0x07, 1, 0, 'Q'};  // count, ID, length, "Q"
  std::copy_n(partition, 5, &at(image, 16375));
  TextDialog dialog(true, image);
  EXPECT_EQ(dialog.fields().at(0).value, "1");
  ASSERT_EQ(dialog.setField("Send Described Events only", "0"), "");
  EXPECT_EQ(dialog.packed()[16954 - 5000], 0x5B);  // bit 0 set, the module's other bits kept
  ASSERT_EQ(dialog.setField("Send Described Events only", "1"), "");
  EXPECT_EQ(dialog.packed()[16954 - 5000], 0x5A);

  // The one-table editor shows neither box nor partitions, yet writes back the partitions read.
  TextDialog one(false, image);
  EXPECT_TRUE(one.fields().empty());
  EXPECT_EQ(one.packed()[16954 - 5000], 0xFF);
  EXPECT_EQ(one.packed()[16376 - 5000], 0x07);
  QuietOperator op;
  one.setWritable(false);
  EXPECT_FALSE(one.accept(op));
  EXPECT_EQ(op.messages, 1);
}

TEST(TextImageTest, DamagedImagesStayWithinTheirTables) {
  TextImage image = blank();
  at(image, 5000) = 0xFE;  // more records than the table holds
  at(image, 16375) = 200;  // would run past the flag byte and the image
  const uint8_t text[] = {0xFF, 0xD8, 0x3D, 0x00, 'a'};  // length beyond the field, lone surrogate
  std::copy_n(text, 5, &at(image, 5005));
  const std::vector<RecordTable> tables = TextDialog(true, image).recordTables();
  EXPECT_EQ(tables[0].rows.size(), 222u);
  EXPECT_EQ(tables[1].rows.size(), 17u);
  EXPECT_TRUE(
      tables[0].rows[0][1].starts_with("\xEF\xBF\xBD"
                                       "a"));
}

TEST(TextImageTest, BadRowsAreRefusedByRow) {
  TextImage image = blank();
  TextDialog dialog(true, image);
  ASSERT_EQ(dialog.setRecords("Events", {{"1", "kept"}}), "");
  const std::vector<std::pair<Rows, std::string>> bad = {
      {{{"1", "ok"}, {"12G4", "x"}}, "Row 2: ID"},
      {{{"123456789", "x"}}, "Row 1: ID"},
      {{{"1", "ok"}, {"2", "ok"}, {"3", "\xC3"}}, "Row 3: the message is not valid UTF-8"},
      {{{"1", "\xC0\xAF"}}, "Row 1: the message"},          // overlong
      {{{"1", "\xED\xA0\x80"}}, "Row 1: the message"},      // an encoded surrogate
      {{{"1", "\xF4\x90\x80\x80"}}, "Row 1: the message"},  // above U+10FFFF
      {{{"1", "a", "b"}}, "Row 1: expected"},
  };
  for (const auto& [rows, error] : bad) {
    EXPECT_TRUE(dialog.setRecords("Events", rows).starts_with(error)) << error;
  }
  EXPECT_TRUE(dialog.setRecords("Partitions", {{"100", "x"}}).starts_with("Row 1: ID"));
  EXPECT_EQ(rowsOf(dialog, 0), (Rows{{"00000001", "kept"}}));
  EXPECT_EQ(recordStatusText(2, 17), "Record 3 of 17");
}

class TextImageFileTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  QuietOperator op_;
};

TEST_F(TextImageFileTest, SaveWritesRecordsAnIndependentReaderAccepts) {
  TextImage image = blank();
  EXPECT_EQ(textImageHexText(image), ":00000001FF\r\n");
  TextDialog dialog(true, image);
  ASSERT_EQ(dialog.setRecords("Events", numbered(3, 8)), "");
  ASSERT_EQ(dialog.setField("Send Described Events only", "1"), "");
  ASSERT_EQ(dialog.save(dir_ / "t.hex", op_), "");
  const std::string text = dir_.read("t.hex");
  EXPECT_TRUE(text.starts_with(":10138800")) << text;
  EXPECT_NE(text.find("\r\n:04423800"), std::string::npos);  // the last block is 4 bytes long
  EXPECT_TRUE(text.ends_with("\r\n:00000001FF\r\n"));

  TextImage loaded = blank();
  TextDialog reader(true, loaded);
  ASSERT_EQ(reader.load(dir_ / "t.hex"), "");
  EXPECT_EQ(loaded, dialog.packed());

  if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "srec_cat (Debian srecord) is not installed";
  }
  const std::string command = "srec_cat '" + (dir_ / "t.hex").string() +
                              "' -Intel -fill 0xFF 5000 16956 -offset -5000 -o '" +
                              (dir_ / "t.bin").string() + "' -Binary";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(dir_.read("t.bin"), std::string(loaded.begin(), loaded.end()));
}

TEST_F(TextImageFileTest, LoadKeepsOnlyDataWithinTheImage) {
  TextImage image = blank();
  TextDialog dialog(true, image);
  auto record = [](uint16_t address, std::vector<uint8_t> data) {
    return encodeHexRecord(address, data) + "\n";
  };
  std::vector<uint8_t> straddling(16, 0x11);  // 4990..5005
  straddling[10] = 2;                         // the count byte at 5000
  straddling[15] = 0;                         // the first record's length
  std::string wrongSum = record(0x13A1, {0xCC, 0xCC});
  wrongSum[wrongSum.size() - 3] ^= 1;
  ASSERT_EQ(dialog.load(dir_.write(
                "in.hex", record(4990, straddling) + record(16952, std::vector<uint8_t>(16, 0xAA)) +
                              ":02000004000AF0\n"  // a base above 64 KiB: the next is out of reach
                              + record(5000, {0x41, 0x42}) + ":02000004000000\r\n" + wrongSum +
                              ":0400000300001388DC\n:00000001FF\n")),
            "");
  EXPECT_EQ(at(image, 5000), 2);
  EXPECT_EQ(at(image, 5006), 0xFF);
  EXPECT_EQ(at(image, 16955), 0xAA);
  EXPECT_EQ(at(image, 0x13A1), 0xCC);
  EXPECT_EQ(rowsOf(dialog, 0)[0][0], "11111111");
}

TEST_F(TextImageFileTest, BadFilesAreRefusedByLineAndChangeNothing) {
  TextImage image = blank();
  TextDialog dialog(true, image);
  const std::vector<std::pair<std::string, std::string>> bad = {
      {":00000001FF\n:02138800\x01\x02\x03\n", "line 2 holds bytes that are not text"},
      {"\n\n:0213880041G2DE\n", "line 3 is not an Intel HEX record"},
      {":10138800AABB\n", "line 1 is not"},  // shorter than its count says
      {"C/3\n", "line 1 is not"},
  };
  for (const auto& [content, error] : bad) {
    const std::string message = dialog.load(dir_.write("bad.hex", content));
    EXPECT_NE(message.find(error), std::string::npos) << message;
  }
  EXPECT_NE(dialog.load(dir_.write("huge.hex", std::string(kMaxTextHexFile + 1, '\n'))), "");
  EXPECT_EQ(image, blank());
}

}  // namespace
}  // namespace orv
