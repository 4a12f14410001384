#pragma once

#include <stop_token>
#include <string>
#include <thread>

#include "common/cancel_event.h"
#include "common/line_socket.h"

namespace orv {

class tOItem;

// The forwarding connection of an output item: it connects to the item's target and sends the
// lines of the item's forward queue one at a time, removing a line only when the peer answers
// "0". Any error or a reply slower than 2 s drops the connection; the next cycle connects again,
// 5 s after a failed attempt. It never gives up.
class TOOThread {
 public:
  static constexpr int kCycleMs = 20;
  static constexpr int kConnectedPauseMs = 200;
  static constexpr int kReplyMs = 2000;
  static constexpr int kRetryMs = 5000;
  static constexpr int kConnectMs = 3000;

  explicit TOOThread(tOItem& item);
  ~TOOThread();  // stops; lines still in the list are dropped with the item
  TOOThread(const TOOThread&) = delete;
  TOOThread& operator=(const TOOThread&) = delete;

  void stop();

 private:
  void run();

  tOItem& item_;
  CancelEvent cancel_;
  LineSocket socket_;
  std::jthread thread_;
};

}  // namespace orv
