// Intel HEX records as the modules and the device exchange them, and the hex helpers.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "common/hex_record.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 32);
  }
  return out;
}

void record(std::string_view text, FuzzedDataProvider& in) {
  std::optional<HexRecord> r = decodeHexRecord(text);
  if (!r) return;
  FUZZ_CHECK(r->data.size() <= 255);
  // A data record written again reads back the same.
  const std::string encoded = encodeHexRecord(r->address, r->data);
  std::optional<HexRecord> again = decodeHexRecord(encoded);
  FUZZ_CHECK(again && again->checksumOk && again->type == kHexDataType &&
             again->address == r->address && again->data == r->data);
  if (r->type == kHexDataType && r->checksumOk) {
    // A whole, right record is the encoding of its own fields (digits in either case).
    std::string_view t = text;
    while (!t.empty() &&
           (t.front() == ' ' || t.front() == '\t' || t.front() == '\r' || t.front() == '\n'))
      t.remove_prefix(1);
    while (!t.empty() &&
           (t.back() == ' ' || t.back() == '\t' || t.back() == '\r' || t.back() == '\n'))
      t.remove_suffix(1);
    FUZZ_CHECK(upper(t) == encoded);
  }
  std::vector<uint8_t> image(in.ConsumeIntegralInRange<size_t>(0, 600), 0xEE);
  const uint32_t base = in.ConsumeIntegralInRange<uint32_t>(0, 0x12000);
  const size_t stored = storeHexRecord(*r, image, base);
  FUZZ_CHECK(stored <= r->data.size() && stored <= image.size());
  if (r->type != kHexDataType) FUZZ_CHECK(stored == 0);
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  const std::string_view bytes = fuzz::bytesOf(data, size);
  FuzzedDataProvider in(data, size);
  record(bytes, in);
  // Every line of the input as one record, as a file is read.
  size_t start = 0;
  while (start < bytes.size()) {
    size_t lf = bytes.find('\n', start);
    if (lf == std::string_view::npos) lf = bytes.size();
    record(bytes.substr(start, lf - start), in);
    start = lf + 1;
  }
  std::optional<uint32_t> v = parseHex(bytes.substr(0, 12));
  if (v) {
    std::string digits;
    for (int shift = 24; shift >= 0; shift -= 8)
      appendHexByte(digits, static_cast<uint8_t>(*v >> shift));
    FUZZ_CHECK(parseHex(digits) == v);
  }
  return 0;
}
