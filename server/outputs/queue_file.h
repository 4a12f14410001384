#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>

namespace orv {

// A queue file: one queued line per line, oldest first, each ending in "\n".

// The most a queued line may hold; longer lines in a file are skipped when it is loaded.
inline constexpr size_t kMaxQueuedLine = 64 * 1024;
// The most of a queue file that is read.
inline constexpr size_t kMaxQueueFile = 256u * 1024 * 1024;

// What was read of a queue file: its size and CRC-32C as it lies on disk (what a journal names
// when it continues the file), and whether the lines read give back exactly those bytes.
struct QueueFileInfo {
  uint64_t bytes = 0;
  uint32_t crc = 0;
  bool exact = true;
};

// Reads what it can: lines may end in "\n" or "\r\n", the last one without either; empty lines
// and lines over kMaxQueuedLine are skipped with a diagnostic. A missing file gives no lines.
std::deque<std::string> loadQueueFile(const std::filesystem::path& file,
                                      QueueFileInfo* info = nullptr);

// The file's contents for these lines.
std::string queueFileText(const std::deque<std::string>& lines);

}  // namespace orv
