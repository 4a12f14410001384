// Journal records, their reader and replay.

#include "server/outputs/queue_journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/crc32c.h"
#include "tests/support/temp_dir.h"

namespace orv::journal {
namespace {

std::vector<Record> readAll(Reader& reader) {
  std::vector<Record> records;
  Record r;
  while (reader.next(r)) records.push_back(r);
  return records;
}

TEST(Crc32c, CheckValueAndContinuation) {
  EXPECT_EQ(crc32c("123456789"), 0xE3069283u);
  EXPECT_EQ(crc32c(""), 0u);
  // Pieces give the same as the whole, whatever the split, so that records and files can be
  // checked as they are read.
  const std::string text = "a journal checksum over records of any length, aligned or not";
  for (size_t split = 0; split <= text.size(); ++split) {
    EXPECT_EQ(crc32c(text.substr(split), crc32c(text.substr(0, split))), crc32c(text)) << split;
  }
}

TEST(JournalRecord, RoundTripsThroughAFile) {
  test::TempDir dir;
  const std::string binary("\0\xff ORJ1 inside\r", 16);
  const SnapshotId id{7, 3, 42, 0xDEADBEEF};
  std::string data;
  appendBase(data, id);
  appendPush(data, 7, "5011 181234E13001001");
  appendPush(data, 8, binary);
  appendPush(data, 9, std::string(kMaxText, 'L'));
  appendFront(data, 9);
  Reader reader(dir.write("q.jnl", data));
  ASSERT_TRUE(reader.opened());
  const std::vector<Record> records = readAll(reader);

  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(baseOf(records[0]), id);
  EXPECT_EQ(baseOf(records[1]), std::nullopt);
  EXPECT_EQ(records[1].type, Type::Push);
  EXPECT_EQ(records[1].seq, 7u);
  EXPECT_EQ(records[1].text, "5011 181234E13001001");
  EXPECT_EQ(records[2].text, binary);
  EXPECT_EQ(records[3].text.size(), kMaxText);
  EXPECT_EQ(records[4].type, Type::Front);
  EXPECT_EQ(records[4].seq, 9u);
  EXPECT_TRUE(records[4].text.empty());
  EXPECT_TRUE(reader.skipped().empty());
  EXPECT_FALSE(reader.tornTail());
  EXPECT_EQ(reader.offset(), data.size());
}

TEST(JournalReader, PassesOverDamageAndSaysWhere) {
  test::TempDir dir;
  std::string a, b, c;
  appendPush(a, 0, "first");
  appendPush(b, 1, "second");
  appendPush(c, 2, "third");
  const std::string garbage = "ORJ1PxxxxGARBAGE ORJ";  // a false magic among the garbage

  {
    // Garbage in front of, between and after records.
    const std::string data = garbage + a + garbage + b + c + "ORJ1";
    Reader reader(dir.write("g.jnl", data));
    const std::vector<Record> records = readAll(reader);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, "first");
    EXPECT_EQ(records[2].text, "third");
    ASSERT_EQ(reader.skipped().size(), 3u);
    EXPECT_EQ(reader.skipped()[0].offset, 0u);
    EXPECT_EQ(reader.skipped()[0].bytes, garbage.size());
    EXPECT_EQ(reader.skipped()[1].offset, garbage.size() + a.size());
    EXPECT_EQ(reader.skipped()[1].bytes, garbage.size());
    EXPECT_EQ(reader.skipped()[2].bytes, 4u);
    EXPECT_TRUE(reader.tornTail());
  }
  {
    // A flipped bit anywhere in a record (text, number or checksum) loses that record only.
    for (size_t at : {size_t{5}, size_t{6}, size_t{19}, kHeaderSize + 2}) {
      std::string bad = b;
      bad[at] ^= 0x10;
      Reader reader(dir.write("f.jnl", a + bad + c));
      const std::vector<Record> records = readAll(reader);
      ASSERT_EQ(records.size(), 2u) << "flipped byte " << at;
      EXPECT_EQ(records[1].text, "third");
      ASSERT_EQ(reader.skipped().size(), 1u);
      EXPECT_EQ(reader.skipped()[0].offset, a.size());
      EXPECT_EQ(reader.skipped()[0].bytes, bad.size());
      EXPECT_FALSE(reader.tornTail());
    }
  }
  {
    // A record cut short at the end is a torn tail; a length beyond any line is damage.
    std::string huge;
    appendPush(huge, 3, std::string(kMaxText + 1, 'x'));
    Reader torn(dir.write("t.jnl", a + b.substr(0, b.size() - 1)));
    EXPECT_EQ(readAll(torn).size(), 1u);
    EXPECT_TRUE(torn.tornTail());
    Reader tooLong(dir.write("l.jnl", a + huge + c));
    EXPECT_EQ(readAll(tooLong).size(), 2u);
    EXPECT_FALSE(tooLong.tornTail());
  }
  {
    // The zeros a journal is written into are no damage; a record cut short before them is.
    const std::string zeros(5000, '\0');
    Reader clean(dir.write("z.jnl", a + b + zeros));
    EXPECT_EQ(readAll(clean).size(), 2u);
    EXPECT_TRUE(clean.skipped().empty());
    EXPECT_FALSE(clean.tornTail());
    Reader torn(dir.write("tz.jnl", a + b.substr(0, kHeaderSize + 3) + zeros));
    EXPECT_EQ(readAll(torn).size(), 1u);
    ASSERT_EQ(torn.skipped().size(), 1u);
    EXPECT_EQ(torn.skipped()[0].offset, a.size());
    EXPECT_EQ(torn.skipped()[0].bytes, kHeaderSize + 3);
    EXPECT_TRUE(torn.tornTail());
    // Zeros in the middle are damage like any other.
    Reader hole(dir.write("h.jnl", a + zeros + b));
    EXPECT_EQ(readAll(hole).size(), 2u);
    ASSERT_EQ(hole.skipped().size(), 1u);
    EXPECT_EQ(hole.skipped()[0].bytes, zeros.size());
    EXPECT_FALSE(hole.tornTail());
  }
  {
    // A record across the reader's 1 MiB pieces, and a magic split between two of them.
    const std::string line(60000, 'm');
    std::string data(((1 << 20) - 2), 'z');
    appendPush(data, 5, line);
    for (int i = 0; i < 40; ++i) appendPush(data, 6 + i, line);
    Reader reader(dir.write("s.jnl", data));
    const std::vector<Record> records = readAll(reader);
    ASSERT_EQ(records.size(), 41u);
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].seq, 5 + i);
    ASSERT_EQ(reader.skipped().size(), 1u);
    EXPECT_EQ(reader.skipped()[0].bytes, (1u << 20) - 2);
  }
  Reader missing(dir / "none.jnl");
  EXPECT_FALSE(missing.opened());
  Record r;
  EXPECT_FALSE(missing.next(r));
}

Record push(uint64_t seq, std::string text) {
  return {Type::Push, seq, std::move(text)};
}
Record front(uint64_t seq) {
  return {Type::Front, seq, {}};
}

std::vector<std::pair<uint64_t, std::string>> linesOf(const Replay& replay) {
  std::vector<std::pair<uint64_t, std::string>> out;
  for (const auto& l : replay.lines) out.emplace_back(l.seq, l.text);
  return out;
}

TEST(JournalReplay, AppliesPushesAndRemovalsByNumber) {
  using Lines = std::vector<std::pair<uint64_t, std::string>>;
  Replay r;
  r.nextSeq = 10;
  for (const Record& rec :
       {push(10, "a"), push(11, "b"), push(12, "c"), front(12), push(13, "d")}) {
    r.apply(rec);
  }
  EXPECT_EQ(linesOf(r), (Lines{{12, "c"}, {13, "d"}}));
  EXPECT_EQ(r.nextSeq, 14u);
  EXPECT_EQ(r.duplicates + r.gaps, 0u);

  // A record that comes twice, or for a line already gone, changes nothing.
  for (const Record& rec : {push(13, "again"), push(11, "gone"), front(12), front(5)}) {
    r.apply(rec);
  }
  EXPECT_EQ(linesOf(r), (Lines{{12, "c"}, {13, "d"}}));
  EXPECT_EQ(r.duplicates, 2u);
  EXPECT_EQ(r.gaps, 0u);

  // Records went missing: the lines past the gap are still kept, under their own numbers.
  r.apply(push(16, "g"));
  r.apply(push(17, "h"));
  EXPECT_EQ(linesOf(r), (Lines{{12, "c"}, {13, "d"}, {16, "g"}, {17, "h"}}));
  EXPECT_EQ(r.gaps, 1u);
  EXPECT_EQ(r.nextSeq, 18u);
  r.apply(front(17));
  EXPECT_EQ(linesOf(r), (Lines{{17, "h"}}));

  // A removal past every line: the next push continues behind it.
  r.apply(front(25));
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.nextSeq, 25u);
  EXPECT_EQ(r.gaps, 2u);
  r.apply(push(25, "z"));
  EXPECT_EQ(linesOf(r), (Lines{{25, "z"}}));

  // A Base record is for the loader; the replay ignores it.
  std::string data;
  appendBase(data, {25, 1, 2, 3});
  r.apply({Type::Base, 25, data.substr(kHeaderSize)});
  EXPECT_EQ(linesOf(r), (Lines{{25, "z"}}));
  EXPECT_EQ(r.nextSeq, 26u);
}

}  // namespace
}  // namespace orv::journal
