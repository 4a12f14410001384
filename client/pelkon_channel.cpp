#include "client/pelkon_channel.h"

#include "common/diag.h"

namespace orv {

tPelkonChannel::tPelkonChannel(PelkonSettings settings, std::filesystem::path logDir,
                               EchoTimings timings)
    : settings_(std::move(settings)), converter_(settings_.converter) {
  if (settings_.client) {
    diagf("Pelkon [%s]: Connections Port=%u host=%s channel '%s'", settings_.section.c_str(),
          settings_.port, settings_.host.c_str(), settings_.id.c_str());
    connection_ = std::make_unique<TTCPEchoThrd>(buffers_, settings_.host, settings_.port,
                                                 settings_.id, std::move(logDir), timings);
  } else {
    diagf("Pelkon [%s]: Connections Port=%u (listening)", settings_.section.c_str(),
          settings_.port);
    listener_ = std::make_unique<TListThrd>(settings_.port);
  }
}

tPelkonChannel::~tPelkonChannel() {
  if (connection_) connection_->stop();
  if (listener_) listener_->stop();
}

int32_t tPelkonChannel::getMsg(OrvMessage& msg) {
  std::lock_guard lock(convertLock_);
  return buffers_.withLines(
      [&](std::deque<std::string>& lines) { return converter_.getMsg(lines, msg); });
}

}  // namespace orv
