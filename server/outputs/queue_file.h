#pragma once

#include <deque>
#include <filesystem>
#include <string>

namespace orv {

// A queue file: one queued line per line, oldest first, each ending in "\n".

// The most a queued line may hold; longer lines in a file are skipped when it is loaded.
inline constexpr size_t kMaxQueuedLine = 64 * 1024;
// The most of a queue file that is read.
inline constexpr size_t kMaxQueueFile = 256u * 1024 * 1024;

// Reads what it can: lines may end in "\n" or "\r\n", the last one without either; empty lines
// and lines over kMaxQueuedLine are skipped with a diagnostic. A missing file gives no lines.
std::deque<std::string> loadQueueFile(const std::filesystem::path& file);

// Replaces the file so that a crash at any moment leaves either the old or the new complete
// file: a temporary file is written and flushed to disk, then renamed over it, and the directory
// is flushed. An empty queue removes the file. False with the reason in *error on failure.
bool writeQueueFile(const std::filesystem::path& file, const std::deque<std::string>& lines,
                    std::string* error);

}  // namespace orv
