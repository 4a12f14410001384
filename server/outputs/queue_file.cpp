#include "server/outputs/queue_file.h"

#include <fstream>

#include "common/crc32c.h"
#include "common/diag.h"

namespace orv {

std::deque<std::string> loadQueueFile(const std::filesystem::path& file, QueueFileInfo* info) {
  std::deque<std::string> lines;
  QueueFileInfo read;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (info) *info = read;
    return lines;
  }
  size_t total = 0, skipped = 0;
  std::string line;
  bool tooLong = false;
  char buf[65536];
  auto finish = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The buffer holds one byte more than a line may have, for a "\r" that did not come.
    if (tooLong || line.size() > kMaxQueuedLine) {
      ++skipped;
    } else if (!line.empty()) {
      lines.push_back(std::move(line));
    }
    line.clear();
    tooLong = false;
  };
  while (in && total < kMaxQueueFile) {
    in.read(buf, sizeof buf);
    size_t n = static_cast<size_t>(in.gcount());
    if (n == 0) break;
    total += n;
    read.crc = crc32c(std::string_view(buf, n), read.crc);
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        finish();
      } else if (!tooLong) {
        if (line.size() >= kMaxQueuedLine + 1) {  // + 1: a "\r" may still follow
          tooLong = true;
          line.clear();
        } else {
          line.push_back(buf[i]);
        }
      }
    }
  }
  // A line running over the read limit is only a piece of a line: it is not queued.
  const bool cut = total >= kMaxQueueFile && in.peek() != std::ifstream::traits_type::eof();
  if (cut) {
    line.clear();
    tooLong = false;
  }
  finish();
  if (skipped > 0) {
    diagf("%s: %zu lines longer than %zu bytes skipped", file.c_str(), skipped, kMaxQueuedLine);
  }
  if (cut) {
    diagf("%s: larger than %zu bytes; the rest is not loaded", file.c_str(), kMaxQueueFile);
  }
  if (info) {
    read.bytes = total;
    size_t rebuilt = 0;
    for (const std::string& l : lines) rebuilt += l.size() + 1;
    read.exact = !cut && rebuilt == total;
    *info = read;
  }
  return lines;
}

std::string queueFileText(const std::deque<std::string>& lines) {
  size_t size = 0;
  for (const std::string& l : lines) size += l.size() + 1;
  std::string text;
  text.reserve(size);
  for (const std::string& l : lines) {
    text += l;
    text += '\n';
  }
  return text;
}

}  // namespace orv
