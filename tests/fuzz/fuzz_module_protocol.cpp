// Module lines through the whole protocol of one connection: the input's first bytes pick the
// transfer state the connection is in and the console commands that wait for the next poll, the
// rest arrives in reads of any size, with time passing between them.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/ini_file.h"
#include "server/modules/module_protocol.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

struct World {
  World() {
    char pattern[] = "/tmp/orv-fuzz-module-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    FUZZ_CHECK(made != nullptr);
    dir = made;
    table = dir / "table.hex";
    std::ofstream(table) << ":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n";
    // Events go through the outputs' module line templates into one small queue.
    outputs = std::make_unique<tOList>(
        IniFile::fromText("[Client0]\nId=Bank\nQSize=50\n[Client1]\nId=Dated\nQSize=50\nDate=1\n"),
        false, dir, nullptr, false);
    filter.add(tAFItem{0x100, 0x1FF});
    line.lineDigit = '1';
    line.lifeTimeMs = 300000;
    line.syncPMs = 3600000;
    line.accountFilter = &filter;
    line.outputs = outputs.get();
    line.clients = &clients;
    line.console = &console;
  }
  ~World() {
    outputs.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::filesystem::path dir;
  std::filesystem::path table;
  std::unique_ptr<tOList> outputs;
  tAFList filter;
  TClientList clients;
  ModuleConsole console;
  ModuleLineContext line;
};

World& world() {
  static World* w = [] {
    auto* made = new World;
    std::atexit([] { delete &world(); });
    return made;
  }();
  return *w;
}

std::string command(FuzzedDataProvider& in, const World& w) {
  static const char* const kCommands[] = {"lcfg",  "scfg",      "ltxt", "stxt",  "mode", "mode1",
                                          "mode0", "ncode1234", "0",    "99.c3", "1.x"};
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return kCommands[in.ConsumeIntegralInRange<size_t>(0, std::size(kCommands) - 1)];
    case 1:
      return (in.ConsumeBool() ? "stab|" : "sfirm|") +
             (in.ConsumeBool() ? w.table.string() : (w.dir / "missing.hex").string());
    case 2:
      return "llog|/dev/null";
    case 3:
      return "1:" + std::string(in.ConsumeBool() ? "mode1" : "ncode42");
    default:
      return in.ConsumeRandomLengthString(16);
  }
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  World& w = world();
  FuzzedDataProvider in(data, size);
  ModuleProtocol protocol(w.line);
  tClientContext client;
  uint32_t now = in.ConsumeIntegral<uint32_t>();
  client.syncInterval = in.ConsumeBool() ? 0 : 60000;
  client.noTimeSync = in.ConsumeBool();
  client.lastSyncTick = now - in.ConsumeIntegralInRange<uint32_t>(0, 120000);
  client.lastPollEventTick = now - in.ConsumeIntegralInRange<uint32_t>(0, 2 * w.line.syncPMs);
  client.account = in.ConsumeIntegral<uint16_t>();
  client.startCommandCount = in.ConsumeIntegralInRange<uint16_t>(0, 3);
  // A transfer already under way, as a command sent alone would have started it.
  client.state = in.ConsumeIntegralInRange<uint8_t>(0, tClientContext::kCodeCommand);
  if (client.state == tClientContext::kSendTable || client.state == tClientContext::kSendFirmware)
    client.transferFile = w.table.string();
  if (client.state == tClientContext::kLoadLog) client.transferFile = "/dev/null";
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
    client.queueCommand(command(in, w));
  }

  while (in.remaining_bytes() > 0) {
    client.input += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 200));
    ModuleProtocol::Outcome out = protocol.onReceive(client, now);
    // The server answers, then asks again for lines that came with the last one.
    for (int sends = 0; out.next == ModuleProtocol::Next::Send && sends < 1000; ++sends) {
      FUZZ_CHECK(!out.text.empty());
      out = protocol.afterSend(client, now);
    }
    FUZZ_CHECK(client.state <= tClientContext::kCodeCommand);
    if (client.state == tClientContext::kNormal) {
      // Whatever is left is at most one line still on its way.
      FUZZ_CHECK(client.input.find('\n') == std::string::npos);
    }
    now += in.ConsumeIntegralInRange<uint32_t>(0, 400000);
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) client.queueCommand(command(in, w));
  }
  client.logOutput.close();
  return 0;
}
