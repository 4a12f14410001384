#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "client/Pelkon.h"
#include "client/channel_buffers.h"
#include "client/msg_converter.h"
#include "client/pelkon_settings.h"
#include "client/tcp_echo_thrd.h"

namespace orv {

// One channel opened by orv_InitComm: its buffers, its converter and its connection thread (or,
// in listening mode, its listener).
class tPelkonChannel {
 public:
  explicit tPelkonChannel(PelkonSettings settings, std::filesystem::path logDir = "Pelkonlog",
                          EchoTimings timings = {});
  ~tPelkonChannel();

  int32_t getMsg(OrvMessage& msg);
  void setMsg(std::string_view text) { buffers_.addCommand(text); }
  const PelkonSettings& settings() const { return settings_; }
  tChannelBuffers& buffers() { return buffers_; }

 private:
  const PelkonSettings settings_;
  tChannelBuffers buffers_;
  std::mutex convertLock_;  // a host may call from more than one thread after all
  tMsgConverter converter_;
  std::unique_ptr<TTCPEchoThrd> connection_;
  std::unique_ptr<TListThrd> listener_;
};

}  // namespace orv
