// forEachLine, the line splitting of every event-loop input (the SMS port, TcpDrv, SIA), fed in
// reads of any size and compared with a plain splitter of the whole stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "common/event_connections.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  FuzzedDataProvider in(data, size);
  static const char* const kEnds[] = {"\r\n", "\r", "\n", "\x14", "\r\n\r\n"};
  const std::string end = in.ConsumeBool()
                              ? std::string(kEnds[in.ConsumeIntegralInRange<size_t>(0, 4)])
                              : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 3));
  if (end.empty()) return 0;

  std::string stream, unread;
  std::vector<std::string> lines;
  while (in.remaining_bytes() > 0) {
    const std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 40));
    stream += chunk;
    unread += chunk;
    const size_t used = forEachLine(unread, chunk.size(), end,
                                    [&](std::string_view line) { lines.emplace_back(line); });
    FUZZ_CHECK(used <= unread.size());
    unread.erase(0, used);
  }
  // The reference: every terminator found from the left, each search after the last one.
  std::vector<std::string> expected;
  size_t from = 0;
  for (size_t pos = stream.find(end); pos != std::string::npos; pos = stream.find(end, from)) {
    expected.push_back(stream.substr(from, pos - from));
    from = pos + end.size();
  }
  FUZZ_CHECK(lines == expected);
  FUZZ_CHECK(unread == stream.substr(from));
  return 0;
}
