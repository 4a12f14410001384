#include "client/pelkon_settings.h"

#include "common/diag.h"

namespace orv {

PelkonSettings readPelkonSettings(const IniFile& ini, int32_t channel) {
  PelkonSettings s;
  s.converter.pcTime = ini.readBool("Opt", "PcTime", false);
  s.converter.lineMap = makeLineMap(ini.readString("Opt", "LineMap", "0123456789abcdef"));
  s.converter.uEnable = ini.readBool("Options", "UEnable", false);
  s.section = "Ch" + std::to_string(static_cast<uint8_t>(channel) + 1);
  s.client = ini.readInteger(s.section, "Client", 0) != 0;
  s.host = ini.readString(s.section, "Host", "localhost");
  int32_t port = ini.readInteger(s.section, "Port", 910);
  if (port < 0 || port > 65535) {
    diagf("Pelkon [%s] Port=%d is no TCP port; 910 is used", s.section.c_str(), port);
    port = 910;
  }
  s.port = static_cast<uint16_t>(port);
  s.id = ini.readString(s.section, "Id", "");
  return s;
}

}  // namespace orv
