#include "server/core/config_check.h"

#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "common/diag.h"
#include "common/hex_record.h"
#include "common/ini_file.h"
#include "common/serial_port.h"
#include "common/unique_fd.h"
#include "server/core/account_filter.h"
#include "server/core/config.h"
#include "server/core/config_findings.h"
#include "server/core/config_keys.h"
#include "server/core/gprs_item.h"
#include "server/core/ini_scan.h"
#include "server/inputs/sia_keys.h"
#include "server/modules/iocs.h"
#include "server/outputs/line_template.h"
#include "server/outputs/output_item.h"
#include "server/outputs/output_line.h"
#include "server/outputs/queue_store.h"
#include "server/outputs/serial_output.h"

namespace orv {

const char* levelName(ConfigFinding::Level level) {
  switch (level) {
    case ConfigFinding::Level::Info:
      return "info";
    case ConfigFinding::Level::Warning:
      return "warning";
    case ConfigFinding::Level::Error:
      return "error";
  }
  return "?";
}

bool ConfigReport::ok() const {
  return count(ConfigFinding::Level::Error) == 0;
}

size_t ConfigReport::count(ConfigFinding::Level level) const {
  return static_cast<size_t>(
      std::count_if(findings.begin(), findings.end(),
                    [level](const ConfigFinding& f) { return f.level == level; }));
}

namespace {

using namespace config_check;
namespace fs = std::filesystem;

// --- serial ports and listening ports --------------------------------------------------------

const char* parityName(int p) {
  static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
  return p >= 0 && p <= 4 ? kNames[p] : "?";
}

std::string serialText(const SerialSettings& s) {
  static const char* const kStop[] = {"1", "1.5 (opened as 2)", "2"};
  static const char* const kFlow[] = {"none", "XOn/XOff", "hardware"};
  return std::to_string(s.baud) + " baud, " + std::to_string(s.dataBits) + " data bits, parity " +
         parityName(s.parity) + ", stop bits " +
         (s.stopBits >= 0 && s.stopBits <= 2 ? kStop[s.stopBits] : "?") + ", flow control " +
         (s.flowCtrl >= 0 && s.flowCtrl <= 2 ? kFlow[s.flowCtrl] : "?");
}

class SerialChecks {
 public:
  SerialChecks(const IniFile& ini, Findings& out) : ini_(ini), out_(out) {}

  // A port start-up opens for `who`: it must exist as a terminal device this user may open, the
  // settings must be ones the driver knows, and nobody else in the configuration may use it (the
  // server opens its ports exclusively). Says what it found; false on an Error.
  bool check(const std::string& who, int com, const SerialSettings& settings) {
    const std::optional<fs::path> path = serialPortPath(ini_, com);
    if (!path) {
      out_.error(who + ": COM" + std::to_string(com) + " names no port");
      return false;
    }
    const std::string port = "COM" + std::to_string(com) + " (" + path->string() + ")";
    checked_.push_back(com);
    std::string reason;
    termios scratch{};
    if (!applySerialSettings(scratch, settings, reason)) {
      out_.error(who + ": " + port + " cannot be opened with these settings: " + reason);
      return false;
    }
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0) {
      out_.error(who + ": " + port + " cannot be opened: " + std::strerror(errno) +
                 (!ini_.value("Ports", "COM" + std::to_string(com))
                      ? " (map it in [Ports], as in COM" + std::to_string(com) + "=/dev/ttyUSB0)"
                      : std::string()));
      return false;
    }
    if (!S_ISCHR(st.st_mode)) {
      out_.error(who + ": " + port + " is not a character device");
      return false;
    }
    if (::access(path->c_str(), R_OK | W_OK) != 0) {
      std::string text =
          who + ": " + port + " cannot be opened by this user: " + std::strerror(errno);
      if (const group* g = ::getgrgid(st.st_gid)) {
        text += std::string(" (the device belongs to group '") + g->gr_name + "')";
      }
      out_.error(text);
      return false;
    }
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(*path, ec);
    const std::string identity = ec ? path->string() : real.string();
    auto [it, added] = users_.try_emplace(identity, who);
    if (!added) {
      out_.error(who + ": " + port + " is also the port of " + it->second +
                 "; the server opens a port for one user only, so the second cannot have it");
      return false;
    }
    out_.info(who + ": " + port + ", " + serialText(settings));
    return true;
  }

  // Mapped devices that nothing in the configuration opens but that do not exist either.
  void checkUnusedMappings(const IniScan& scan) {
    const ScannedSection* ports = scan.find("Ports");
    if (ports == nullptr) return;
    for (const ScannedKey& key : ports->keys) {
      if (!isComKey(key.name)) continue;
      const std::optional<int32_t> com = parseIniInteger(std::string_view(key.name).substr(3));
      if (!com || *com < 1) {
        out_.warning("[Ports] " + key.name + ": COM numbers start at 1; never used");
        continue;
      }
      if (std::find(checked_.begin(), checked_.end(), *com) != checked_.end()) continue;
      if (key.value.empty()) continue;  // an empty mapping is none
      struct stat st {};
      if (::stat(key.value.c_str(), &st) != 0) {
        out_.warning("[Ports] " + key.name + "=" + shown(key.value) + ": " + std::strerror(errno));
      } else if (!S_ISCHR(st.st_mode)) {
        out_.warning("[Ports] " + key.name + "=" + shown(key.value) + ": not a character device");
      }
    }
  }

 private:
  const IniFile& ini_;
  Findings& out_;
  std::vector<int> checked_;
  std::map<std::string, std::string> users_;  // device: who opens it
};

struct Listener {
  bool udp;
  uint16_t port;
  std::string who;
};

// Binds the port as the server would (any address, SO_REUSEADDR, listening for TCP) and
// releases it at once; 0 or the errno of the failure.
int probe(const Listener& l) {
  UniqueFd fd(::socket(AF_INET, (l.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(l.port);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return errno;
  if (!l.udp && ::listen(fd.get(), 1) != 0) return errno;
  return 0;
}

void checkListeners(const std::vector<Listener>& listeners, bool probePorts, Findings& out) {
  std::vector<const Listener*> distinct;
  for (const Listener& l : listeners) {
    const std::string port = std::string(l.udp ? "UDP" : "TCP") + " port " + std::to_string(l.port);
    if (l.port == 0) {
      out.warning(l.who +
                  ": port 0: the system picks a free port at every start, which no peer "
                  "can know");
      continue;
    }
    auto same = std::find_if(distinct.begin(), distinct.end(), [&](const Listener* d) {
      return d->udp == l.udp && d->port == l.port;
    });
    if (same != distinct.end()) {
      out.error(port + " is configured for both " + (*same)->who + " and " + l.who +
                "; only the first can listen on it");
      continue;
    }
    distinct.push_back(&l);
  }
  if (!probePorts) return;
  for (const Listener* l : distinct) {
    const std::string port =
        std::string(l->udp ? "UDP" : "TCP") + " port " + std::to_string(l->port);
    const int err = probe(*l);
    if (err == 0) continue;
    if (err == EADDRINUSE) {
      out.error(l->who + ": " + port +
                " is taken (another program, or a running ORV_Serv, uses it)");
    } else if (err == EACCES && l->port < 1024) {
      out.error(l->who + ": " + port +
                " is below 1024, which this user may not bind (it needs root or "
                "CAP_NET_BIND_SERVICE)");
    } else {
      out.error(l->who + ": cannot bind " + port + ": " + std::strerror(err));
    }
  }
}

// --- output channels -------------------------------------------------------------------------

// Lets the channels be built from their sections exactly as start-up builds them, without
// touching their queue files.
class UnstoredQueues final : public QueueStore {
 public:
  Handle open(const fs::path&, const StoredQueue&, Loaded&) override { return 0; }
  bool isOpen(const fs::path&) const override { return false; }
  void start() override {}
  uint64_t append(Handle, uint64_t, std::string_view) override { return 0; }
  uint64_t dropBefore(Handle, uint64_t) override { return 0; }
  void close() override {}
  uint64_t durable() const override { return 0; }
  std::string failure() const override { return {}; }
  void addWaker(int) override {}
  void removeWaker(int) override {}
};

void checkFilters(const IniFile& ini, const tOItem& item, const std::string& who, Findings& out) {
  std::string text;
  for (const auto& [key, value] : ini.entries(item.section())) {
    if (!beginsWith(key, "Flt") || key.find("Map") != std::string::npos) continue;
    const tFItem f = tFItem::parse(value);
    text += (text.empty() ? "" : ", ") + key + "=" + f.format();
    const std::string at = who + " " + key + "=" + shown(value);
    // The fifth field is the source; the filter reads anything but a number there as 0.
    if (std::count(value.begin(), value.end(), ';') >= 4) {
      std::string_view source = value;
      for (int field = 0; field < 4; ++field) source.remove_prefix(source.find(';') + 1);
      if (!source.empty() &&
          !std::all_of(source.begin(), source.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        out.warning(at + ": the source " + shown(source) + " is not a number; read as 0 (GPRS)");
      }
    }
    if (f.source > 2) {
      out.warning(at + ": source " + std::to_string(f.source) +
                  " is no input (0 GPRS, 1 TcpDrv, 2 SIA); the filter passes nothing");
    } else if (f.source != 0 && f.idMask != "*" && !parseHex(f.idMask)) {
      out.warning(at + ": for TcpDrv and SIA events the mask is \"*\" or a hexadecimal account; " +
                  shown(f.idMask) + " passes " +
                  (f.acc0 == 1 ? "only events of account 0" : "nothing"));
    }
  }
  out.info(who + " filters: " + (text.empty() ? "none (every event)" : text));
}

void checkTemplates(const IniFile& ini, const tOItem& item, const std::string& who, Findings& out) {
  const std::string section = "m" + item.section();
  std::string text;
  for (int slot : LineTemplates::kSlots) {
    if (std::optional<std::string> t = ini.value(section, std::to_string(slot))) {
      text += (text.empty() ? "" : ", ") + std::to_string(slot) + "=" + shown(*t);
    }
  }
  if (!text.empty()) out.info(who + " templates from [" + section + "]: " + text);
}

// --- the check -------------------------------------------------------------------------------

class Check {
 public:
  Check(const fs::path& dir, bool probePorts) : dir_(dir), probePorts_(probePorts) {}

  ConfigReport run() {
    std::error_code ec;
    if (!fs::is_directory(dir_, ec)) {
      out_.error("program directory " + dir_.string() + " does not exist");
      return out_.finish();
    }
    if (::access(dir_.c_str(), W_OK | X_OK) != 0) {
      out_.error("cannot write in the program directory " + dir_.string() + ": " +
                 std::strerror(errno) + "; queue files, logs and ORV_Serv.sock need it");
    }
    if (std::optional<IniScan> scan = readServerIni()) {
      const IniFile ini = IniFile::fromText(text_, iniPath_);
      text_.clear();
      checkSectionsAndKeys(*scan, kServerIniName, out_);
      SerialChecks serial(ini, out_);
      // In start-up's order, so that of two users of one serial port the one named second is
      // the one that would find it taken.
      checkChannels(ini);
      checkInputs(ini, *scan);
      checkLines(ini, *scan, serial);
      checkSmsPort(ini);
      checkOutputServer(ini);
      checkSerialOutput(serial);
      checkRest(ini);
      serial.checkUnusedMappings(*scan);
      checkListeners(listeners_, probePorts_, out_);
    }
    return out_.finish();
  }

 private:
  std::optional<IniScan> readServerIni() {
    iniPath_ = dir_ / kServerIniName;
    FileText file = readBounded(iniPath_, IniFile::kMaxFileSize);
    const std::string name = kServerIniName;
    if (file.state == FileText::State::Missing) {
      out_.warning(name + " not found in " + dir_.string() + "; every setting has its default");
      return IniScan{};
    }
    if (file.state == FileText::State::Failed) {
      out_.error(name + " cannot be read: " + file.error +
                 "; start-up would run with every setting at its default");
      return std::nullopt;
    }
    out_.info(name + ": " + iniPath_.string() + ", " + std::to_string(file.size) + " bytes");
    if (file.size > IniFile::kMaxFileSize) {
      out_.add(Level::Error,
               name + ": " + std::to_string(file.size) + " bytes; start-up reads only the first " +
                   std::to_string(IniFile::kMaxFileSize) + " and ignores the rest",
               true);
    }
    text_ = std::move(file.text);
    return scanIni(text_, name, false, Level::Error, out_);
  }

  void checkChannels(const IniFile& ini) {
    outSettings_ = readCaught(out_, iniPath_, [&] { return readOutSettings(ini); });
    const OptionsSettings options = readCaught(out_, iniPath_, [&] { return readOptions(ini); });
    if (!options.durable) {
      out_.add(Level::Warning,
               "[Options] Durable=0: events are acknowledged before they are on disk; a crash or "
               "power cut can lose those acknowledged in its last moments",
               true);
    }
    std::vector<std::string> sections;
    if (outSettings_.comOn) sections.emplace_back("Com");
    for (const std::string& s : ini.sections()) {
      if (isChannelSection(s)) sections.push_back(s);
    }
    std::vector<std::unique_ptr<tOItem>> items;
    for (const std::string& s : sections) {
      items.push_back(readCaught(out_, iniPath_, [&] {
        return std::make_unique<tOItem>(ini, s, dir_, queues_, nullptr);
      }));
      const tOItem& item = *items.back();
      const std::string who = "output channel '" + item.id() + "' [" + s + "]";
      out_.info(who + ": QSize " + std::to_string(item.queueSize()) + ", " +
                (item.forwardPort() != 0 ? "forwarding to " + item.forwardHost() + ":" +
                                               std::to_string(item.forwardPort())
                                         : std::string("no forwarding")) +
                (s == "Com" ? std::string(", date suffix ") + (item.dateFlag() ? "on" : "off")
                            : std::string()) +
                (ini.hasSection("m" + s) ? ", templates from [m" + s + "]"
                                         : std::string(", default templates")));
      checkFilters(ini, item, who, out_);
      checkTemplates(ini, item, who, out_);
      if (item.id().empty()) out_.warning(who + " has no Id: no client can select it");
      if (item.queueSize() == 0) out_.warning(who + ": QSize=0 keeps no line for its clients");
      if (item.forwardPort() == 0 && !item.forwardHost().empty()) {
        out_.warning(who + ": Host is set but Port is 0: nothing is forwarded");
      }
      if (item.forwardPort() != 0 && item.forwardHost().empty()) {
        out_.warning(who + ": forwarding to port " + std::to_string(item.forwardPort()) +
                     " without a Host: the forwarder cannot connect");
      }
      for (size_t k = 0; k + 1 < items.size(); ++k) {
        if (items[k]->id() == item.id() && !item.id().empty()) {
          out_.error(who + ": the Id of [" + items[k]->section() + "] as well: clients naming '" +
                     item.id() + "' always get [" + items[k]->section() + "], so [" + s +
                     "] serves no client (its queue goes to a file of its own)");
          break;
        }
      }
    }
    channels_ = items.size();
  }

  void checkOutputServer(const IniFile& ini) {
    if (channels_ > 0) {
      const AdmissionRules rules = readCaught(out_, iniPath_, [&] {
        return readAdmission(ini, "Out", {.allowKey = false, .firstLineWaitS = 20});
      });
      const size_t listed = readValues(ini, "CList").size();
      out_.info("output server on TCP port " + std::to_string(outSettings_.port) + ": " +
                std::to_string(channels_) + " channels, SyncP " +
                std::to_string(outSettings_.syncPMinutes) + " min, clients admitted: " +
                (listed == 0 ? std::string("everybody") : std::to_string(listed) + " in [CList]") +
                limitsText(rules));
      listeners_.push_back({false, outSettings_.port, "output server"});
    } else {
      out_.info("no output channel ([Out] ComOn=0 and no [Client...] section): no output server");
    }
  }

  void checkSerialOutput(SerialChecks& serial) {
    if (outSettings_.comOn) {
      const SerialOutputSettings s = serialOutputSettings(outSettings_);
      const std::string who = "serial output of channel 'Com'";
      if (s.com <= 0) {
        out_.error(who + ": [Out] ComOn=1 but Com=" + std::to_string(s.com) +
                   ", which names no port; the channel queues, nothing is sent");
      } else if (serial.check(who, s.com, s.serial)) {
        out_.info(who + ": systime " +
                  (s.syncIntervalMs > 0
                       ? "every " + std::to_string(s.syncIntervalMs / 60000) + " min"
                       : std::string("never")));
      }
    } else {
      out_.info("no serial output ([Out] ComOn=0)");
    }
  }

  void checkInputs(const IniFile& ini, const IniScan& scan) {
    for (const char* section : {"TcpDrv", "SiaIp"}) {
      const bool sia = std::string_view(section) == "SiaIp";
      const InputSettings s =
          readCaught(out_, iniPath_, [&] { return readInputSettings(ini, section); });
      const std::string who = sia ? "SIA DC-09 receiver" : "TcpDrv input";
      if (!s.present) {
        const ScannedSection* written = scan.find(section);
        if (written != nullptr && !written->keys.empty()) {
          out_.warning(std::string("[") + section + "] has no Port key: the " + who +
                       " does not run");
        } else {
          out_.info(std::string("no ") + who + " ([" + section + "] has no Port)");
        }
        if (sia) checkSiaKeys(false);
        continue;
      }
      const AdmissionRules rules =
          readCaught(out_, iniPath_, [&] { return readAdmission(ini, section, {}); });
      std::string text = who + ": TCP port " + std::to_string(s.port);
      SiaOptions options;
      if (sia) {
        options = readCaught(out_, iniPath_, [&] { return readSiaOptions(ini); });
        if (options.udp) text += " and UDP port " + std::to_string(s.port);
      }
      text += ", Line=" + std::to_string(s.line) + " (line digit " + lineDigit(s.line) +
              "), LifeTime " + std::to_string(s.lifeTimeMinutes) + " min";
      if (!s.pName.empty()) text += ", PName " + shown(s.pName);
      text += admissionText(ini, section, rules);
      if (sia) {
        text += ", time stamps " + std::to_string(options.window.behindS) + " s behind to " +
                std::to_string(options.window.aheadS) + " s ahead (" +
                (options.window.checkPlain ? "unencrypted frames too" : "encrypted frames") + ")";
      }
      out_.info(text);
      listeners_.push_back({false, s.port, who});
      if (sia && options.udp) listeners_.push_back({true, s.port, who});
      if (sia) checkSiaKeys(true);
    }
  }

  static std::string limitsText(const AdmissionRules& rules) {
    return ", PerAddress " +
           (rules.perAddress == 0 ? std::string("no limit") : std::to_string(rules.perAddress)) +
           ", FirstLineWait " +
           (rules.firstExchangeMs == 0 ? std::string("no limit")
                                       : std::to_string(rules.firstExchangeMs / 1000) + " s");
  }

  static std::string admissionText(const IniFile& ini, const std::string& section,
                                   const AdmissionRules& rules) {
    const std::string allow = ini.readString(section, "Allow", "");
    return ", Allow " + (allow.empty() ? std::string("everybody") : shown(allow)) +
           limitsText(rules);
  }

  void checkSiaKeys(bool used) {
    const fs::path file = dir_ / kSiaKeysIniName;
    const std::string name = kSiaKeysIniName;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
      if (used) out_.info("SIA keys: no " + name + "; encrypted frames are answered DUH");
      return;
    }
    if (S_ISREG(st.st_mode)) {
      const FileText text = readBounded(file, SiaKeys::kMaxFileSize);
      if (text.state == FileText::State::Read && text.size <= SiaKeys::kMaxFileSize) {
        if (std::optional<IniScan> scan = scanIni(text.text, name, true, Level::Warning, out_)) {
          for (const ScannedSection& s : scan->sections) {
            if (!sameNoCase(s.name, "Keys")) {
              out_.warning(name + " line " + std::to_string(s.line) +
                           ": a section other than [Keys]; not read");
            }
          }
        }
      }
    }
    // The loader's own lines: its summary is what start-up says; anything else is a problem of
    // the file, which leaves encrypted frames without their key but the receiver running.
    DiagCapture capture(kMaxFindings);
    const SiaKeys keys = SiaKeys::load(file, false);
    for (const std::string& line : capture.lines()) {
      out_.add(line.rfind("SIA keys from ", 0) == 0 ? Level::Info : Level::Warning, line, used);
    }
    if (!used) {
      out_.info("SIA keys: " + std::to_string(keys.size()) + " in " + name +
                ", not used while the SIA receiver does not run");
    }
  }

  void checkLines(const IniFile& ini, const IniScan& scan, SerialChecks& serial) {
    const std::vector<std::string> sections =
        readCaught(out_, iniPath_, [&] { return gprsSections(ini); });
    bool written = false;
    for (const ScannedSection& s : scan.sections)
      written = written || beginsWithNoCase(s.name, "GPRS");
    if (!written) {
      out_.info(
          "no GPRS section: start-up makes line [GPRS0] with every default (module server "
          "on TCP port 778)");
    }
    std::map<unsigned, std::string> lineNumbers;
    for (size_t n = 0; n < sections.size(); ++n) {
      const std::string& section = sections[n];
      const std::unique_ptr<tGprsItem> item =
          readCaught(out_, iniPath_, [&] { return readGprsItem(ini, section, n); });
      const std::string who = "GPRS line " + std::to_string(n) + " [" + section + "]";
      std::string text = who + ": Line=" + std::to_string(item->line) + " (line digit " +
                         lineDigit(item->line) + ")";
      if (!item->pName.empty()) text += ", PName " + shown(item->pName);
      const bool deviceOverTcp = item->tcpOn && item->tcpPort != 0;
      if (item->port != 0 || deviceOverTcp) {
        const AdmissionRules rules = readCaught(
            out_, iniPath_, [&] { return readAdmission(ini, section, {.perAddress = 0}); });
        if (item->port != 0) {
          const int32_t maxConnections = readCaught(out_, iniPath_, [&] {
            return readSetting(ini, section,
                               {"MaxConnections", tIOCS::kDefaultMaxConnections, 1, 1000000});
          });
          text += ", module server on TCP port " + std::to_string(item->port) +
                  ", MaxConnections " + std::to_string(maxConnections) +
                  admissionText(ini, section, rules);
          listeners_.push_back({false, item->port, who + " module server"});
        }
      } else {
        text += ", no module server (Port=0)";
      }
      text += ", LifeTime " + std::to_string(item->lifeTimeMs / 60000) + " min, SyncP " +
              std::to_string(item->syncPMs / 60000) + " min";
      if (item->logOn) text += ", log directory " + tGprsItem::logDirName(n);
      out_.info(text);

      auto [first, added] = lineNumbers.try_emplace(item->line, who);
      if (!added) {
        out_.warning(who + ": Line=" + std::to_string(item->line) + " as on " + first->second +
                     ": their events carry the same line digit, and commands for this line "
                     "reach only the first");
      }

      const std::string device = who + " GSM receiver";
      if (item->tcpOn) {
        if (item->tcpPort == 0) {
          out_.warning(device + ": TcpOn=1 but TcpPort=0: no receiver is reached");
        } else {
          out_.info(device + ": over TCP, listening on port " + std::to_string(item->tcpPort));
          listeners_.push_back({false, item->tcpPort, device});
        }
      } else if (item->com == 0) {
        out_.info(device + ": none (Com=0)");
      } else {
        serialDevices_ = true;
        serial.check(device, item->com,
                     SerialSettings{item->baud, item->dataBits, item->parity, item->stopBits,
                                    item->flowCtrl});
      }
    }
  }

  void checkSmsPort(const IniFile& ini) {
    const uint16_t smsPort = readCaught(out_, iniPath_, [&] { return readSmsPort(ini); });
    if (serialDevices_) {
      const AdmissionRules rules = readCaught(
          out_, iniPath_, [&] { return readAdmission(ini, "Sms", {.firstLineWaitS = 20}); });
      out_.info("SMS port: TCP port " + std::to_string(smsPort) +
                ", opened once a GSM receiver on a serial port opens" +
                admissionText(ini, "Sms", rules));
      listeners_.push_back({false, smsPort, "SMS port"});
    } else if (ini.hasSection("Sms")) {
      out_.info("SMS port: not opened, no GPRS line has a GSM receiver on a serial port");
    }
  }

  void checkRest(const IniFile& ini) {
    const SockSettings sock = readCaught(out_, iniPath_, [&] { return readSockSettings(ini); });
    out_.info("modules: sync " +
              (sock.tOutMs == 0 ? std::string("off")
                                : "every " + std::to_string(sock.tOutMs / 1000) + " s") +
              " ([Sock] TOut), " + std::to_string(readStartCommands(ini).size()) +
              " start commands for every new connection (the last is 99.c3)");
    tAFList filter;
    filter.load(ini);
    for (const auto& [key, value] : ini.entries("AccFilter")) {
      const size_t comma = value.find(',');
      const std::optional<int32_t> low =
          comma == std::string::npos ? std::nullopt
                                     : parseIniInteger(std::string_view(value).substr(0, comma));
      const std::optional<int32_t> high =
          comma == std::string::npos ? std::nullopt
                                     : parseIniInteger(std::string_view(value).substr(comma + 1));
      const std::string at = "[AccFilter] " + key + "=" + shown(value);
      if (!low || !high) {
        out_.warning(at + " is not \"low,high\"; ignored");
      } else if (*low > *high) {
        out_.warning(at + ": the low bound is above the high one; the range takes no account");
      }
    }
    if (!filter.items().empty()) {
      out_.info("account filter: " + std::to_string(filter.items().size()) +
                " ranges; modules of other accounts get no start commands");
    }
  }

  fs::path dir_;
  bool probePorts_;
  fs::path iniPath_;
  std::string text_;
  Findings out_;
  OutSettings outSettings_;
  UnstoredQueues queues_;
  size_t channels_ = 0;
  bool serialDevices_ = false;
  std::vector<Listener> listeners_;
};

}  // namespace

ConfigReport checkConfiguration(const std::filesystem::path& programDir, bool probePorts) {
  return Check(programDir, probePorts).run();
}

}  // namespace orv
