#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"
#include "server/outputs/filter.h"

// The settings editor's copies of ORV_Serv.ini: loaded when the editor opens, changed only by the
// editor, written back in one piece when the operator confirms. Nothing here touches the running
// server; the caller reloads it after a successful save.

namespace orv {

// Choice lists of the editor. Positions are what the file stores, except data bits (position + 4).
inline constexpr std::array<const char*, 10> kBaudRates = {
    "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
inline constexpr std::array<const char*, 5> kDataBitChoices = {"4", "5", "6", "7", "8"};
inline constexpr std::array<const char*, 3> kParityChoices = {"None", "Odd", "Even"};
inline constexpr std::array<const char*, 3> kStopBitChoices = {"1", "1.5", "2"};
inline constexpr std::array<const char*, 3> kFlowChoices = {"None", "XOn/XOff", "Hardware"};
inline constexpr std::array<const char*, 3> kSourceChoices = {"GPRS", "TcpDrv", "SIA"};
inline constexpr int kLineNumbers = 16;  // "0" to "15"

inline constexpr int32_t kMinQueueSize = 10;
inline constexpr int32_t kMaxQueueSize = 10000000;  // what the output items accept

// Text fields. A number field with anything but a number in it is 0; an "hh:mm" field that is not
// a time is 0 minutes.
int32_t numberField(std::string_view text);
std::string hhmmText(int64_t minutes);
int32_t hhmmMinutes(std::string_view text);
// Queue size fields: below kMinQueueSize becomes kMinQueueSize.
int32_t queueSizeField(std::string_view text);

// Serial settings as stored (port number, speed, data bits, parity, stop bits, flow control).
struct SerialChoice {
  int32_t com = 0;
  int32_t baud = 9600;
  int32_t dataBits = 8;
  int32_t parity = 0;
  int32_t stopBits = 0;
  int32_t flowCtrl = 0;
};

// The same as the choice lists show it. An empty text or a position of -1 means "not in the list":
// storing it keeps the value the file had.
struct SerialFields {
  std::string com;   // "COM3"
  std::string baud;  // "9600"
  int dataBits = -1;
  int parity = -1;
  int stopBits = -1;
  int flowCtrl = -1;
};
SerialFields serialFields(const SerialChoice& serial);
void storeSerialFields(SerialChoice& serial, const SerialFields& fields);

// One module line (an input tab "Gprs<n>"). Intervals are held in milliseconds.
struct LineRecord {
  int tabNumber = 0;    // the "<n>" of its tab caption
  std::string section;  // the section it was read from; empty for a line added in the editor
  std::string pName;
  int32_t line = 0;
  int32_t port = 778;
  int64_t syncPMs = 60 * 60000LL;
  int64_t testTimeMs = 5 * 60000LL;
  int64_t lifeTimeMs = 5 * 60000LL;
  SerialChoice device;  // the serial GSM receiver
  int64_t cSyncPMs = 60 * 60000LL;
  bool tcpOn = false;
  bool logOn = false;
  int32_t tcpPort = 777;
  // Keys of its section the editor does not edit (admission, connection limits, ...).
  std::vector<IniFile::Entry> extra;
};

// The fixed inputs TcpDrv and SiaIp. LifeTime stays in minutes, as entered.
struct FixedInput {
  int32_t port = 0;  // 0: the input is off
  int32_t line = 5;
  int32_t lifeTimeMinutes = 20;
  std::string pName;
};

// The input tab's fields as texts. A fixed input uses pName, line, port and lifeTime only.
struct LineFields {
  std::string pName;
  std::string line;  // "0" to "15"; empty keeps the stored number
  std::string port;
  std::string syncP;     // hh:mm
  std::string testTime;  // minutes
  std::string lifeTime;  // minutes
  SerialFields device;
  std::string cSyncP;  // hh:mm
  bool tcpOn = false;
  bool logOn = false;
  std::string tcpPort;
};
LineFields lineFields(const LineRecord& record);
void storeLineFields(LineRecord& record, const LineFields& fields);
LineFields lineFields(const FixedInput& input);
void storeLineFields(FixedInput& input, const LineFields& fields);

// An output channel (a Client section, or the Com item) as the editor holds it.
struct tEItem {
  std::string section;  // the section it was read from; empty for a channel added in the editor
  std::string id;
  int32_t qSize = 50;
  std::string host;
  int32_t port = 0;
  tFList filters;
  std::vector<IniFile::Entry> extra;  // keys the editor does not edit
};

struct ChannelFields {
  std::string qSize;
  std::string host;
  std::string port;
};
ChannelFields channelFields(const tEItem& item);
void storeChannelFields(tEItem& item, const ChannelFields& fields);

class SettingsModel {
 public:
  static constexpr size_t kMaxLines = 256;

  static SettingsModel load(const IniFile& ini);

  // Inserts an empty module line after the last one; its tab number is the last one's plus one.
  // Nothing (nullopt) when kMaxLines are there already.
  std::optional<size_t> insertLine();
  void removeLine(size_t index);
  // A channel with that Id (trimmed), queue size 50, no forwarding target and no filters; an
  // empty Id adds nothing.
  std::optional<size_t> addChannel(std::string_view id);
  void removeChannel(size_t index);

  // The rewrite of the confirmed settings, in memory: every key the editor owns, in the fixed
  // order, keeping what it does not own.
  void apply(IniFile& ini) const;

  std::vector<LineRecord> lines;
  FixedInput tcpDrv;
  FixedInput sia;

  std::vector<tEItem> channels;
  tEItem com;  // [Com]: queue size and filters
  bool comDtFlag = true;
  SerialChoice serialOut{.com = 1, .baud = 9600};
  bool comOn = false;

  int32_t outPort = 950;
  int32_t outSyncMinutes = 60;
  int32_t smsPort = 911;
  bool uFl = true;
  int32_t mode = 0;  // which output page is shown first; never written

  // [In]: the input tab's port and sync fields when the editor was confirmed; nobody reads them.
  int32_t inPort = 0;
  int32_t inSyncMinutes = 0;
};

// "COM0", then every port this machine has (presentComPorts), and any port the settings name
// that is not among them, so that opening and confirming the editor never changes a port.
std::vector<std::string> comPortNames(const IniFile& ini, const SettingsModel& model);

// Writes the settings into `file` (ORV_Serv.ini) in one step: the file is read afresh, rewritten
// in memory and replaced whole. Nothing is written when the file cannot be read whole, is
// read-only, or the new file cannot be made; the reason is returned.
std::optional<std::string> saveSettings(const SettingsModel& model,
                                        const std::filesystem::path& file);

}  // namespace orv
