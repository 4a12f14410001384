#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <termios.h>

#include "common/ini_file.h"
#include "common/unique_fd.h"

namespace orv {

// Line settings with the numbering the INI files use.
struct SerialSettings {
  static constexpr int kParityNone = 0;
  static constexpr int kParityOdd = 1;
  static constexpr int kParityEven = 2;
  static constexpr int kParityMark = 3;
  static constexpr int kParitySpace = 4;

  static constexpr int kStopBitsOne = 0;
  static constexpr int kStopBitsOneAndHalf = 1;  // opened as two: Linux has no 1.5
  static constexpr int kStopBitsTwo = 2;

  static constexpr int kFlowNone = 0;
  static constexpr int kFlowXonXoff = 1;  // both directions
  static constexpr int kFlowRtsCts = 2;   // hardware handshake, DTR raised

  int32_t baud = 9600;
  int dataBits = 8;  // 5 to 8
  int parity = kParityNone;
  int stopBits = kStopBitsOne;
  int flowCtrl = kFlowNone;
};

// Sets the line settings in `tio`, and raw mode with CLOCAL and CREAD, VMIN 0 and VTIME 0 (all
// waits are poll()); the rest of `tio` stays. False with the reason in `reason` for settings that
// cannot be opened. Pseudo-terminals pin 8 data bits without parity whatever is asked; real ports
// take what this sets.
bool applySerialSettings(termios& tio, const SerialSettings& settings, std::string& reason);

// The device path of "COM n": the program's INI file may map it in [Ports] ("COM3=/dev/ttyUSB0");
// otherwise COM n is /dev/ttyS(n-1). An empty mapping counts as none. COM 0 and negative numbers
// name no port (std::nullopt).
std::optional<std::filesystem::path> serialPortPath(const IniFile& ini, int com);

// The COM numbers 1..maxCom that name a port here: mapped in [Ports], or /dev/ttyS(n-1) exists.
// What the settings dialogs offer in their port lists.
std::vector<int> presentComPorts(const IniFile& ini, int maxCom = 99);

// One serial port, opened raw, exclusively and non-blocking; all waits are poll() with a limit.
//
// A port that fails (unplugged adapter, pseudo-terminal whose other side closed, I/O error) is
// reported once with a diagnostic; from then on read() returns -1 and write() false, quietly, so
// the caller can stop. One thread may read while another writes; everything else belongs to the
// owning thread.
class SerialPort {
 public:
  // What read() returns when the cancel descriptor ended its wait.
  static constexpr int kCancelled = -2;

  // Opens `path` as COM `com`. Every failure writes exactly one diagnostic line naming the COM
  // number, the path and the reason, and gives std::nullopt: a path that is no character device
  // or no terminal, a port another program holds, a baud rate without a termios constant, data
  // bits other than 5-8, unknown parity/stop-bit/flow values, or a driver that did not take the
  // settings.
  static std::optional<SerialPort> open(int com, const std::filesystem::path& path,
                                        const SerialSettings& settings);
  // Resolves the path through serialPortPath() first; COM 0 gives no port and no diagnostic.
  static std::optional<SerialPort> open(const IniFile& ini, int com,
                                        const SerialSettings& settings);

  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort();

  // Waits up to timeoutMs (negative: no limit) for input, then appends to `out` what the driver
  // holds, at most maxBytes. Returns the number of bytes appended; 0 on a time-out; kCancelled
  // when the cancel descriptor is readable (checked before any input); -1 when the port has
  // failed. Bytes the driver still holds at a hang-up are delivered first.
  int read(std::string& out, size_t maxBytes, int timeoutMs);

  // Writes all of `data`, waiting while the driver's buffer is full. False when the time runs out
  // (a port held by flow control), on an error (both with a diagnostic), or when the cancel
  // descriptor is readable (quietly). After a false return part of `data` may have gone out.
  bool write(std::string_view data, int timeoutMs = 2000);

  // Bytes the driver holds for reading.
  size_t pendingInput() const;
  // Drops what the driver holds for reading.
  void discardInput();

  // While `fd` (an eventfd, say) is readable every wait of this port ends at once; -1 for none.
  void setCancelFd(int fd) { cancelFd_ = fd; }

  // Releases the port (exclusive use and lock included). Also done on destruction.
  void close();

  bool isOpen() const { return fd_.valid(); }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  int fd() const { return fd_.get(); }
  int com() const { return com_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  SerialPort(UniqueFd fd, int com, std::filesystem::path path);
  // Marks the port failed; only the first caller writes the diagnostic.
  void fail(const char* what, int err);

  UniqueFd fd_;
  int com_ = 0;
  std::filesystem::path path_;
  int cancelFd_ = -1;
  std::atomic<bool> failed_{false};
};

}  // namespace orv
