#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orv {

// One row of a channel's host list: a connection thread while it is connected.
struct HostRow {
  int32_t hpId = 0;  // the connection's socket handle
  std::string ip;
  int32_t mCnt = 0;  // life counter
  std::string lastMessage;
  std::string errorCode;
};

// What a channel's connection thread and the host's calls share, under one lock: the lines
// received and not yet taken, the commands not yet sent, and the host list.
class tChannelBuffers {
 public:
  // A host that stops polling must not make the library grow without end: past this many
  // waiting lines the connection thread stops reading, and the server keeps the rest queued.
  static constexpr size_t kMaxLines = 100000;

  explicit tChannelBuffers(size_t maxLines = kMaxLines) : maxLines_(maxLines) {}
  size_t maxLines() const { return maxLines_; }
  // Lines are kept only as far as a record can use them.
  static constexpr size_t kMaxLineKept = 255;
  // Commands longer than this are refused; the server would end the connection over them.
  static constexpr size_t kMaxCommand = 4096;
  static constexpr size_t kMaxCommands = 1000;

  void pushLine(std::string line);
  size_t lineCount() const;
  // Runs f(lines) under the lock.
  template <typename F>
  auto withLines(F&& f) {
    std::lock_guard lock(lock_);
    return f(lines_);
  }

  // Queues a command; false (with a diagnostic) when it cannot be carried.
  bool addCommand(std::string_view text);
  std::optional<std::string> takeCommand();
  // Puts back a command whose sending failed, as the oldest.
  void returnCommand(std::string text);
  bool hasCommand() const;

  void setHost(const void* owner, HostRow row);
  void removeHost(const void* owner);
  std::vector<HostRow> hosts() const;

 private:
  const size_t maxLines_;
  mutable std::mutex lock_;
  std::deque<std::string> lines_;
  std::deque<std::string> commands_;
  std::vector<std::pair<const void*, HostRow>> hosts_;
};

}  // namespace orv
