#pragma once

#include <cstdint>
#include <string_view>

namespace orv {

// CRC-32C (Castagnoli), as iSCSI and ext4 use it: reflected polynomial 0x82F63B78, initial value
// and final XOR 0xFFFFFFFF. crc32c("123456789") is 0xE3069283. Pass the previous result as
// `crc` to continue over several pieces. Uses the processor's CRC32 instruction where it has one.
uint32_t crc32c(std::string_view data, uint32_t crc = 0);

}  // namespace orv
