#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/diag.h"
#include "common/event_connections.h"
#include "common/ten_day_log.h"

namespace orv {

class tOList;

// Receiver lines as other receivers send them: "5" + receiver + line digit + event text,
// "*" and the XOR of the characters before it as two hex digits.

// Whether the two hex digits after the first "*" equal the XOR of the text before it.
bool tcpDrvChecksumOk(std::string_view line);
// The line cut after its first "*" with the XOR of the text before it, "%2.2X".
std::string withTcpDrvChecksum(std::string_view line);

struct TcpDrvSettings {
  uint16_t port = 910;
  uint8_t line = 1;
  uint32_t lifeTimeMs = 20 * 60000u;
  std::filesystem::path logDir;  // ./Orv_TcpDrv/
  AdmissionRules admission;
};

class TListThrd1;

// One sender's connection: a line that begins with "5" and has a right checksum is logged and
// queued, and its ACK byte goes out once it is stored; any other line beginning with "5" gets a
// NAK byte, so that the sender repeats it. Served by the input's event loop.
class TTCPEchoThrd1 : public EventConnection {
 public:
  explicit TTCPEchoThrd1(TListThrd1& input);

  // The "TcpDrv" page: "Ip", "MCnt", "LastMessage".
  struct Row {
    std::string ip;
    int32_t messageCount;
    std::string lastLine;
    int lastError;
  };
  Row row() const;

  size_t onInput(std::string_view unread, size_t fresh) override;
  void onTick(uint32_t now) override;
  void onClosed(int error) override;

 private:
  // The line's ticket once it is queued; std::nullopt when it is refused.
  std::optional<uint64_t> accept(std::string_view line);
  void setLastError(int error);

  TListThrd1& input_;
  uint32_t lastLineAt_;
  std::vector<std::string_view> lines_;  // of the current input, reused
  mutable std::mutex rowLock_;
  int32_t messageCount_ = 0;
  std::string lastLine_;
  int lastError_ = 0;
};

// The TcpDrv input: a listener and the event loop that serves its connections (the host list).
class TListThrd1 {
 public:
  static constexpr size_t kMaxConnections = 256;

  TListThrd1(TcpDrvSettings settings, tOList* outputs, std::atomic<uint8_t>* outputsChanged);
  ~TListThrd1();
  TListThrd1(const TListThrd1&) = delete;
  TListThrd1& operator=(const TListThrd1&) = delete;

  // The connections are ended, newest first, after the listener has stopped. Idempotent.
  void stop() { hosts_.stop(); }
  // The same without waiting for it.
  void requestStopConnections() { hosts_.requestStop(); }
  uint16_t port() const { return hosts_.port(); }
  size_t connectionCount() const { return hosts_.count(); }
  std::vector<TTCPEchoThrd1::Row> rows() const;

 private:
  friend class TTCPEchoThrd1;

  TcpDrvSettings settings_;
  tOList* outputs_;
  std::atomic<uint8_t>* outputsChanged_;
  TenDayLog log_;
  PeerDiag refused_{"TcpDrv input"};
  EventConnections<TTCPEchoThrd1> hosts_;  // tHostList1 and its listener
};

}  // namespace orv
