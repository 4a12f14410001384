// The operator channel's lines: fields escaped and split, numbers, and the line buffer the
// session reads requests through, fed in reads of any size and compared with a plain splitter.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "common/operator_wire.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

void fields(std::string_view line) {
  std::optional<std::vector<std::string>> split = splitWireLine(line);
  if (split && !(split->size() == 1 && split->front().empty())) {
    // What we send reads back field for field (one empty field is an empty line: no fields).
    std::string again = wireLine(*split);
    FUZZ_CHECK(again.back() == '\n');
    again.pop_back();
    FUZZ_CHECK(again.find_first_of("\n\r") == std::string::npos);
    FUZZ_CHECK(splitWireLine(again) == split);
  }
  FUZZ_CHECK(unescapeWireText(escapeWireText(line)) == std::string(line));
  std::optional<int> number = parseWireNumber(line);
  const bool digits = !line.empty() && line.size() <= 6 &&
                      line.find_first_not_of("0123456789") == std::string_view::npos;
  FUZZ_CHECK(number.has_value() == digits);
  if (number) FUZZ_CHECK(*number == std::stoi(std::string(line)));
}

void buffer(FuzzedDataProvider& in) {
  const size_t max = in.ConsumeIntegralInRange<size_t>(0, 64);
  WireLineBuffer buf(max);
  std::string pending;  // the reference: bytes not yet handed out
  while (in.remaining_bytes() > 0) {
    const std::string chunk = in.ConsumeBytesAsString(
        in.ConsumeIntegralInRange<size_t>(1, std::max<size_t>(buf.room(), 1)));
    buf.append(chunk);
    pending += chunk;
    for (;;) {
      std::string line;
      const WireLineBuffer::Next next = buf.next(line);
      const size_t lf = pending.find('\n');
      if (lf != std::string::npos && lf <= max) {
        FUZZ_CHECK(next == WireLineBuffer::Next::Line && line == pending.substr(0, lf));
        fields(line);
        pending.erase(0, lf + 1);
        continue;
      }
      if (lf != std::string::npos || pending.size() > max) {
        FUZZ_CHECK(next == WireLineBuffer::Next::TooLong);
        return;  // the session ends
      }
      FUZZ_CHECK(next == WireLineBuffer::Next::None);
      FUZZ_CHECK(buf.room() == max + 1 - pending.size());
      break;
    }
  }
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzedDataProvider in(data + 1, size - 1);
  if (data[0] & 1)
    orv::fields(orv::fuzz::bytesOf(data + 1, size - 1));
  else
    orv::buffer(in);
  return 0;
}
