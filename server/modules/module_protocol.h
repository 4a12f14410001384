#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/diag.h"
#include "common/local_time.h"
#include "common/ten_day_log.h"
#include "server/core/account_filter.h"
#include "server/modules/client_context.h"
#include "server/modules/client_list.h"
#include "server/modules/module_console.h"
#include "server/outputs/output_list.h"

namespace orv {

// Takes one line from the input: the text up to and including the first LF, removed from the
// input and trimmed of spaces and control characters at both ends. No LF: no line.
std::optional<std::string> takeLine(std::string& input);

// A module event line is correct without "*" (or with "*" first); otherwise the XOR of the
// characters from the second one up to the "*" must equal the two hex digits after it. The line
// is cut before such a "*" either way.
bool checkEventChecksum(std::string& line);

// "1<id>:99.c" + DDMMYYHHMMSS + CR LF: the answer that sets the module's clock.
std::string timeAnswer(std::string_view moduleId, const LocalDateTime& now);

// What a module line needs from its GPRS line and the rest of the server.
struct ModuleLineContext {
  size_t lineIndex = 0;
  char lineDigit = '0';
  uint32_t lifeTimeMs = 5 * 60000u;
  uint32_t syncPMs = 60 * 60000u;  // periodic link event
  bool identityLine = true;        // [Options] U_Fl
  const tAFList* accountFilter = nullptr;
  tOList* outputs = nullptr;
  TenDayLog* log = nullptr;
  TClientList* clients = nullptr;
  ModuleConsole* console = nullptr;
  std::atomic<uint8_t>* rowsChanged = nullptr;
};

// The module line protocol of one connection, run by the module server's worker thread: one
// answer per line, commands carried in the answers to polls, and the transfers they start.
class ModuleProtocol {
 public:
  enum class Next { Wait, Arm, Send };
  struct Outcome {
    Next next = Next::Arm;
    std::string text;     // for Send
    uint64_t ticket = 0;  // Send waits until the outputs have stored this (an event's "0")
  };

  explicit ModuleProtocol(ModuleLineContext line)
      : line_(line), refused_("GPRS line " + std::to_string(line.lineIndex)) {}

  // New bytes were appended to client.input.
  Outcome onReceive(tClientContext& client, uint32_t now);
  // The last answer went out: answer a line that is already buffered, or wait for the next.
  Outcome afterSend(tClientContext& client, uint32_t now);

  // Hands an event line to the outputs as the module's own (also the periodic link event);
  // returns its ticket (0 when no output took it).
  uint64_t deliverEvent(tClientContext& client, std::string_view line, uint32_t now);

 private:
  Outcome normal(tClientContext& client, uint32_t now);
  // One line of state 0; `refused` when it was an event that gets no answer.
  Outcome normalLine(tClientContext& client, uint32_t now, bool& refused);
  Outcome poll(tClientContext& client, uint32_t now);
  Outcome mode(tClientContext& client, uint32_t now);
  Outcome recordReceive(tClientContext& client, uint32_t now);
  Outcome upload(tClientContext& client, uint32_t now);
  // State 0 again with nothing to send: a line that came behind the last one is ordinary
  // traffic, answered now rather than after the module's next read.
  Outcome backToNormal(tClientContext& client, uint32_t now);
  void startTransfer(tClientContext& client, std::string& command, uint32_t now);
  void finishStep(tClientContext& client, uint32_t now);
  void log(const tClientContext& client, std::string_view line);
  void trace(std::string_view prefix, std::string_view text);

  ModuleLineContext line_;
  PeerDiag refused_;
};

}  // namespace orv
