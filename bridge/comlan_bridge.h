#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "bridge/comlan_text.h"
#include "common/cancel_event.h"
#include "common/line_socket.h"
#include "common/local_time.h"
#include "common/serial_port.h"
#include "common/ten_day_log.h"

namespace orv {

// Sets the machine's clock to a local date and time; 0 or an errno value.
using ClockSetter = std::function<int(const LocalDateTime&)>;

// The real one: clock_settime(CLOCK_REALTIME), milliseconds included. Needs CAP_SYS_TIME.
int setSystemClock(const LocalDateTime& t);

// The bridge between one output channel of the receiver server (TCP) and a receiver-output
// device on a serial port: every line of the channel goes to the device as text + DC4, and only
// a device ACK lets the server remove it. Heartbeats go out as the test line; time-sync lines
// may set the clock. One worker thread does the work; the window (or main()) reads the models.
class ComlanCore {
 public:
  // Waits of the connection cycle; the defaults are the program's.
  struct Timing {
    int cycleWaitMs = 20;     // before a receive when nothing arrived in the last one
    int receiveMs = 2000;     // one receive of a server line
    int bannerDelayMs = 200;  // after connecting, before reading the banner
    int bannerMs = 500;       // the banner's limit
    int connectMs = 3000;     // the TCP connect's limit
    int retryWaits = 5;       // after a failed connect: this many waits of retryWaitMs
    int retryWaitMs = 1000;
    int replyMs = 4000;           // the device's answer byte
    int reopenMs = 3000;          // between tries to get a lost serial port back
    int watchdog = 22;            // receive cycles without a line before disconnecting
    int settingsSettleMs = 1000;  // after rewriting the settings, before starting again
  };

  static constexpr std::string_view kIniName = "Comlan.ini";
  static constexpr std::string_view kLogDirName = "ComlanLog";

  // `dir` is the program directory (Comlan.ini, ComlanLog/).
  explicit ComlanCore(std::filesystem::path dir, ClockSetter setClock = setSystemClock);
  ComlanCore(std::filesystem::path dir, ClockSetter setClock, Timing timing);
  ~ComlanCore();
  ComlanCore(const ComlanCore&) = delete;
  ComlanCore& operator=(const ComlanCore&) = delete;

  // Reads Comlan.ini, opens the serial port and starts the bridge. False (bridge idle) for
  // Port=0 or a port that cannot be opened (one diagnostic).
  bool start();
  // Ends the bridge: disconnects, closes the serial port. Returns within the bounded waits of
  // the worker (the cancel event ends every one of them at once).
  void stop();

  // The settings dialog's OK: stops the bridge, waits up to 10 s for the serial port to be
  // released, writes the settings into Comlan.ini (other lines kept), waits, starts again.
  // False when Comlan.ini could not be written (the bridge is started again all the same).
  bool rewriteSettings(const ComlanSettings& settings, std::string* error = nullptr);

  ComlanSettings settings() const;
  std::string caption() const { return comlanCaption(settings()); }
  // Connected to the server (the tray animation runs).
  bool connected() const { return connected_.load(); }
  bool running() const { return worker_.joinable(); }
  bool serialPortOpen() const { return portOpen_.load(); }
  const TextAreaModel& textArea() const { return textArea_; }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  void run(std::stop_token stop);
  bool connectToServer();
  void disconnect();
  void handleLine(const std::string& line);
  void handleTimeSync(std::string_view text);
  // Sends the line + DC4 and waits for the device's answer; true only for an ACK.
  bool deliver(std::string_view line);
  // After the serial port failed: waits quietly until its path can be opened again.
  bool reopenSerialPort();
  void show(std::string_view text) { textArea_.append(text); }

  std::filesystem::path dir_;
  ClockSetter setClock_;
  Timing timing_;
  TenDayLog log_;
  TextAreaModel textArea_;

  mutable std::mutex settingsLock_;
  ComlanSettings settings_;
  std::filesystem::path portPath_;
  SerialSettings serialSettings_;

  std::optional<SerialPort> port_;
  LineSocket socket_;
  std::unique_ptr<CancelEvent> cancel_;
  std::jthread worker_;
  int watchdog_ = 0;
  bool connectFailing_ = false;  // a failed connect was reported; the next ones are not
  std::atomic<bool> connected_{false};
  std::atomic<bool> portOpen_{false};
};

}  // namespace orv
