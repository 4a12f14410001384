#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/cancel_event.h"
#include "common/ini_file.h"
#include "common/operator_questions.h"
#include "common/serial_port.h"
#include "common/unique_fd.h"
#include "server/core/config.h"

namespace orv {

class tOItem;

// The serial output's line settings and its time-sync interval.
struct SerialOutputSettings {
  int com = 0;  // COM n, through the [Ports] mapping of the program's INI file
  SerialSettings serial;
  int64_t syncIntervalMs = 60 * 60000;  // between "systime" frames; 0 or less: never
};
// [Out] Com, Baud, DataBits, Parity, StopBits, FlowCtrl and SyncP (minutes).
SerialOutputSettings serialOutputSettings(const OutSettings& out);

// The wire form of a queued line: its text cut before the first "*" and before the first DC4,
// followed by one DC4.
std::string serialOutputFrame(std::string_view line);

// The serial output: serves the "Com" channel to a receiver-output device on a serial port.
// Each frame waits for the device's answer; a lone ACK byte removes the line that was sent, no
// answer within kReplyWaitMs marks the device detached, and anything else sends the line again.
// The line stays queued (and in the queue file) until it is acknowledged.
class TOutThrd {
 public:
  static constexpr int kReplyWaitMs = 5000;
  static constexpr size_t kMaxReply = 255;
  // After an answer that is no ACK: a device that answers junk at once would otherwise be sent
  // the same frame as fast as the line allows.
  static constexpr int kRetryPauseMs = 100;
  // The longest idle wait; new lines wake the thread at once.
  static constexpr int kIdleWaitMs = 1000;

  // Opens the port and starts serving `item`. When the port cannot be opened the operator is
  // told ("Cannot open Com port!") and nothing runs: the channel keeps queueing. `item` and
  // `outputsChanged` must outlive this object.
  TOutThrd(const IniFile& ini, SerialOutputSettings settings, tOItem& item,
           OperatorQuestions& questions, std::atomic<uint8_t>* outputsChanged = nullptr);
  ~TOutThrd();  // stop()
  TOutThrd(const TOutThrd&) = delete;
  TOutThrd& operator=(const TOutThrd&) = delete;

  // Ends the thread within a few milliseconds, whatever it waits for, and waits for it.
  void stop();
  // The port opened and the thread serves it (until stopped or the port fails).
  bool serving() const { return serving_.load(std::memory_order_acquire); }

 private:
  enum class Answer { Ack, Other, None, Stopped, Failed };

  void run();
  // Sends one frame and waits for its answer.
  Answer exchange(const std::string& frame);
  using Clock = std::chrono::steady_clock;
  // Waits until a line is queued, the sync is due, the wait limit passes or a stop.
  void awaitWork(std::optional<Clock::time_point> nextSync);
  void setAttached(bool attached);

  SerialOutputSettings settings_;
  tOItem& item_;
  std::atomic<uint8_t>* outputsChanged_;
  std::optional<SerialPort> port_;
  CancelEvent cancel_;
  UniqueFd waker_;
  bool attached_ = false;  // this thread's share of the item's clientCount
  std::atomic<bool> serving_{false};
  std::thread thread_;
};

}  // namespace orv
