#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orv {

// Module memory images as they travel to and from the modules.
inline constexpr size_t kConfigImageSize = 1024;
inline constexpr uint32_t kTextImageBase = 5000;
inline constexpr size_t kTextImageSize = 16956 - kTextImageBase;  // addresses 5000 to 16955

// The second family's configuration, as the GSM receiver device line carries it.
inline constexpr size_t kDeviceImageSize = 0x3F30;

using ConfigImage = std::array<uint8_t, kConfigImageSize>;
using TextImage = std::array<uint8_t, kTextImageSize>;
using DeviceImage = std::array<uint8_t, kDeviceImageSize>;

// The block sent after a module's "Wait for hex": one 16-byte record per block of the image
// (the last one shorter when the image ends), records of all 0xFF left out, then the end record,
// an empty line and "C/" with the number of records sent plus one; every line ends in "\r\n".
std::string imageUploadBlock(std::span<const uint8_t> image, uint32_t base);

// A code table or firmware file is sent whole in one block, so it has a size limit; module
// firmware is a small fraction of it.
inline constexpr uintmax_t kMaxTransferFile = 8u << 20;

// Why a file cannot be sent as a code table or firmware: it cannot be read, it is larger than
// kMaxTransferFile, or a non-empty line of it is not an Intel HEX record. Empty when it can.
std::string transferFileProblem(const std::filesystem::path& file);

// The block for a file transfer ("stab", "sfirm"): every non-empty line of the file with
// "\r\n", then "\r\nC/<lines>\r\n". std::nullopt when the file cannot be read or is larger
// than kMaxTransferFile.
std::optional<std::string> fileUploadBlock(const std::filesystem::path& file);

// Stores one received "#4" record (without the "#4") into an image covering
// [base, base + image.size()). Records of another type, bad records and bytes outside the
// image are dropped; returns whether the line was a data record.
bool storeReceivedRecord(std::string_view record, std::span<uint8_t> image, uint32_t base);

// "C/" + decimal count at the end of a download: the count, or none when it is missing or is
// not a number.
std::optional<uint32_t> downloadCount(std::string_view message);

// The Intel HEX text of an image as "Save" writes it: one record per line for every 16-byte
// block below `limit` that is not all 0xFF (the last block of the image may be shorter), then
// the end record. No count line.
std::string imageHexText(std::span<const uint8_t> image, uint32_t base, uint32_t limit);

// Writes `text` to `file` through a temporary file and a rename; empty on success, else why not.
std::string writeTextFile(const std::filesystem::path& file, std::string_view text);

}  // namespace orv
