#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "client/channel_buffers.h"
#include "common/cancel_event.h"
#include "common/line_socket.h"
#include "common/ten_day_log.h"

namespace orv {

// Status lines the connection thread puts into the buffer itself.
inline constexpr const char* kLinkLostLine = "1011      0000 T  52";
inline constexpr const char* kLinkBackLine = "1011      0000 R  52";

struct EchoTimings {
  int connectMs = 5000;  // for the TCP connect itself
  int afterConnectMs = 200;
  int bannerMs = 500;
  int receiveMs = 2000;
  int cycleMs = 2;
  int slowDownMs = 100;  // extra pause while many lines wait
  size_t slowDownAbove = 100;
  int lifeStart = 22;
  int reconnectPauses = 5;
  int reconnectPauseMs = 1000;
};

// The connection of one channel to the server's output port: connects, names the channel,
// acknowledges every line with "0" (carrying the oldest waiting command), logs and buffers what
// arrives, and reconnects when the connection breaks or falls silent.
class TTCPEchoThrd {
 public:
  TTCPEchoThrd(tChannelBuffers& buffers, std::string host, uint16_t port, std::string channel,
               std::filesystem::path logDir = "Pelkonlog", EchoTimings timings = {});
  ~TTCPEchoThrd();
  TTCPEchoThrd(const TTCPEchoThrd&) = delete;
  TTCPEchoThrd& operator=(const TTCPEchoThrd&) = delete;

  // Terminate, then wait.
  void stop();

 private:
  void run();
  bool connectOnce();
  void countFailure();
  // One receive cycle; false when the connection is to be dropped.
  bool cycle();
  void disconnect();
  int sendReply(bool mayCarryCommand);
  void publishRow();

  tChannelBuffers& buffers_;
  const std::string host_;
  const uint16_t port_;
  const std::string channel_;
  const EchoTimings timings_;
  TenDayLog log_;

  LineSocket socket_;
  int life_ = 0;
  std::string lastLine_;
  std::string lastError_;
  int failures_ = 0;
  bool answeringChannelStatus_ = false;

  CancelEvent cancel_;
  std::thread thread_;
};

// Listening mode: accepts connections on the port and ends them at once; nothing is read.
class TListThrd {
 public:
  explicit TListThrd(uint16_t port);
  ~TListThrd();
  void stop();
  uint16_t port() const { return port_; }

 private:
  void run();

  LineSocket listener_;
  uint16_t port_ = 0;
  CancelEvent cancel_;
  std::thread thread_;
};

}  // namespace orv
