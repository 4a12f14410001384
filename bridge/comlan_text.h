#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"
#include "common/local_time.h"

namespace orv {

// What Comlan.ini holds, with the program's defaults.
struct ComlanSettings {
  int com = 1;  // [Com] Port; 0: no serial port and no bridge
  int32_t baudRate = 9600;
  int dataBits = 8;
  int parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::string host = "localhost";
  int tcpPort = 910;
  std::string id;  // the channel name sent after the banner
  bool syncFl = false;
  bool removeDt = true;

  static ComlanSettings load(const IniFile& ini);
};

// Writes what the settings dialog changes ([Opt] SyncFl, [Com] Port/BaudRate/DataBits/StopBits,
// [TCP] Host/Port/Id) into `ini`; every other line stays. Data bits are kept within 4-8 and stop
// bits within 0-2, the ranges the dialog offers.
void writeComlanSettings(IniFile& ini, const ComlanSettings& settings);

// The port number of a port list entry: "COM12" gives 12. Anything else gives std::nullopt.
std::optional<int> comEntryNumber(std::string_view entry);

// The window caption: "Comlan  Port=910 host=localhost".
std::string comlanCaption(const ComlanSettings& settings);

// What replaces a server heartbeat ("@") on the serial line.
inline constexpr std::string_view kTestLine = "1011           @    ";

// A line with the server's date suffix ("hh:mm:ss-dd/mm") loses it: a line longer than 20
// characters whose third character from the end is "/" loses its last 14 characters.
std::string stripDateSuffix(std::string_view line);

// Checks the text of a time-sync line ("systime<text>") as a day number: 0 when the whole text is
// one, else the 1-based position of the first character that does not fit. A text that is a
// number but no date of years 1-9999 (too large, too small) gives 1: the number as a whole is bad.
int dayNumberTextError(std::string_view text);

// The lines the window's text area shows. More than kMaxLines are cut to the last kKeptLines.
// Safe to use from any thread; version() changes with every append, for a view that polls.
class TextAreaModel {
 public:
  static constexpr size_t kMaxLines = 150;
  static constexpr size_t kKeptLines = 99;

  void append(std::string_view line);
  std::vector<std::string> lines() const;
  uint64_t version() const;

 private:
  mutable std::mutex lock_;
  std::deque<std::string> lines_;
  uint64_t version_ = 0;
};

}  // namespace orv
