#include "server/outputs/queue_journal.h"

#include <algorithm>
#include <cstring>

#include "common/crc32c.h"

namespace orv::journal {
namespace {

constexpr size_t kReadChunk = 1 << 20;

void putLe(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t getLe(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void appendRecord(std::string& out, Type type, uint64_t seq, std::string_view text) {
  const size_t start = out.size();
  out.append(kMagic, sizeof kMagic);
  out.push_back(static_cast<char>(type));
  putLe(out, seq, 8);
  putLe(out, text.size(), 4);
  // The checksum covers type, number and length (13 bytes behind the magic), then the text.
  uint32_t crc = crc32c(std::string_view(out).substr(start + 4, 13));
  crc = crc32c(text, crc);
  putLe(out, crc, 4);
  out.append(text);
}

bool knownType(char c) {
  return c == static_cast<char>(Type::Base) || c == static_cast<char>(Type::Push) ||
         c == static_cast<char>(Type::Front);
}

}  // namespace

void appendPush(std::string& out, uint64_t seq, std::string_view line) {
  appendRecord(out, Type::Push, seq, line);
}

void appendFront(std::string& out, uint64_t seq) {
  appendRecord(out, Type::Front, seq, {});
}

void appendBase(std::string& out, const SnapshotId& id) {
  std::string text;
  putLe(text, id.lines, 8);
  putLe(text, id.bytes, 8);
  putLe(text, id.crc, 4);
  appendRecord(out, Type::Base, id.firstSeq, text);
}

std::optional<SnapshotId> baseOf(const Record& record) {
  if (record.type != Type::Base || record.text.size() != 20) return std::nullopt;
  const char* p = record.text.data();
  return SnapshotId{record.seq, getLe(p, 8), getLe(p + 8, 8),
                    static_cast<uint32_t>(getLe(p + 16, 4))};
}

// --- reader ----------------------------------------------------------------------------------

Reader::Reader(const std::filesystem::path& file, uint64_t limit)
    : file_(std::fopen(file.c_str(), "rbe")), limit_(limit) {}

Reader::~Reader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Reader::fill(size_t want) {
  while (buf_.size() - pos_ < want) {
    if (eof_ || file_ == nullptr) return false;
    if (pos_ > 0) {
      buf_.erase(0, pos_);
      base_ += pos_;
      pos_ = 0;
    }
    const size_t had = buf_.size();
    const uint64_t read = base_ + had;
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kReadChunk, limit_ - read));
    buf_.resize(had + chunk);
    const size_t got = chunk == 0 ? 0 : std::fread(buf_.data() + had, 1, chunk, file_);
    buf_.resize(had + got);
    if (got == 0) eof_ = true;
  }
  return true;
}

void Reader::skip(uint64_t bytes) {
  const uint64_t at = offset();
  if (!skipped_.empty() && skipped_.back().offset + skipped_.back().bytes == at) {
    skipped_.back().bytes += bytes;
  } else {
    skipped_.push_back({at, bytes});
    lastDataEnd_ = at;
  }
  for (size_t i = pos_ + bytes; i > pos_; --i) {
    if (buf_[i - 1] != 0) {
      lastDataEnd_ = at + (i - pos_);
      break;
    }
  }
  pos_ += bytes;
}

void Reader::finish() {
  if (skipped_.empty() || skipped_.back().offset + skipped_.back().bytes != offset()) return;
  // The journal is written into space filled with zeros ahead of it: zeros up to the end are
  // no damage. Anything else there is the torn tail of the last write.
  Skipped& tail = skipped_.back();
  if (lastDataEnd_ <= tail.offset) {
    skipped_.pop_back();
    return;
  }
  tail.bytes = lastDataEnd_ - tail.offset;
  tornTail_ = true;
}

bool Reader::next(Record& record) {
  for (;;) {
    if (!fill(kHeaderSize)) {
      if (pos_ < buf_.size()) skip(buf_.size() - pos_);
      finish();
      return false;
    }
    const char* p = buf_.data() + pos_;
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0) {
      // Damage: on to the next place that could start a record (a whole zeroed stretch is
      // passed over at memory speed).
      const void* found = ::memmem(p + 1, buf_.size() - pos_ - 1, kMagic, sizeof kMagic);
      if (found != nullptr) {
        skip(static_cast<size_t>(static_cast<const char*>(found) - p));
      } else {
        skip(buf_.size() - pos_ - (sizeof kMagic - 1));  // a magic may straddle the next read
      }
      continue;
    }
    const uint32_t length = static_cast<uint32_t>(getLe(p + 13, 4));
    if (!knownType(p[4]) || length > kMaxText || !fill(kHeaderSize + length)) {
      skip(1);
      continue;
    }
    p = buf_.data() + pos_;  // fill() may have moved the buffer
    const std::string_view text(p + kHeaderSize, length);
    uint32_t crc = crc32c(std::string_view(p + 4, 13));
    crc = crc32c(text, crc);
    if (crc != static_cast<uint32_t>(getLe(p + 17, 4))) {
      skip(1);
      continue;
    }
    record.type = static_cast<Type>(p[4]);
    record.seq = getLe(p + 5, 8);
    record.text.assign(text);
    pos_ += kHeaderSize + length;
    return true;
  }
}

// --- replay ----------------------------------------------------------------------------------

void Replay::apply(const Record& record) {
  switch (record.type) {
    case Type::Push:
      if (record.seq < nextSeq) {
        ++duplicates;
        return;
      }
      if (record.seq > nextSeq) ++gaps;
      lines.push_back({record.seq, record.text});
      nextSeq = record.seq + 1;
      return;
    case Type::Front:
      while (!lines.empty() && lines.front().seq < record.seq) lines.pop_front();
      if (record.seq > nextSeq) {
        ++gaps;
        nextSeq = record.seq;
      }
      return;
    case Type::Base:
      return;  // the loader matches it against the queue file
  }
}

}  // namespace orv::journal
