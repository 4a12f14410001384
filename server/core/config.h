#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/admission.h"
#include "common/ini_file.h"
#include "server/inputs/sia_receive.h"

// Readers of ORV_Serv.ini. Each reader holds the defaults of its keys, so a missing file or key
// gives the same server as a complete file with the defaults written out.

namespace orv {

inline constexpr const char* kServerIniName = "ORV_Serv.ini";
inline constexpr const char* kStringsIniName = "Orv_Str.ini";

// An integer key with its default and the values it may take. A value that is not a number gives
// the default silently; a number outside [min, max] gives the default with a diagnostic, since
// cutting it to the field's width would quietly mean something else (port 70000 is not 4464).
struct IntSetting {
  std::string_view key;
  int32_t def;
  int32_t min;
  int32_t max;
};

int32_t readSetting(const IniFile& ini, std::string_view section, const IntSetting& setting);

// Intervals given in minutes become milliseconds; 71582 minutes is the most 32 bits hold.
inline constexpr int32_t kMaxMinutes = 71582;
inline uint32_t minutesToMs(int32_t minutes) {
  return static_cast<uint32_t>(minutes) * 60000u;
}

// [Out]: the Com output switch, the output server port and the serial output.
struct OutSettings {
  bool comOn = false;
  uint16_t port = 950;
  std::string host = "localhost";
  int32_t com = 0;
  int32_t baud = 38400;
  int32_t dataBits = 8;
  int32_t parity = 0;
  int32_t stopBits = 0;
  int32_t flowCtrl = 0;
  int32_t syncPMinutes = 60;
};
OutSettings readOutSettings(const IniFile& ini);

// [TcpDrv] and [SiaIp]: an input runs only when its section has a Port key.
struct InputSettings {
  bool present = false;
  uint16_t port = 910;
  uint8_t line = 1;
  int32_t lifeTimeMinutes = 20;
  std::string pName;
};
InputSettings readInputSettings(const IniFile& ini, std::string_view section);

// [SiaIp] beyond the keys every input has: Udp (frames as datagrams too), TimeBehind and
// TimeAhead (seconds a time stamp may lie from the clock), CheckPlainTime (check the time
// stamps of unencrypted frames too).
struct SiaOptions {
  bool udp = false;
  SiaTimeWindow window;
};
SiaOptions readSiaOptions(const IniFile& ini);

// [Metrics]: Port (0 = no metrics endpoint) and Bind (the address it listens on).
struct MetricsSettings {
  uint16_t port = 0;
  std::string bind = "127.0.0.1";
};
MetricsSettings readMetricsSettings(const IniFile& ini);

uint16_t readSmsPort(const IniFile& ini);  // [Sms] Port, 911

// The admission keys of an input's section: Allow (addresses and CIDR ranges, when the input
// has such a list), PerAddress (connections per source address, 0 = no limit) and
// FirstLineWait (seconds to the first valid exchange, 0 = no limit).
struct AdmissionDefaults {
  bool allowKey = true;
  int32_t perAddress = 64;
  int32_t firstLineWaitS = 10;
};
AdmissionRules readAdmission(const IniFile& ini, std::string_view section,
                             const AdmissionDefaults& defaults);

struct OptionsSettings {
  bool uFl = true;       // queue the identity line before module event lines
  int32_t rAcc = 65535;  // device lines
  // Acknowledge an event only once it is on disk. Off: at once, stored within a few ms.
  bool durable = true;
};
OptionsSettings readOptions(const IniFile& ini);

struct SockSettings {
  uint32_t tOutMs = 60000;  // [Sock] TOut seconds: module sync interval, 0 = off
  uint32_t cmdDelayMs = 1000;
  uint32_t loadeeDelayMs = 5000;  // [loadee] delay
  std::string deviceText;         // [M] C
};
SockSettings readSockSettings(const IniFile& ini);

// [StartCmd] values in key order, then "99.c3", which every new module connection gets last.
std::vector<std::string> readStartCommands(const IniFile& ini);
// Values of a list section ([CList], [Commands]) in key order.
std::vector<std::string> readValues(const IniFile& ini, std::string_view section);

bool beginsWith(std::string_view text, std::string_view prefix);
bool beginsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace orv
