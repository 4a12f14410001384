#pragma once

#include <string>
#include <string_view>

#include "server/core/config_findings.h"
#include "server/core/ini_scan.h"

// Which sections and keys ORV_Serv.ini may hold, for the configuration check: the readers look
// up the keys they know, so a mistyped key or section is passed over without a word.

namespace orv::config_check {

// Output channel sections begin with "Client" as written; every other name goes without regard
// to case, as the reader looks them up.
bool isChannelSection(std::string_view name);
// "COM" and a number: a key of [Ports].
bool isComKey(std::string_view key);

// Every section and key the readers do not know, and every number that is none (the reader
// then uses its default, which the finding names).
void checkSectionsAndKeys(const IniScan& scan, const std::string& file, Findings& out);

}  // namespace orv::config_check
