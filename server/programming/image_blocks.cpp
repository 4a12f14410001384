#include "server/programming/image_blocks.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
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

std::string transferFileProblem(const std::filesystem::path& file) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return file.string() + ": " + ec.message();
  if (size > kMaxTransferFile) {
    return file.string() + ": " + std::to_string(size) + " bytes, more than a module takes";
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return file.string() + ": cannot be read";
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) continue;
    std::optional<HexRecord> record = decodeHexRecord(line);
    if (!record || !record->checksumOk) {
      return file.string() + ": line " + std::to_string(number) + " is not an Intel HEX record";
    }
  }
  return {};
}

std::optional<std::string> fileUploadBlock(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::file_size(file, ec) > kMaxTransferFile || ec) return std::nullopt;
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

std::optional<uint32_t> downloadCount(std::string_view message) {
  if (!message.starts_with("C/")) return std::nullopt;
  std::string_view digits = message.substr(2);
  while (!digits.empty() &&
         (digits.back() == ' ' || digits.back() == '\r' || digits.back() == '\n'))
    digits.remove_suffix(1);
  uint32_t count = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (ec != std::errc() || digits.empty() || end != digits.data() + digits.size())
    return std::nullopt;
  return count;
}

std::string imageHexText(std::span<const uint8_t> image, uint32_t base, uint32_t limit) {
  std::string text;
  for (size_t off = 0; off < image.size() && base + off < limit; off += 16) {
    std::span<const uint8_t> block = image.subspan(off, std::min<size_t>(16, image.size() - off));
    if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; })) continue;
    text += encodeHexRecord(static_cast<uint16_t>(base + off), block);
    text += "\r\n";
  }
  text += std::string(kHexEndRecord) + "\r\n";
  return text;
}

std::string writeTextFile(const std::filesystem::path& file, std::string_view text) {
  const std::filesystem::path temp = file.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot write " + temp.string() + ": " + std::strerror(errno);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) return "cannot write " + temp.string() + ": " + std::strerror(errno);
  }
  std::error_code ec;
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return "cannot write " + file.string() + ": " + ec.message();
  }
  return {};
}

}  // namespace orv
