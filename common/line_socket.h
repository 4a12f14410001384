#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/socket_error.h"
#include "common/unique_fd.h"

namespace orv {

// Terminators of the text protocols: CR (DC-09 frames), CR LF (module, TcpDrv, output and SMS
// lines) and DC4 (receiver-device links).
enum class LineEnd : uint8_t { Cr, CrLf, Dc4 };

inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;
inline constexpr char kDc4 = 0x14;

// A TCP socket for line protocols: listen on 0.0.0.0 with a readiness wait, accept or connect,
// send text, receive up to a terminator with a time-out. Bytes after a terminator, and a partial
// line on a time-out, stay buffered for the next call.
//
// Every call returns 0 or a socket error code (socket_error.h), which also becomes lastError().
// A time-out is kWsaTimedOut and leaves the connection usable; any other error means the
// connection is over. One socket is used by one thread at a time; shutdown() may be called from
// any thread to end a blocking call early.
class LineSocket {
 public:
  // The most a line may hold, terminator not counted. A peer that sends more without a
  // terminator ends its connection with kErrLineTooLong and a diagnostic naming it.
  static constexpr size_t kMaxLine = 64 * 1024;

  LineSocket() = default;
  LineSocket(LineSocket&&) noexcept = default;
  LineSocket& operator=(LineSocket&&) noexcept = default;

  // Binds 0.0.0.0:port and listens. On failure a diagnostic names `what`, the port and the
  // reason. Port 0 picks a free port (see localPort()).
  int listen(uint16_t port, std::string_view what);
  // Waits up to timeoutMs for a pending connection.
  bool waitForConnection(int timeoutMs);
  int accept(LineSocket& connection);

  int connect(std::string_view host, uint16_t port, int timeoutMs);

  // Sends all of `data` within timeoutMs (a peer that does not read gets kWsaTimedOut).
  int send(std::string_view data, int timeoutMs = 10000);
  // Receives one line without its terminator. On a time-out `line` is empty.
  int receiveLine(std::string& line, LineEnd end, int timeoutMs);
  // Receives one byte (buffered bytes first).
  int receiveByte(char& byte, int timeoutMs);

  // Ends both directions; a blocking call in another thread returns with an error.
  void shutdown();
  // While `fd` (an eventfd, say) is readable every wait of this socket ends at once with
  // kWsaInterrupted: how another thread cancels a blocking call without touching the socket.
  void setCancelFd(int fd) { cancelFd_ = fd; }
  void close();

  bool isOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  int lastError() const { return lastError_; }
  const std::string& peerAddress() const { return peerAddress_; }
  uint16_t peerPort() const { return peerPort_; }
  uint16_t localPort() const;
  size_t bufferedBytes() const { return buffer_.size() - head_; }

 private:
  int fail(int code);
  // Waits for input and appends what arrived to the buffer, at most `room` bytes.
  int fill(size_t room, int timeoutMs);
  void compact();

  UniqueFd fd_;
  std::string buffer_;
  size_t head_ = 0;     // start of unread data in buffer_
  size_t scanned_ = 0;  // unread bytes already searched for scannedFor_
  LineEnd scannedFor_ = LineEnd::CrLf;
  int lastError_ = 0;
  int cancelFd_ = -1;
  std::string peerAddress_;
  uint16_t peerPort_ = 0;
};

}  // namespace orv
