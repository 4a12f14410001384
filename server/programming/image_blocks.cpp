#include "server/programming/image_blocks.h"

#include <algorithm>
#include <fstream>

#include "common/hex_record.h"

namespace orv {

std::string imageUploadBlock(std::span<const uint8_t> image, uint32_t base) {
  std::string block;
  int records = 0;
  for (size_t off = 0; off < image.size(); off += 16) {
    std::span<const uint8_t> data = image.subspan(off, std::min<size_t>(16, image.size() - off));
    if (std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xFF; })) continue;
    block += encodeHexRecord(static_cast<uint16_t>(base + off), data);
    block += "\r\n";
    ++records;
  }
  block += std::string(kHexEndRecord) + "\r\n\r\nC/" + std::to_string(records + 1) + "\r\n";
  return block;
}

std::optional<std::string> fileUploadBlock(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string block, line;
  int lines = 0;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) continue;
    block += line + "\r\n";
    ++lines;
  }
  block += "\r\nC/" + std::to_string(lines) + "\r\n";
  return block;
}

bool storeReceivedRecord(std::string_view record, std::span<uint8_t> image, uint32_t base) {
  std::optional<HexRecord> rec = decodeHexRecord(record);
  if (!rec || rec->type != kHexDataType) return false;
  storeHexRecord(*rec, image, base);
  return true;
}

}  // namespace orv
