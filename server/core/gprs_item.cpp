#include "server/core/gprs_item.h"

#include "common/diag.h"
#include "server/core/config.h"
#include "server/inputs/device_line.h"
#include "server/modules/iocs.h"

namespace orv {

tGprsItem::tGprsItem() = default;

tGprsItem::~tGprsItem() {
  requestStopDevices();
  joinDevices();
}

void tGprsItem::requestStopDevices() {
  if (deviceListener) deviceListener->requestStop();
  if (serialDevice) serialDevice->requestStop();
}

void tGprsItem::joinDevices() {
  if (deviceListener) deviceListener->stop();
  if (serialDevice) serialDevice->join();
}

std::shared_ptr<TComThrd> tGprsItem::tcpDevice() const {
  return deviceListener ? deviceListener->newest() : nullptr;
}

bool tGprsItem::hasDevice() const {
  return serialDevice != nullptr || tcpDevice() != nullptr;
}

std::optional<ModuleRow> tGprsItem::deviceRow() const {
  if (serialDevice) return serialDevice->row();
  if (std::shared_ptr<TComThrd> device = tcpDevice()) return device->row();
  return std::nullopt;
}

size_t tGprsItem::queueDeviceText(const std::string& text) {
  size_t taken = 0;
  if (serialDevice && serialDevice->queueText(text)) ++taken;
  if (std::shared_ptr<TComThrd> device = tcpDevice(); device && device->queueText(text)) ++taken;
  return taken;
}

std::string tGprsItem::logDirName(size_t index) {
  return "Orv_Serv" + std::to_string(index);
}

std::unique_ptr<tGprsItem> readGprsItem(const IniFile& ini, const std::string& section,
                                        size_t index) {
  auto item = std::make_unique<tGprsItem>();
  const std::string& s = section;
  item->index = index;
  item->section = section;
  item->pName = ini.readString(s, "PName", "");
  item->line = static_cast<uint8_t>(readSetting(ini, s, {"Line", 0, 0, 255}));
  item->port = static_cast<uint16_t>(readSetting(ini, s, {"Port", 778, 0, 65535}));
  item->syncPMs = minutesToMs(readSetting(ini, s, {"SyncP", 60, 0, kMaxMinutes}));
  item->com = readSetting(ini, s, {"Com", 0, 0, 255});
  item->baud = readSetting(ini, s, {"Baud", 9600, 1, 4000000});
  item->dataBits = static_cast<int16_t>(readSetting(ini, s, {"DataBits", 8, 4, 8}));
  item->parity = static_cast<int16_t>(readSetting(ini, s, {"Parity", 0, 0, 4}));
  item->stopBits = static_cast<int16_t>(readSetting(ini, s, {"StopBits", 0, 0, 2}));
  item->flowCtrl = static_cast<int16_t>(readSetting(ini, s, {"FlowCtrl", 0, 0, 2}));
  item->testTimeMs = minutesToMs(readSetting(ini, s, {"TestTime", 5, 0, kMaxMinutes}));
  item->lifeTimeMs = minutesToMs(readSetting(ini, s, {"LifeTime", 5, 0, kMaxMinutes}));
  item->cSyncPMs = minutesToMs(readSetting(ini, s, {"CSyncP", 60, 0, kMaxMinutes}));
  item->tcpOn = ini.readBool(s, "TcpOn", false);
  item->logOn = ini.readBool(s, "LogOn", false);
  item->tcpPort = static_cast<uint16_t>(readSetting(ini, s, {"TcpPort", 777, 0, 65535}));
  return item;
}

std::vector<std::string> gprsSections(const IniFile& ini) {
  std::vector<std::string> out;
  for (const std::string& name : ini.sections()) {
    if (!beginsWithNoCase(name, "GPRS")) continue;
    if (out.size() == kMaxGprsLines) {
      diagf("%s: more than %zu GPRS sections; [%s] and later ones are ignored", ini.path().c_str(),
            kMaxGprsLines, name.c_str());
      break;
    }
    out.push_back(name);
  }
  if (out.empty()) out.emplace_back("GPRS0");
  return out;
}

}  // namespace orv
