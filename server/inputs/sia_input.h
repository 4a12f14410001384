#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cancel_event.h"
#include "common/connection_threads.h"
#include "common/line_socket.h"
#include "common/ten_day_log.h"

namespace orv {

class tOList;

struct SiaSettings {
  uint16_t port = 910;
  uint8_t line = 1;
  uint32_t lifeTimeMs = 20 * 60000u;
  std::filesystem::path logDir;  // ./Orv_Sia/
};

class TSIAListThrd;

// One transmitter's connection: frames in, each checked and answered, the known messages
// converted and queued.
class TSIAEchoThrd {
 public:
  TSIAEchoThrd(TSIAListThrd& input, LineSocket socket, int64_t id);
  ~TSIAEchoThrd();
  void requestStop() { cancel_.set(); }
  void join();
  bool finished() const { return finished_.load(); }

  // The "Sia" page: "Ip", "Id", "MCnt", "LastMessage".
  struct Row {
    std::string ip;
    int64_t id;
    int32_t messageCount;
    std::string lastMessage;
  };
  Row row() const;

 private:
  void run();
  // The receive step: one frame without its CR, joined across a CR inside the raw CRC bytes.
  int receiveFrame(std::string& frame);
  void handle(const std::string& frame);
  void setCurrent(std::string text, bool dispatched);

  TSIAListThrd& input_;
  LineSocket socket_;
  const int64_t id_;
  CancelEvent cancel_;
  mutable std::mutex rowLock_;
  int32_t messageCount_ = 0;
  std::string current_;
  int64_t rx_ = 0;
  int64_t tx_ = 0;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// The SIA DC-09 receiver: a listener and one thread per transmitter (tSIAList).
class TSIAListThrd {
 public:
  static constexpr size_t kMaxConnections = 256;

  TSIAListThrd(SiaSettings settings, tOList* outputs, std::atomic<uint8_t>* outputsChanged,
               std::atomic<uint8_t>* viewChanged);
  ~TSIAListThrd() { stop(); }
  TSIAListThrd(const TSIAListThrd&) = delete;
  TSIAListThrd& operator=(const TSIAListThrd&) = delete;

  void stop() { hosts_.stop(); }
  uint16_t port() const { return hosts_.port(); }
  size_t connectionCount() const { return hosts_.count(); }
  std::vector<TSIAEchoThrd::Row> rows() const;

 private:
  friend class TSIAEchoThrd;
  void flag();

  SiaSettings settings_;
  tOList* outputs_;
  std::atomic<uint8_t>* outputsChanged_;
  std::atomic<uint8_t>* viewChanged_;
  TenDayLog log_;
  std::atomic<int64_t> nextId_{0};
  ConnectionThreads<TSIAEchoThrd> hosts_;  // tSIAList and its listener
};

}  // namespace orv
