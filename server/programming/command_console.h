#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/gprs_item.h"
#include "server/modules/client_context.h"
#include "server/modules/module_console.h"
#include "server/programming/console_operator.h"

namespace orv {

class TComThrd;

// How a programming sequence ended, for the operator and for the exit code of orv-console.
enum class ConsoleOutcome : int {
  Done = 0,
  Armed = 3,         // "Object is Armed. Programming not allowed."
  NoConnection = 4,  // the module is not connected, or went away
  WrongCode = 5,     // "Security Code is incorrect !"
  Incomplete = 6,    // "Some data was lost!" and Abort
  NoAnswer = 7,      // "Communication Error or Module not ready"
  Cancelled = 8,     // the operator cancelled (dialog, file choice, Break)
  Refused = 9,       // the sequence does not apply (module type, bad file, ...)
};
std::string_view outcomeName(ConsoleOutcome outcome);

// The debug window's line for one line exchanged with the watched module: "<- text", "-> text",
// or with `hex` "<-"/"->" followed by " %2.2X" per byte.
std::string debugLineText(bool incoming, std::string_view text, bool hex);

// The command console: the one implementation of the console's sequences. It never touches a
// socket or a port: it queues commands to a module connection or a line's GSM receiver device,
// waits on the shared answer flag, and asks its operator. One sequence at a time, on the
// caller's thread (the window's, or the operator channel's session thread).
class CommandConsole {
 public:
  // `lines` is read under `linesLock` (shared), which reload takes exclusively while it replaces
  // the lines; the console never holds it across a wait or a question.
  CommandConsole(const tGprsList& lines, std::shared_mutex& linesLock, ModuleConsole& shared,
                 std::filesystem::path programDir);
  ~CommandConsole();

  // The selection dialog: the receiver lines, then the rows of one ("Com ( 7777 )" for the
  // device, "<Id> ( <acct> )" per module, account as upper-case hex).
  size_t lineCount() const;
  std::vector<std::string> targetRows(size_t line) const;
  // The command box's items: the values of [Commands] in ORV_Serv.ini, in file order.
  std::vector<std::string> commandItems() const;

  // Enter in the command box. Queued: the text went to the device or the last connection with
  // the Id; NoConnection: none had it ("<Id>: No connection" was logged); Cancelled: empty Id.
  ConsoleOutcome send(size_t line, std::string_view id, std::string_view text, ConsoleOperator& op);

  // The tool buttons. `id` is the chosen target ("Com" selects the line's device).
  ConsoleOutcome moduleConfig(size_t line, std::string_view id, ConsoleOperator& op);
  ConsoleOutcome edit(size_t line, std::string_view id, ConsoleOperator& op);
  ConsoleOutcome loadCodes(size_t line, std::string_view id, ConsoleOperator& op);
  ConsoleOutcome update(size_t line, std::string_view id, ConsoleOperator& op);
  ConsoleOutcome getLog(size_t line, std::string_view id, ConsoleOperator& op);
  // "DBG": the transports copy every line of module `id` to op.debugLine until stopDebug().
  void startDebug(std::string_view id, bool hex, ConsoleOperator& op);
  void stopDebug();

  // Waits for the answer flag as the wait window does: 5 ms rounds, the remaining seconds
  // shown, Break ends it. Returns the flag.
  int32_t wait(uint32_t limitMs, ConsoleOperator& op);

  // Ends the running sequence as Break would, and every later one at its first wait: for
  // shutdown, before the lines go away.
  void interrupt();

 private:
  struct Target;
  ConsoleOutcome askMode(Target& target, uint32_t limitMs, ConsoleOperator& op);
  ConsoleOutcome readImage(Target& target, const std::string& command, ConsoleOperator& op);
  ConsoleOutcome askCode(Target& target, ConsoleOperator& op, uint16_t& code);
  ConsoleOutcome configModule(Target& target, ConsoleOperator& op);
  ConsoleOutcome configDevice(Target& target, ConsoleOperator& op);
  // Publishes the edited image, queues the write and waits until the module confirms it.
  ConsoleOutcome writeBack(Target& target, const std::string& command,
                           const std::function<void()>& publish, ConsoleOperator& op);
  ConsoleOutcome fileSequence(size_t line, std::string_view id, ConsoleOperator& op,
                              std::string_view word);
  bool findTarget(size_t line, std::string_view id, Target& target) const;
  bool gone(const Target& target) const;
  void queue(Target& target, const std::string& command);
  ConsoleOutcome fail(ConsoleOperator& op, ConsoleOutcome outcome, std::string_view text);

  const tGprsList& lines_;
  std::shared_mutex& linesLock_;
  ModuleConsole& shared_;
  std::filesystem::path programDir_;
  std::atomic<bool> interrupted_{false};
};

}  // namespace orv
