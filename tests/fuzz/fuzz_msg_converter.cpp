// The client library's line converter: output lines of any bytes, with any options, turned into
// message records until nothing is left.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <string>

#include "client/msg_converter.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  FuzzedDataProvider in(data, size);
  ConverterOptions options;
  options.pcTime = in.ConsumeBool();
  options.uEnable = in.ConsumeBool();
  if (in.ConsumeBool()) options.lineMap = in.ConsumeRandomLengthString(20);
  tMsgConverter converter(options);
  std::deque<std::string> lines;
  while (in.remaining_bytes() > 0) lines.push_back(in.ConsumeRandomLengthString(300));
  OrvMessage msg;
  std::memset(&msg, 0, sizeof msg);
  const size_t total = lines.size();
  size_t calls = 0;
  for (;;) {
    const int32_t left = converter.getMsg(lines, msg);
    FUZZ_CHECK(left >= 0);
    FUZZ_CHECK(msg.area[0] <= 2 && msg.code[0] <= 7);
    if (msg.extra != nullptr) FUZZ_CHECK(std::strlen(msg.extra) <= tMsgConverter::kMaxLineUsed);
    if (left > 0) FUZZ_CHECK(msg.line <= 16);
    // Each call takes a line or a pending event; an SIA line has at most one event per byte.
    FUZZ_CHECK(++calls <= total * (1 + tMsgConverter::kMaxLineUsed) + 1);
    if (left == 0 && lines.empty() && converter.pendingEvents() == 0) break;
  }
  return 0;
}
