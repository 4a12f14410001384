#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "server/programming/image_blocks.h"

namespace orv {

// What an operator's console shares with the transports that carry its commands: the answer
// flag, the memory images that transfers fill and send, and the trace of what went over the
// link. There is one per process (the design has one console and one text image).
class ModuleConsole {
 public:
  // 0 waiting; 1 answered or transfer ended; 2 dialog closed or download incomplete;
  // -1 no answer; -2 the module reports its object armed ("STAT ERR").
  std::atomic<int32_t> answerFlag{0};

  // Images, guarded by imageLock: the worker fills and sends them, the console reads and edits
  // them between transfers.
  std::mutex imageLock;
  ConfigImage configImage{};
  TextImage textImage{};
  DeviceImage deviceImage{};

  // "<-" + received line, "->" + sent block. Called from the transports' threads.
  void trace(std::string_view text) const;
  void setTraceSink(std::function<void(std::string_view)> sink);

  // The debug window's watch: lines from and to the module with this identifier.
  void setWatch(std::string identifier, std::function<void(bool incoming, std::string_view)> sink);
  void watch(std::string_view identifier, bool incoming, std::string_view text) const;

 private:
  mutable std::mutex sinkLock_;
  std::function<void(std::string_view)> traceSink_;
  std::string watchedId_;
  std::function<void(bool, std::string_view)> watchSink_;
};

}  // namespace orv
