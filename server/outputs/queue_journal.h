#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The journal of one output queue: every change since the queue file was last written, one
// record each, appended in the order of the changes. The queue's lines are numbered in the order
// they were queued; a record names the numbers it concerns, so replaying is exact and a record
// that turns up twice or out of place is recognised.
//
// A record on disk: the magic "ORJ1", the type byte, the number (8 bytes), the length of the
// text (4 bytes), the CRC-32C of type, number, length and text (4 bytes), then the text; all
// integers little-endian. A record whose checksum fails is never trusted: reading goes on at the
// next magic that starts a record that checks out, and says what it passed over.
namespace journal {

inline constexpr char kMagic[4] = {'O', 'R', 'J', '1'};
inline constexpr size_t kHeaderSize = 4 + 1 + 8 + 4 + 4;
// No record carries more than a queued line; a longer length field is damage.
inline constexpr uint32_t kMaxText = 64 * 1024 + 64;

enum class Type : uint8_t {
  Base = 'B',   // first record: the queue file this journal continues (see SnapshotId)
  Push = 'P',   // a line was queued under `seq`; the text is the line
  Front = 'F',  // every line numbered below `seq` is gone (delivered or trimmed)
};

// The queue file a journal continues: its first line's number, its line count, its size and
// its CRC-32C. A journal is replayed only on top of the file it names.
struct SnapshotId {
  uint64_t firstSeq = 0;
  uint64_t lines = 0;
  uint64_t bytes = 0;
  uint32_t crc = 0;
  bool operator==(const SnapshotId&) const = default;
};

void appendPush(std::string& out, uint64_t seq, std::string_view line);
void appendFront(std::string& out, uint64_t seq);
void appendBase(std::string& out, const SnapshotId& id);

struct Record {
  Type type;
  uint64_t seq;
  std::string text;
};

// The queue file named by a Base record; std::nullopt for any other record.
std::optional<SnapshotId> baseOf(const Record& record);

// A stretch of the file that held no record that checks out.
struct Skipped {
  uint64_t offset;
  uint64_t bytes;
};

// Reads a journal file from the start, in pieces, so that its size costs time but no memory.
class Reader {
 public:
  // Reads no further than `limit` bytes into the file.
  explicit Reader(const std::filesystem::path& file, uint64_t limit = UINT64_MAX);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool opened() const { return file_ != nullptr; }
  // The next record that checks out; false at the end of the file.
  bool next(Record& record);
  // What was passed over so far. A damaged stretch at the very end is the torn tail of a write
  // that a crash cut short; the others are damage in the middle. Zeros at the end are the
  // space the journal is written into, not damage.
  const std::vector<Skipped>& skipped() const { return skipped_; }
  bool tornTail() const { return tornTail_; }
  uint64_t offset() const { return base_ + pos_; }

 private:
  bool fill(size_t want);
  void skip(uint64_t bytes);
  void finish();

  std::FILE* file_ = nullptr;
  std::string buf_;
  size_t pos_ = 0;     // next unread byte in buf_
  uint64_t base_ = 0;  // file offset of buf_[0]
  bool eof_ = false;
  uint64_t limit_;
  std::vector<Skipped> skipped_;
  uint64_t lastDataEnd_ = 0;  // past the last byte that is not zero in skipped_.back()
  bool tornTail_ = false;
};

// A queue being rebuilt from records: its lines with their numbers, oldest first.
struct Replay {
  struct Line {
    uint64_t seq;
    std::string text;
  };
  std::deque<Line> lines;
  uint64_t nextSeq = 0;     // the number the next queued line would get
  uint64_t duplicates = 0;  // pushes for numbers that were already taken
  uint64_t gaps = 0;        // pushes or removals past the next number: records went missing

  void apply(const Record& record);
};

}  // namespace journal
}  // namespace orv
