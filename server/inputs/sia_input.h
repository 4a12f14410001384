#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_connections.h"
#include "common/ten_day_log.h"
#include "server/inputs/sia_datagrams.h"
#include "server/inputs/sia_frame.h"
#include "server/inputs/sia_keys.h"
#include "server/inputs/sia_receive.h"

namespace orv {

class tOList;

struct SiaSettings {
  uint16_t port = 910;
  uint8_t line = 1;
  uint32_t lifeTimeMs = 20 * 60000u;
  std::filesystem::path logDir;  // ./Orv_Sia/
  AdmissionRules admission;
  SiaKeys keys;
  SiaTimeWindow window;
  bool udp = false;  // frames also as datagrams on the same port number
};

class TSIAListThrd;

// One transmitter's connection: frames in, each checked and answered, the known messages
// converted and queued. Served by the receiver's event loop.
class TSIAEchoThrd : public EventConnection {
 public:
  TSIAEchoThrd(TSIAListThrd& input, int64_t id);

  // The "Sia" page: "Ip", "Id", "MCnt", "LastMessage".
  struct Row {
    std::string ip;
    int64_t id;
    int32_t messageCount;
    std::string lastMessage;
  };
  Row row() const;

  size_t onInput(std::string_view unread, size_t fresh) override;
  void onTick(uint32_t now) override;
  void onClosed(int error) override;

 private:
  // The receive step: each piece up to a CR goes to the joiner, and a whole frame is handled.
  void takePiece(std::string_view piece);
  void handle(const std::string& frame);
  void setCurrent(std::string text, bool dispatched);

  TSIAListThrd& input_;
  const int64_t id_;
  SiaFrameJoiner joiner_{LineSocket::kMaxLine};
  uint32_t lastFrameAt_;
  int64_t rx_ = 0;
  int64_t tx_ = 0;
  mutable std::mutex rowLock_;
  int32_t messageCount_ = 0;
  std::string current_;
};

// The SIA DC-09 receiver: a listener and the event loop that serves the transmitters (tSIAList).
class TSIAListThrd {
 public:
  static constexpr size_t kMaxConnections = 256;

  TSIAListThrd(SiaSettings settings, tOList* outputs, std::atomic<uint8_t>* outputsChanged,
               std::atomic<uint8_t>* viewChanged);
  ~TSIAListThrd() { stop(); }
  TSIAListThrd(const TSIAListThrd&) = delete;
  TSIAListThrd& operator=(const TSIAListThrd&) = delete;

  void stop();
  uint16_t port() const { return hosts_.port(); }
  size_t connectionCount() const { return hosts_.count(); }
  std::vector<TSIAEchoThrd::Row> rows() const;

 private:
  friend class TSIAEchoThrd;
  void flag();
  uint64_t push(const std::string& line);

  SiaSettings settings_;
  tOList* outputs_;
  std::atomic<uint8_t>* outputsChanged_;
  std::atomic<uint8_t>* viewChanged_;
  TenDayLog log_;
  SiaReceiver receiver_;
  std::atomic<int64_t> nextId_{0};
  EventConnections<TSIAEchoThrd> hosts_;  // tSIAList and its listener
  std::unique_ptr<SiaDatagrams> datagrams_;
};

}  // namespace orv
