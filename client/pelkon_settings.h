#pragma once

#include <cstdint>
#include <string>

#include "client/msg_converter.h"
#include "common/ini_file.h"

namespace orv {

// One channel's settings from Pelkon.ini.
struct PelkonSettings {
  ConverterOptions converter;
  std::string section;  // "Ch" + channel number + 1
  bool client = false;  // connect to the server; else listen on port
  std::string host = "localhost";
  uint16_t port = 910;
  std::string id;  // the output channel's name on the server
};

// Reads the settings of channel `channel` (low byte used).
PelkonSettings readPelkonSettings(const IniFile& ini, int32_t channel);

}  // namespace orv
