// The texts of a GSM receiver device line: event messages rebuilt by the [M] C template, caller
// numbers, output lines, and the "#4" records of a configuration download and upload.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

#include "server/inputs/device_text.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

void messages(FuzzedDataProvider& in) {
  const std::string templ = in.ConsumeRandomLengthString(64);
  const std::string compiled = compileDeviceTemplate(templ);
  FUZZ_CHECK(compiled.size() <= templ.size());
  const uint8_t digit = in.ConsumeIntegral<uint8_t>();
  const uint16_t replacement = in.ConsumeIntegral<uint16_t>();
  while (in.remaining_bytes() > 0) {
    const std::string message = in.ConsumeRandomLengthString(400);
    const std::string converted = convertDeviceMessage(message, compiled);
    FUZZ_CHECK(converted.size() <= compiled.size() * 4 + 14);
    const std::string number = deviceCallerNumber(message);
    FUZZ_CHECK(number.size() + 9 <= std::max<size_t>(message.size(), 9));
    FUZZ_CHECK(number.find('F') == std::string::npos);
    for (const std::string& line : {message, converted}) {
      DeviceOutput out = deviceOutputLine(line, digit, replacement);
      FUZZ_CHECK(out.line.size() == line.size());
      if (out.account) FUZZ_CHECK(line[0] == '1');
    }
  }
}

// A download fills an image; the upload of that image, downloaded again, gives the same bytes.
void records(FuzzedDataProvider& in) {
  DeviceImage image;
  image.fill(0xFF);
  size_t counted = 0;
  while (in.remaining_bytes() > 0) {
    const std::string record = in.ConsumeRandomLengthString(80);
    const DownloadRecord r = storeDownloadRecord(record, image);
    FUZZ_CHECK(r.counts == (!record.empty() && record[0] == ':'));
    FUZZ_CHECK(!(r.stored && r.damaged));
    counted += r.counts;
  }
  (void)counted;
  FUZZ_CHECK(std::all_of(image.begin() + kDeviceTransferEnd + 1, image.end(),
                         [](uint8_t b) { return b == 0xFF; }));
  DeviceImage again;
  again.fill(0xFF);
  for (const std::string& record : uploadRecords(image)) {
    FUZZ_CHECK(record.size() == 11 + 32);
    const DownloadRecord r = storeDownloadRecord(record, again);
    FUZZ_CHECK(r.counts && r.stored && !r.damaged);
  }
  for (uint32_t block = 0; block < kDeviceTransferEnd; block += 16) {
    const auto first = image.begin() + block;
    const bool skipped = std::all_of(first, first + 16, [](uint8_t b) { return b == 0xFF; }) ||
                         std::all_of(first, first + 16, [](uint8_t b) { return b == 0; });
    if (!skipped) FUZZ_CHECK(std::equal(first, first + 16, again.begin() + block));
  }
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool())
    orv::messages(in);
  else
    orv::records(in);
  return 0;
}
