// Intel HEX where the server reads and writes it: the "#4" records of module downloads and the
// upload blocks, the log image of a module log file, and the text and device image files.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/hex_record.h"
#include "server/inputs/log_decoding.h"
#include "server/programming/device_config.h"
#include "server/programming/image_blocks.h"
#include "server/programming/text_image.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

const std::filesystem::path& scratchFile() {
  static const std::filesystem::path path = [] {
    char pattern[] = "/tmp/orv-fuzz-hex-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    FUZZ_CHECK(made != nullptr);
    static std::string dir = made;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return std::filesystem::path(made) / "image.hex";
  }();
  return path;
}

void writeScratch(std::string_view text) {
  std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Lines of `block` up to the "C/" line, stored as a download would store them.
template <size_t N>
void download(std::string_view block, std::array<uint8_t, N>& image, uint32_t base) {
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find("\r\n", start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    start = end + 2;
    if (line.starts_with("C/")) {
      FUZZ_CHECK(downloadCount(line).has_value());
      break;
    }
    storeReceivedRecord(line, image, base);
  }
}

template <size_t N>
void roundTrip(const std::array<uint8_t, N>& image, uint32_t base) {
  std::array<uint8_t, N> again;
  again.fill(0xFF);
  download(imageUploadBlock(image, base), again, base);
  FUZZ_CHECK(again == image);
  again.fill(0xFF);
  download(imageHexText(image, base, base + N), again, base);
  FUZZ_CHECK(again == image);
}

void records(FuzzedDataProvider& in) {
  ConfigImage config;
  config.fill(0xFF);
  TextImage text;
  text.fill(0xFF);
  while (in.remaining_bytes() > 0) {
    const std::string line = in.ConsumeRandomLengthString(100);
    (void)downloadCount(line);
    storeReceivedRecord(line, config, 0);
    storeReceivedRecord(line, text, kTextImageBase);
  }
  roundTrip(config, 0);
  roundTrip(text, kTextImageBase);
}

void logImage(std::string_view bytes) {
  LogImageLoad load = loadLogImage(bytes);
  std::vector<std::string> diagnostics;
  const TLList list = walkLogRing(load.image, &diagnostics);
  FUZZ_CHECK(list.size() <= kLogImageSize);
}

void imageFiles(std::string_view bytes) {
  writeScratch(bytes);
  TextImage text;
  text.fill(0x5A);
  if (loadTextImageHex(scratchFile(), text).empty()) {
    const std::string saved = textImageHexText(text);
    writeScratch(saved);
    TextImage again;
    FUZZ_CHECK(loadTextImageHex(scratchFile(), again).empty());
    FUZZ_CHECK(again == text);
    writeScratch(bytes);
  } else {
    FUZZ_CHECK(std::all_of(text.begin(), text.end(), [](uint8_t b) { return b == 0x5A; }));
  }
  DeviceImage device;
  device.fill(0x5A);
  if (loadDeviceHex(scratchFile(), device).empty()) {
    const std::string saved = deviceHexText(device);
    writeScratch(saved);
    DeviceImage again;
    FUZZ_CHECK(loadDeviceHex(scratchFile(), again).empty());
    FUZZ_CHECK(deviceHexText(again) == saved);
  } else {
    FUZZ_CHECK(std::all_of(device.begin(), device.end(), [](uint8_t b) { return b == 0x5A; }));
  }
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  if (size == 0) return 0;
  const std::string_view rest = fuzz::bytesOf(data + 1, size - 1);
  FuzzedDataProvider in(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      records(in);
      break;
    case 1:
      logImage(rest);
      break;
    default:
      imageFiles(rest);
      break;
  }
  return 0;
}
