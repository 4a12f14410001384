#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ini_file.h"
#include "common/ten_day_log.h"
#include "server/modules/module_status.h"

namespace orv {

class tIOCS;
class TComThrd;
class TCListThrd;

inline constexpr size_t kMaxGprsLines = 256;

// One GPRS line: its settings from the line's section and the status flags its threads set.
// Its index in tGprsList is the line index used in page order, log directories and the console.
struct tGprsItem {
  // Set by the line's threads, read and cleared by the status timer. Single bytes without a
  // lock, as before; atomic so that the sanitizer build agrees.
  std::atomic<uint8_t> rowChanged{0};
  std::atomic<uint8_t> rowsChanged{0};

  size_t index = 0;
  std::string section;  // the page caption

  uint8_t line = 0;  // its low 4 bits are the line digit of the line's output lines
  uint16_t port = 778;
  uint32_t syncPMs = 60 * 60000u;
  uint32_t testTimeMs = 5 * 60000u;  // kept; nothing depends on it
  uint32_t lifeTimeMs = 5 * 60000u;  // idle deadline of a module connection
  int32_t com = 0;
  int32_t baud = 9600;  // 32 bits: 115200 does not fit the 16 bits it once had
  int16_t dataBits = 8;
  int16_t parity = 0;
  int16_t stopBits = 0;
  int16_t flowCtrl = 0;
  uint32_t cSyncPMs = 60 * 60000u;  // kept; nothing depends on it
  bool tcpOn = false;
  uint16_t tcpPort = 777;
  std::string pName;
  bool logOn = false;

  // The line's per-ten-day log ("./Orv_Serv<n>/"; off while the directory is missing).
  std::unique_ptr<TenDayLog> log;
  // The module server, when Port is not 0.
  std::unique_ptr<tIOCS> moduleServer;
  // The GSM receiver device: on the serial port Com, or connecting to TcpPort (TcpOn).
  std::shared_ptr<TComThrd> serialDevice;
  std::unique_ptr<TCListThrd> deviceListener;

  tGprsItem();
  ~tGprsItem();

  // Stopping is asked of every line first and waited for afterwards.
  void requestStopDevices();
  void joinDevices();

  // The newest device connection over TCP that still runs, or null.
  std::shared_ptr<TComThrd> tcpDevice() const;
  bool hasDevice() const;
  // The status list's first row while the line has a device (the serial one when both exist).
  std::optional<ModuleRow> deviceRow() const;
  // Queues a text for the serial device and for the newest TCP device, each where present;
  // returns how many took it.
  size_t queueDeviceText(const std::string& text);

  // "./Orv_Serv<n>/" below the program directory.
  static std::string logDirName(size_t index);
};

// Reads section `section` into a new line with index `index`.
std::unique_ptr<tGprsItem> readGprsItem(const IniFile& ini, const std::string& section,
                                        size_t index);

// The sections that become GPRS lines: every section whose upper-cased name begins with "GPRS",
// in file order, at most kMaxGprsLines; "GPRS0" when there is none.
std::vector<std::string> gprsSections(const IniFile& ini);

using tGprsList = std::vector<std::unique_ptr<tGprsItem>>;

}  // namespace orv
