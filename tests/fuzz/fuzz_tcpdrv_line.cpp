// TcpDrv lines as the input takes them from a connection: cut at CR LF in reads of any size,
// checked, normalised, given the line digit and a new checksum, and keyed for the filters.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "common/event_connections.h"
#include "common/line_socket.h"
#include "server/inputs/tcpdrv_input.h"
#include "server/outputs/filter.h"
#include "server/outputs/output_line.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

void takeLine(std::string_view line, char digit) {
  // Whatever we send on carries a checksum that the next receiver accepts.
  FUZZ_CHECK(tcpDrvChecksumOk(withTcpDrvChecksum(line)));
  if (line.empty() || line[0] != '5' || !tcpDrvChecksumOk(line)) return;
  std::string normalised(line);
  if (normalised.size() >= 4) normalised[3] = '2';
  normalised = withTcpDrvChecksum(normalised);
  FUZZ_CHECK(tcpDrvChecksumOk(normalised));
  std::string dispatched = normalised;
  setLineDigit(dispatched, digit);
  dispatched = withTcpDrvChecksum(dispatched);
  FUZZ_CHECK(tcpDrvChecksumOk(dispatched));
  FUZZ_CHECK(dispatched.size() <= line.size() + 3);
  const EventKeys keys = EventKeys::line(EventSource::TcpDrv, dispatched);
  FUZZ_CHECK(keys.account == lineAccount(dispatched));
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  FuzzedDataProvider in(data, size);
  const char digit = lineDigit(in.ConsumeIntegral<uint8_t>());
  std::string unread;
  while (in.remaining_bytes() > 0) {
    const std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 300));
    unread += chunk;
    const size_t used = forEachLine(unread, chunk.size(), "\r\n",
                                    [&](std::string_view line) { takeLine(line, digit); });
    unread.erase(0, used);
    if (unread.size() > LineSocket::kMaxLine + 2) break;  // the input's limit ends the connection
  }
  return 0;
}
