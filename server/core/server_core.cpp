#include "server/core/server_core.h"

#include <ctime>
#include <system_error>

#include "common/beep.h"
#include "common/diag.h"
#include "common/operator_wire.h"
#include "server/core/config_check.h"
#include "server/core/version.h"
#include "server/inputs/device_line.h"
#include "server/modules/iocs.h"
#include "server/modules/module_status.h"
#include "server/outputs/output_line.h"

namespace orv {
namespace {

constexpr const char* kMainWindow = "FORVs";
constexpr uint32_t kStatusIntervalMs = 1000;

}  // namespace

ServerCore::ServerCore(Dispatcher& loop, std::filesystem::path programDir, StatusView* view)
    : loop_(loop), programDir_(std::move(programDir)), view_(view ? view : &noView_) {
  timer_ = loop_.addTimer(kStatusIntervalMs, [this] { tick(); });
  commandConsole_ = std::make_unique<CommandConsole>(gprsLines_, linesLock_, console_, programDir_);
}

ServerCore::~ServerCore() {
  shutdown();
}

void ServerCore::start() {
  // Number formatting needs no decimal-separator setting: every number the server writes goes
  // through locale-independent formatting.
  localisation_ = Localisation(programFile(kStringsIniName));
  caption_ = localisation_.windowCaption(kMainWindow) + versionText();
  diagf("ORV_Serv %s: program directory %s", versionText().c_str(), programDir_.c_str());

  IniFile ini(programFile(kServerIniName));
  if (!ini.existed()) diagf("%s not found; every setting has its default", ini.path().c_str());
  // What --check-config would say, beyond what the readers below say themselves (the server
  // binds its ports itself, so they are not probed here).
  for (const ConfigFinding& f : checkConfiguration(programDir_, false).findings) {
    if (f.level != ConfigFinding::Level::Info && !f.startUpSaysIt) {
      diagf("configuration %s: %s", levelName(f.level), f.text.c_str());
    }
  }
  accountFilter_.load(ini);
  if (!accountFilter_.items().empty()) {
    diagf("account filter: %zu ranges", accountFilter_.items().size());
  }
  loadConfiguration();
  startTime_ = static_cast<double>(std::time(nullptr));
  metrics_ = MetricsSource([this](MetricsSink& sink) {
    sink.gauge("orv_process_start_time_seconds", "When the server started (Unix time)", {},
               startTime_);
    sink.counter("orv_reloads_total", "Configuration reloads (SIGHUP) since start", {},
                 static_cast<double>(reloads_.load(std::memory_order_relaxed)));
  });
  if (const MetricsSettings m = readMetricsSettings(ini); m.port != 0) {
    metricsServer_ = std::make_unique<MetricsServer>(m.bind, m.port);
  }
  operatorChannel_ = std::make_unique<OperatorChannel>(
      programFile(std::string(kOperatorSocketFile)), *commandConsole_, versionText());
  running_ = true;
}

void ServerCore::loadConfiguration() {
  IniFile ini(programFile(kServerIniName));

  out_ = readOutSettings(ini);
  comOn_ = out_.comOn;
  options_ = readOptions(ini);
  if (!options_.durable) {
    diag(
        "[Options] Durable=0: events are acknowledged before they are on disk; a crash or power "
        "cut can lose those acknowledged in its last moments");
  }
  outputList_ =
      std::make_unique<tOList>(ini, comOn_, programDir_, &outputsChanged, options_.durable);
  for (const auto& item : outputList_->items()) {
    diagf("output item '%s' [%s]: queue size %d, %zu filters, %zu lines queued", item->id().c_str(),
          item->section().c_str(), item->queueSize(), item->filters().size(), item->count());
  }

  startInput(ini, "TcpDrv", tcpDrv_);
  startInput(ini, "SiaIp", sia_);

  deviceLog_ = std::make_unique<TenDayLog>(programDir_ / "Orv_Serv");
  sock_ = readSockSettings(ini);
  startCommands_ = readStartCommands(ini);
  {
    std::unique_lock lines(linesLock_);
    gprsLines_.clear();
    std::vector<std::string> sections = gprsSections(ini);
    for (size_t n = 0; n < sections.size(); ++n) startGprsLine(ini, sections[n], n);
  }

  rebuildPages();
  selectPage(0);

  if (outputsExist()) {
    OutputServerSettings settings{
        out_.port, out_.syncPMinutes, readValues(ini, "CList"), programDir_ / "Orv_Serv_c",
        readAdmission(ini, "Out", {.allowKey = false, .firstLineWaitS = 20})};
    outputServer_ = std::make_unique<TOListThrd>(
        std::move(settings), *outputList_,
        [this](int line, const std::string& id, const std::string& command) {
          routeCommand(line, id, command);
        },
        &outputsChanged);
  }
  if (comOn_ && !outputList_->empty()) {
    serialOutput_ =
        std::make_unique<TOutThrd>(ini, serialOutputSettings(out_), *outputList_->items().front(),
                                   *questions_, &outputsChanged);
  }

  setTimer(true);
  diag(runningSummary());
}

std::string ServerCore::runningSummary() const {
  return "running: " + std::to_string(gprsLines_.size()) + " GPRS lines, " +
         std::to_string(outputList_ ? outputList_->count() : 0) + " output items";
}

void ServerCore::startInput(const IniFile& ini, const char* section,
                            std::optional<InputSettings>& slot) {
  slot.reset();
  InputSettings settings = readInputSettings(ini, section);
  if (!settings.present) return;
  slot = settings;
  if (std::string_view(section) == "TcpDrv") {
    tcpDrvInput_ = std::make_unique<TListThrd1>(
        TcpDrvSettings{settings.port, settings.line, minutesToMs(settings.lifeTimeMinutes),
                       programDir_ / "Orv_TcpDrv", readAdmission(ini, section, {})},
        outputList_.get(), &outputsChanged);
    return;
  }
  const SiaOptions options = readSiaOptions(ini);
  // The keys are read afresh at every start and reload (SIGHUP).
  siaInput_ = std::make_unique<TSIAListThrd>(
      SiaSettings{settings.port, settings.line, minutesToMs(settings.lifeTimeMinutes),
                  programDir_ / "Orv_Sia", readAdmission(ini, section, {}),
                  SiaKeys::load(programFile(kSiaKeysIniName)), options.window, options.udp},
      outputList_.get(), &outputsChanged, &siaViewChanged);
}

void ServerCore::startGprsLine(const IniFile& ini, const std::string& section, size_t index) {
  std::unique_ptr<tGprsItem> item = readGprsItem(ini, section, index);
  const std::string name = "GPRS line " + std::to_string(index) + " [" + section + "]";
  diagf("%s: Line=%u Port=%u LifeTime=%u min SyncP=%u min", name.c_str(), item->line, item->port,
        item->lifeTimeMs / 60000u, item->syncPMs / 60000u);

  if (item->logOn) {
    std::error_code ec;
    std::filesystem::path dir = programDir_ / tGprsItem::logDirName(index);
    std::filesystem::create_directory(dir, ec);
    if (ec)
      diagf("%s: cannot create log directory %s: %s", name.c_str(), dir.c_str(),
            ec.message().c_str());
  }
  item->log = std::make_unique<TenDayLog>(programDir_ / tGprsItem::logDirName(index));
  if (item->port != 0) {
    ModuleLineContext line;
    line.lineIndex = index;
    line.lineDigit = lineDigit(item->line);
    line.lifeTimeMs = item->lifeTimeMs;
    line.syncPMs = item->syncPMs;
    line.identityLine = options_.uFl;
    line.accountFilter = &accountFilter_;
    line.outputs = outputList_.get();
    line.log = item->log.get();
    line.console = &console_;
    line.rowsChanged = &item->rowsChanged;
    tIOCS::Settings settings;
    settings.port = item->port;
    settings.startCommands = startCommands_;
    settings.syncIntervalMs = sock_.tOutMs;
    settings.name = name;
    settings.admission = readAdmission(ini, section, {.perAddress = 0});
    settings.maxConnections = static_cast<size_t>(
        readSetting(ini, section, {"MaxConnections", tIOCS::kDefaultMaxConnections, 1, 1000000}));
    item->moduleServer = std::make_unique<tIOCS>(std::move(settings), line);
  }

  tGprsItem& line = *item;
  gprsLines_.push_back(std::move(item));
  startDevice(ini, line, name);
}

void ServerCore::startDevice(const IniFile& ini, tGprsItem& line, const std::string& name) {
  DeviceLineContext device;
  device.lineIndex = line.index;
  device.lineDigit = static_cast<uint8_t>(line.line & 0x0F);
  device.replacementAccount = static_cast<uint16_t>(options_.rAcc);
  device.deviceTemplate = sock_.deviceText;
  device.programDir = programDir_;
  device.log = deviceLog_.get();
  device.outputs = outputList_.get();
  device.console = &console_;
  device.questions = questions_;
  device.rowsChanged = &line.rowsChanged;
  device.rowChanged = &gprsLines_.front()->rowChanged;

  if (line.tcpOn) {
    if (line.tcpPort != 0) {
      // The device may stay silent up to its silence limit before it counts as dead.
      AdmissionRules rules = readAdmission(ini, line.section, {.perAddress = 0});
      rules.firstExchangeMs = device.silenceMs;
      line.deviceListener = std::make_unique<TCListThrd>(device, line.tcpPort, std::move(rules));
    }
    return;
  }
  line.rowsChanged.store(1, std::memory_order_relaxed);
  SerialSettings serial{line.baud, line.dataBits, line.parity, line.stopBits, line.flowCtrl};
  std::optional<SerialPort> port = SerialPort::open(ini, line.com, serial);
  if (!port) return;  // the line goes on without its device; the port said why
  diagf("%s: GSM receiver on COM%d (%s)", name.c_str(), line.com, port->path().c_str());
  line.serialDevice = std::make_shared<TComThrd>(device, std::move(*port));
  line.serialDevice->start();
  if (!smsServer_) {
    // Texts go to the first line's device, whichever line opened the SMS port. The line record
    // itself is held: the list grows while later lines start.
    tGprsItem* first = gprsLines_.front().get();
    smsServer_ = std::make_unique<TSmsListThrd>(
        SmsSettings{.port = readSmsPort(ini),
                    .logDir = programDir_ / "SMSLog",
                    .admission = readAdmission(ini, "Sms", {.firstLineWaitS = 20})},
        [first](const std::string& text) { return first->queueDeviceText(text); },
        &smsCountChanged);
  }
}

void ServerCore::rebuildPages() {
  pages_.clear();
  for (const auto& line : gprsLines_)
    pages_.push_back({Page::Kind::Gprs, line->index, line->section});
  if (tcpDrv_) pages_.push_back({Page::Kind::TcpDrv, 0, "TcpDrv"});
  if (sia_) pages_.push_back({Page::Kind::Sia, 0, "Sia"});
  view_->pagesChanged();
}

size_t ServerCore::moduleConnectionCount(const tGprsItem& line) const {
  return line.moduleServer ? line.moduleServer->clients().count() : 0;
}

size_t ServerCore::statusRowCount(const tGprsItem& line) const {
  return moduleConnectionCount(line) + (line.hasDevice() ? 1 : 0);
}

std::vector<ModuleRow> ServerCore::lineRows(const tGprsItem& line) const {
  std::vector<ModuleRow> rows;
  if (std::optional<ModuleRow> device = line.deviceRow()) rows.push_back(std::move(*device));
  if (line.moduleServer) {
    for (ModuleRow& row : moduleRows(line.moduleServer->clients())) rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<ModuleRow> ServerCore::lineRow(size_t lineIndex, size_t row) const {
  if (lineIndex >= gprsLines_.size()) return std::nullopt;
  const tGprsItem& line = *gprsLines_[lineIndex];
  if (line.hasDevice()) {
    if (row == 0) return line.deviceRow();
    --row;
  }
  if (!line.moduleServer) return std::nullopt;
  // The record is held while its texts are read, so a connection that ends meanwhile is not
  // freed under the view.
  ClientPtr client = line.moduleServer->clients().at(row);
  if (!client) return std::nullopt;
  return moduleRow(*client);
}

void ServerCore::sortLine(size_t lineIndex, ClientOrder order) {
  if (lineIndex >= gprsLines_.size() || !gprsLines_[lineIndex]->moduleServer) {
    setCurrentClientOrder(order);
    return;
  }
  sortClients(gprsLines_[lineIndex]->moduleServer->clients(), order);
}

void ServerCore::selectPage(size_t index) {
  if (index >= pages_.size()) return;
  activePage_ = index;
  const Page& page = pages_[index];
  switch (page.kind) {
    case Page::Kind::Gprs: {
      const tGprsItem& line = *gprsLines_[page.line];
      view_->setConnectionCounter("OnLine " + std::to_string(moduleConnectionCount(line)));
      view_->setNameField(line.pName);
      break;
    }
    case Page::Kind::TcpDrv:
      view_->setConnectionCounter(
          "OnLine " + std::to_string(tcpDrvInput_ ? tcpDrvInput_->connectionCount() : 0));
      view_->setNameField(tcpDrv_->pName);
      break;
    case Page::Kind::Sia:
      view_->setConnectionCounter("OnLine " +
                                  std::to_string(siaInput_ ? siaInput_->connectionCount() : 0));
      view_->setNameField(sia_->pName);
      break;
  }
}

void ServerCore::tick() {
  if (!timerEnabled_) return;
  for (const auto& line : gprsLines_) {
    if (line->rowChanged.exchange(0, std::memory_order_relaxed) != 0) {
      view_->repaintLine(line->index);
      view_->repaintOutputs();
    }
    if (line->rowsChanged.exchange(0, std::memory_order_relaxed) != 0) {
      size_t rows = statusRowCount(*line);
      view_->setLineRowCount(line->index, rows);
      const Page& active = pages_[activePage_];
      if (active.kind == Page::Kind::Gprs && active.line == line->index) {
        view_->setConnectionCounter("OnLine " + std::to_string(rows));
      }
      view_->repaintLine(line->index);
      view_->repaintOutputs();
    }
  }
  if (outputsChanged.exchange(0, std::memory_order_relaxed) != 0) view_->repaintOutputs();
  if (siaViewChanged.exchange(0, std::memory_order_relaxed) != 0) view_->repaintSia();
  // The input pages have no flag of their own: while one is shown, its connections and their
  // number are read again every second.
  if (activePage_ < pages_.size() && pages_[activePage_].kind != Page::Kind::Gprs) {
    selectPage(activePage_);
    if (pages_[activePage_].kind == Page::Kind::TcpDrv) {
      view_->repaintTcpDrv();
    } else {
      view_->repaintSia();
    }
  }
  if (smsCountChanged.exchange(0, std::memory_order_relaxed) != 0) {
    view_->setSmsCounter(smsCounterText(smsServer_ ? smsServer_->clientCount() : 0));
  }
}

// Called from the output client threads while the lines exist (they are freed only after the
// output server has stopped).
void ServerCore::routeCommand(int lineNumber, const std::string& moduleId,
                              const std::string& command) {
  for (const auto& line : gprsLines_) {
    if (line->line != lineNumber) continue;
    if (line->moduleServer) {
      if (ClientPtr client = line->moduleServer->clients().find(moduleId)) {
        client->queueCommand(command);
        return;
      }
    }
    // Not a module of this line: the line's GSM receiver passes it on.
    if (line->queueDeviceText(moduleId + ":" + command) == 0) {
      diagf("command for '%s' on line %d: no such module connected and no GSM receiver",
            moduleId.c_str(), lineNumber);
    }
    return;
  }
  diagf("command for '%s': no GPRS line with Line=%d", moduleId.c_str(), lineNumber);
}

void ServerCore::setTimer(bool enabled) {
  timerEnabled_ = enabled;
  loop_.setTimerEnabled(timer_, enabled);
}

void ServerCore::stopInputs() {
  // TcpDrv connections are asked to end first, then the SIA receiver stops whole, then the
  // TcpDrv listener and list.
  if (tcpDrvInput_) tcpDrvInput_->requestStopConnections();
  siaInput_.reset();
  sia_.reset();
  tcpDrvInput_.reset();
  tcpDrv_.reset();
}

void ServerCore::stopLinesAndOutputs() {
  setTimer(false);
  // Order: SMS server; every line's module server and device threads (all asked, then all
  // awaited); the output server with its clients; the serial output; last the output list,
  // whose items keep their unsent lines.
  if (smsServer_) {
    smsServer_->stop();
    smsServer_.reset();
  }
  for (const auto& line : gprsLines_) {
    if (line->moduleServer) line->moduleServer->stop();
    line->requestStopDevices();
  }
  for (const auto& line : gprsLines_) line->joinDevices();
  // The output clients route commands to the lines: the lines go only once they are stopped.
  outputServer_.reset();
  serialOutput_.reset();
  {
    std::unique_lock lines(linesLock_);
    gprsLines_.clear();
  }
  comOn_ = false;
  outputList_.reset();
  pages_.clear();
  activePage_ = 0;
}

void ServerCore::reload() {
  if (!running_) return;
  diag("reloading the configuration");
  setTimer(false);
  stopInputs();
  stopLinesAndOutputs();
  loadConfiguration();
  reloads_.fetch_add(1, std::memory_order_relaxed);
  diag("configuration reloaded");
}

void ServerCore::shutdown() {
  if (!running_) return;
  running_ = false;
  diag("stopping");
  setTimer(false);
  // The operator goes first: a sequence must not queue anything to a line that is stopping.
  commandConsole_->interrupt();
  if (operatorChannel_) operatorChannel_->stop();
  commandConsole_->stopDebug();
  stopInputs();
  stopLinesAndOutputs();
  beep(500, 100, "shutdown complete");
}

}  // namespace orv
