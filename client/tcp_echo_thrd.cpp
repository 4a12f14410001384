#include "client/tcp_echo_thrd.h"

#include <string_view>
#include <system_error>

#include "common/diag.h"

namespace orv {
namespace {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

void toUpper(std::string& s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
}

}  // namespace

TTCPEchoThrd::TTCPEchoThrd(tChannelBuffers& buffers, std::string host, uint16_t port,
                           std::string channel, std::filesystem::path logDir, EchoTimings timings)
    : buffers_(buffers),
      host_(std::move(host)),
      port_(port),
      channel_(std::move(channel)),
      timings_(timings),
      log_(std::move(logDir)) {
  // The log directory is not created: a host switches the log on by having ./Pelkonlog/.
  socket_.setCancelFd(cancel_.fd());
  thread_ = std::thread([this] { run(); });
}

TTCPEchoThrd::~TTCPEchoThrd() {
  stop();
}

void TTCPEchoThrd::stop() {
  cancel_.set();
  if (thread_.joinable()) thread_.join();
}

void TTCPEchoThrd::run() {
  while (!cancel_.isSet()) {
    if (!socket_.isOpen()) {
      if (connectOnce()) {
        if (failures_ > 0) {
          failures_ = 0;
          buffers_.pushLine(kLinkBackLine);
        }
        continue;
      }
      if (cancel_.isSet()) break;
      countFailure();
      for (int i = 0; i < timings_.reconnectPauses; ++i) {
        if (cancel_.waitMs(timings_.reconnectPauseMs)) break;
      }
      continue;
    }
    bool keep = false;
    try {
      keep = cycle();
    } catch (const std::exception& e) {
      diagf("Pelkon connection to %s:%u: %s", host_.c_str(), port_, e.what());
    }
    if (!keep) disconnect();
  }
  if (socket_.isOpen()) disconnect();
}

bool TTCPEchoThrd::connectOnce() {
  int err = socket_.connect(host_, port_, timings_.connectMs);
  std::string banner;
  if (err == 0) {
    cancel_.waitMs(timings_.afterConnectMs);
    // Any text is a banner; none within the limit fails the attempt.
    err = socket_.receiveLine(banner, LineEnd::CrLf, timings_.bannerMs);
  }
  if (err == 0) err = socket_.send(channel_ + "\r\n");
  if (err != 0) {
    lastError_ = describeSocketError(err);
    socket_.close();
    return false;
  }
  lastError_.clear();
  life_ = timings_.lifeStart;
  // The server ignores the reply to its channel status line, so no command may ride on it.
  answeringChannelStatus_ = true;
  publishRow();
  return true;
}

void TTCPEchoThrd::countFailure() {
  if (failures_ == 2) {
    buffers_.pushLine(kLinkLostLine);
    failures_ = 3;
  } else if (failures_ < 4) {
    ++failures_;
  }
}

int TTCPEchoThrd::sendReply(bool mayCarryCommand) {
  std::string reply = "0";
  std::optional<std::string> command;
  if (mayCarryCommand) command = buffers_.takeCommand();
  if (command) reply += *command;
  int err = socket_.send(reply + "\r\n");
  if (err != 0 && command) buffers_.returnCommand(std::move(*command));
  return err;
}

bool TTCPEchoThrd::cycle() {
  if (cancel_.waitMs(timings_.cycleMs)) return false;
  const size_t waiting = buffers_.lineCount();
  if (waiting > timings_.slowDownAbove && cancel_.waitMs(timings_.slowDownMs)) return false;
  if (waiting >= buffers_.maxLines()) {
    // Unread lines stay with the server until the host takes some.
    return true;
  }
  std::string line;
  int err = socket_.receiveLine(line, LineEnd::CrLf, timings_.receiveMs);
  --life_;
  if (err == 0) {
    life_ = timings_.lifeStart;
    lastLine_ = line.substr(0, tChannelBuffers::kMaxLineKept);
    if (line.find('@') == std::string::npos) log_.append(line);
    // The server ignores the replies to its channel status line and to time syncs.
    const bool carries = !answeringChannelStatus_ && !startsWithNoCase(line, "SYSTIME");
    answeringChannelStatus_ = false;
    err = sendReply(carries);
    if (line.empty() || (line[0] != 'S' && line[0] != '3')) toUpper(line);
    buffers_.pushLine(std::move(line));
  } else if (err == kWsaTimedOut) {
    // A command sent alone while a line is on its way would be read as that line's
    // acknowledgement, and our real one as the next line's: wait until the line is in.
    const bool lineArriving = socket_.bufferedBytes() > 0;
    err = buffers_.hasCommand() && !lineArriving ? sendReply(true) : 0;
  }
  if (err != 0) lastError_ = describeSocketError(err);
  publishRow();
  if (err != 0 && err != kWsaTimedOut) {
    if (err != kWsaInterrupted) {
      diagf("Pelkon connection to %s:%u: %s", host_.c_str(), port_, lastError_.c_str());
    }
    return false;
  }
  if (life_ < 1) {
    diagf("Pelkon connection to %s:%u: nothing received for %d cycles; reconnecting", host_.c_str(),
          port_, timings_.lifeStart);
    return false;
  }
  return true;
}

void TTCPEchoThrd::disconnect() {
  buffers_.removeHost(this);
  socket_.close();
}

void TTCPEchoThrd::publishRow() {
  buffers_.setHost(this, HostRow{socket_.fd(), host_, life_, lastLine_, lastError_});
}

// --- listening mode ---------------------------------------------------------------------

TListThrd::TListThrd(uint16_t port) {
  listener_.setCancelFd(cancel_.fd());
  if (listener_.listen(port, "Pelkon listener") == 0) {
    port_ = listener_.localPort();
    diagf("Pelkon listening on port %u; connections are accepted and closed at once", port_);
    thread_ = std::thread([this] { run(); });
  }
}

TListThrd::~TListThrd() {
  stop();
}

void TListThrd::stop() {
  cancel_.set();
  if (thread_.joinable()) thread_.join();
  listener_.close();
}

void TListThrd::run() {
  while (!cancel_.isSet()) {
    if (!listener_.waitForConnection(1000)) continue;
    LineSocket connection;
    if (listener_.accept(connection) != 0) continue;
    diagf("Pelkon listener: connection from %s closed; listening mode serves no connections",
          connection.peerAddress().c_str());
  }
}

}  // namespace orv
