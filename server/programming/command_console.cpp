#include "server/programming/command_console.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "common/ini_file.h"
#include "server/inputs/device_line.h"
#include "server/modules/iocs.h"
#include "server/programming/config_dialog.h"
#include "server/programming/device_dialog.h"
#include "server/programming/text_dialog.h"

namespace orv {
namespace {

constexpr uint32_t kAnswerMs = 60000;
constexpr uint32_t kFileAnswerMs = 70000;
constexpr uint32_t kDeviceFirmwareMs = 80000;
constexpr uint32_t kRoundMs = 5;

constexpr std::string_view kArmed = "Object is Armed. Programming not allowed.";
constexpr std::string_view kNotReady = "Communication Error or Module not ready";
constexpr std::string_view kWrongCode = "Security Code is incorrect !";
constexpr std::string_view kDataLost = "Some data was lost!";
constexpr std::string_view kWrongType = "Incorrect module type: ";
constexpr std::string_view kHexFilter = "Hex file|*.hex";

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The module type from the start of its answer to "mode?"; 0 for an unknown firmware.
int moduleType(std::string_view reply) {
  static const struct {
    std::string_view prefix;
    int type;
  } kTypes[] = {{"v.31", 1}, {"v.32", 2}, {"v.33", 3}, {"v.34", 5},
                {"v.37", 6}, {"v.41", 4}, {"v.42", 7}};
  for (const auto& t : kTypes) {
    if (reply.starts_with(t.prefix)) return t.type;
  }
  return 0;
}

bool firstFamily(int type) {
  return type == 1 || type == 2 || type == 3 || type == 5 || type == 6;
}

// The answer up to its first "_" (as "Incorrect module type: " names it).
std::string versionWord(std::string_view reply) {
  return std::string(reply.substr(0, reply.find('_')));
}

// As the dialogs show the firmware: the version word with "-" after its four-character prefix.
std::string firmwareText(std::string_view reply) {
  std::string word = versionWord(reply);
  if (word.size() >= 4) word.insert(4, "-");
  return word;
}

// A security code as typed: one to four digits.
std::optional<uint16_t> parseCode(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  uint16_t code = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    code = static_cast<uint16_t>(code * 10 + (c - '0'));
  }
  return code;
}

std::string coded(uint16_t code, std::string_view command) {
  char prefix[8];
  std::snprintf(prefix, sizeof prefix, "%4.4d:", code);
  return prefix + std::string(command);
}

// Routes the transports' trace lines to this sequence's operator while it runs.
class TraceRoute {
 public:
  TraceRoute(ModuleConsole& shared, ConsoleOperator& op) : shared_(shared) {
    shared_.setTraceSink([&op](std::string_view line) { op.log(line); });
  }
  ~TraceRoute() { shared_.setTraceSink(nullptr); }
  TraceRoute(const TraceRoute&) = delete;
  TraceRoute& operator=(const TraceRoute&) = delete;

 private:
  ModuleConsole& shared_;
};

}  // namespace

std::string_view outcomeName(ConsoleOutcome outcome) {
  switch (outcome) {
    case ConsoleOutcome::Done:
      return "done";
    case ConsoleOutcome::Armed:
      return "armed";
    case ConsoleOutcome::NoConnection:
      return "no connection";
    case ConsoleOutcome::WrongCode:
      return "wrong code";
    case ConsoleOutcome::Incomplete:
      return "incomplete read";
    case ConsoleOutcome::NoAnswer:
      return "no answer";
    case ConsoleOutcome::Cancelled:
      return "cancelled";
    case ConsoleOutcome::Refused:
      return "refused";
  }
  return "?";
}

std::string debugLineText(bool incoming, std::string_view text, bool hex) {
  std::string line = incoming ? "<-" : "->";
  if (!hex) return line + " " + std::string(text);
  for (unsigned char c : text) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %2.2X", c);
    line += byte;
  }
  return line;
}

// The chosen target: a module connection, or the line's device ("Com"). Both are shared
// records, so they stay valid for the whole sequence even when the line goes away under it.
struct CommandConsole::Target {
  size_t line = 0;
  std::string id;
  ClientPtr client;
  std::shared_ptr<TComThrd> device;
  uint16_t code = 0;

  std::string reply() const {
    if (device) return device->commandReply();
    std::lock_guard guard(client->lock);
    return client->replyText;
  }
};

CommandConsole::CommandConsole(const tGprsList& lines, std::shared_mutex& linesLock,
                               ModuleConsole& shared, std::filesystem::path programDir)
    : lines_(lines), linesLock_(linesLock), shared_(shared), programDir_(std::move(programDir)) {}

CommandConsole::~CommandConsole() {
  stopDebug();
}

size_t CommandConsole::lineCount() const {
  std::shared_lock guard(linesLock_);
  return lines_.size();
}

std::vector<std::string> CommandConsole::targetRows(size_t line) const {
  std::shared_lock guard(linesLock_);
  std::vector<std::string> rows;
  if (line >= lines_.size()) return rows;
  const tGprsItem& item = *lines_[line];
  if (std::optional<ModuleRow> device = item.deviceRow()) {
    rows.push_back(device->id + " ( " + device->acc + " )");
  }
  if (item.moduleServer) {
    for (const ClientPtr& client : item.moduleServer->clients().snapshot()) {
      char account[8];
      std::snprintf(account, sizeof account, "%X", client->acc());
      rows.push_back(client->id() + " ( " + account + " )");
    }
  }
  return rows;
}

std::vector<std::string> CommandConsole::commandItems() const {
  IniFile ini(programDir_ / "ORV_Serv.ini");
  std::vector<std::string> items;
  for (const std::string& key : ini.keys("Commands"))
    items.push_back(ini.readString("Commands", key, ""));
  return items;
}

bool CommandConsole::findTarget(size_t line, std::string_view id, Target& target) const {
  std::shared_lock guard(linesLock_);
  if (line >= lines_.size()) return false;
  const tGprsItem& item = *lines_[line];
  target.line = line;
  target.id = std::string(id);
  target.client.reset();
  target.device.reset();
  if (id == "Com") {
    target.device = item.serialDevice ? item.serialDevice : item.tcpDevice();
    if (target.device) return true;
  }
  if (item.moduleServer) target.client = item.moduleServer->clients().findLast(id);
  return target.client != nullptr;
}

bool CommandConsole::gone(const Target& target) const {
  if (target.device) return target.device->finished();
  std::shared_lock guard(linesLock_);
  if (target.line >= lines_.size()) return true;
  const tGprsItem& item = *lines_[target.line];
  return !item.moduleServer || !item.moduleServer->clients().contains(target.client.get());
}

void CommandConsole::queue(Target& target, const std::string& command) {
  shared_.answerFlag.store(0, std::memory_order_release);
  if (target.device) {
    if (!target.device->queueText(command)) shared_.answerFlag.store(-1);
    return;
  }
  // The reply belongs to this command: an answer left from an earlier one must not pass for it.
  std::lock_guard guard(target.client->lock);
  target.client->replyText.clear();
  target.client->commands.push_back(command);
}

int32_t CommandConsole::wait(uint32_t limitMs, ConsoleOperator& op) {
  int shown = -1;
  for (uint32_t n = limitMs / kRoundMs; n > 0; --n) {
    if (shared_.answerFlag.load(std::memory_order_acquire) != 0) break;
    if (op.breakRequested() || interrupted_.load(std::memory_order_acquire)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRoundMs));
    const int seconds = static_cast<int>(n / 200);
    if (seconds != shown) op.waitProgress(shown = seconds);
  }
  return shared_.answerFlag.load(std::memory_order_acquire);
}

void CommandConsole::interrupt() {
  interrupted_.store(true, std::memory_order_release);
}

ConsoleOutcome CommandConsole::fail(ConsoleOperator& op, ConsoleOutcome outcome,
                                    std::string_view text) {
  op.showMessage("Error", text);
  return outcome;
}

ConsoleOutcome CommandConsole::send(size_t line, std::string_view id, std::string_view text,
                                    ConsoleOperator& op) {
  if (id.empty()) return ConsoleOutcome::Cancelled;
  Target target;
  if (!findTarget(line, id, target)) {
    op.log(std::string(id) + ": No connection");
    return ConsoleOutcome::NoConnection;
  }
  // Sent as typed and not tracked: the flag is left alone, so no sequence waits on it.
  if (target.device) {
    if (!target.device->queueText(std::string(text))) return ConsoleOutcome::Refused;
  } else {
    target.client->queueCommand(std::string(text));
  }
  return ConsoleOutcome::Done;
}

ConsoleOutcome CommandConsole::askCode(Target& target, ConsoleOperator& op, uint16_t& code) {
  code = 0;
  if (!contains(target.reply(), "_mode1")) return ConsoleOutcome::Done;
  std::optional<std::string> typed = op.askSecret("Enter Security Code", 4);
  if (!typed) return ConsoleOutcome::Cancelled;
  std::optional<uint16_t> parsed = parseCode(*typed);
  if (!parsed) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
  code = *parsed;
  return ConsoleOutcome::Done;
}

ConsoleOutcome CommandConsole::readImage(Target& target, const std::string& command,
                                         ConsoleOperator& op) {
  for (int attempt = 1;; ++attempt) {
    op.log(command.substr(command.find(':') + 1));
    queue(target, command);
    const int32_t flag = wait(kAnswerMs, op);
    if (gone(target)) return ConsoleOutcome::NoConnection;
    if (contains(target.reply(), "ERR")) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
    if (flag == 1) return ConsoleOutcome::Done;
    // After a second incomplete read the operator still decides: writing back an image with
    // holes in it is his call, not ours.
    static constexpr Button kFirst[] = {Button::Abort, Button::Retry, Button::Ignore};
    static constexpr Button kLast[] = {Button::Abort, Button::Ignore};
    const Button answer = attempt == 1 ? op.ask("Error", kDataLost, kFirst, Button::Abort)
                                       : op.ask("Error", kDataLost, kLast, Button::Abort);
    if (answer == Button::Ignore) return ConsoleOutcome::Done;
    if (answer != Button::Retry || attempt > 1) return ConsoleOutcome::Incomplete;
  }
}

// The first step of every sequence: "mode?" and what its answer says. Done when the reply
// names the firmware.
ConsoleOutcome CommandConsole::askMode(Target& target, uint32_t limitMs, ConsoleOperator& op) {
  queue(target, "mode?");
  const int32_t flag = wait(limitMs, op);
  if (flag == -2) {
    op.showMessage("Error", kArmed);
    return ConsoleOutcome::Armed;
  }
  if (flag < 0) {
    op.showMessage("Error", kNotReady);
    return ConsoleOutcome::NoAnswer;
  }
  if (gone(target)) return ConsoleOutcome::NoConnection;
  if (flag == 0) return ConsoleOutcome::NoAnswer;
  return ConsoleOutcome::Done;
}

ConsoleOutcome CommandConsole::moduleConfig(size_t line, std::string_view id, ConsoleOperator& op) {
  if (id.empty()) return ConsoleOutcome::Cancelled;
  TraceRoute route(shared_, op);
  Target target;
  if (!findTarget(line, id, target)) {
    op.log(std::string(id) + ": No connection ddd");
    return ConsoleOutcome::NoConnection;
  }
  return target.device ? configDevice(target, op) : configModule(target, op);
}

ConsoleOutcome CommandConsole::configModule(Target& target, ConsoleOperator& op) {
  const std::string noConnection = target.id + ": No connection";
  ConsoleOutcome outcome = askMode(target, kAnswerMs, op);
  if (outcome != ConsoleOutcome::Done) {
    if (outcome == ConsoleOutcome::NoAnswer) op.log(noConnection + " ddd");
    return outcome;
  }
  const std::string reply = target.reply();
  const int type = moduleType(reply);
  if (!firstFamily(type)) return ConsoleOutcome::Refused;

  uint16_t code = 0;
  if ((outcome = askCode(target, op, code)) != ConsoleOutcome::Done) return outcome;
  ConfigImage image;
  if ((outcome = readImage(target, coded(code, "lcfg"), op)) != ConsoleOutcome::Done) {
    return outcome;
  }
  {
    std::lock_guard images(shared_.imageLock);
    image = shared_.configImage;
  }
  ConfigDialog dialog(type, image, programDir_ / "a.ini");
  dialog.firmwareVersion = firmwareText(reply);
  dialog.security.codeRequest = contains(reply, "_mode1");
  const bool codeRequest = dialog.security.codeRequest;
  if (!op.showDialog(dialog)) return ConsoleOutcome::Cancelled;

  if (!findTarget(target.line, target.id, target) || target.device) {
    op.log(noConnection + " ddd");
    return ConsoleOutcome::NoConnection;
  }
  int32_t flag = 1;
  if (dialog.security.codeRequest != codeRequest) {
    if (!dialog.security.oldCode.empty()) {
      std::optional<uint16_t> old = parseCode(dialog.security.oldCode);
      if (!old) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
      code = *old;
    } else if (std::optional<std::string> typed = op.askSecret("Enter Security Code", 4)) {
      std::optional<uint16_t> parsed = parseCode(*typed);
      if (!parsed) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
      code = *parsed;
    } else {
      return ConsoleOutcome::Cancelled;
    }
    queue(target, coded(code, dialog.security.codeRequest ? "mode1" : "mode0"));
    flag = wait(kAnswerMs, op);
    if (gone(target)) return ConsoleOutcome::NoConnection;
    if (contains(target.reply(), "ERR")) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
  }
  auto noAnswer = [&] {
    op.log(noConnection);
    return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
  };
  if (flag < 0) return noAnswer();
  if (!dialog.security.oldCode.empty()) {
    std::optional<uint16_t> old = parseCode(dialog.security.oldCode);
    std::optional<uint16_t> fresh = parseCode(dialog.security.newCode);
    if (!old || !fresh) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
    char command[16];
    std::snprintf(command, sizeof command, "ncode%4.4d", *fresh);
    queue(target, coded(*old, command));
    flag = wait(kAnswerMs, op);
    if (gone(target)) return ConsoleOutcome::NoConnection;
    if (contains(target.reply(), "ERR")) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
    code = *fresh;
    if (flag < 0) return noAnswer();
  }
  return writeBack(
      target, coded(code, "scfg"),
      [&] {
        std::lock_guard images(shared_.imageLock);
        shared_.configImage = image;
      },
      op);
}

ConsoleOutcome CommandConsole::writeBack(Target& target, const std::string& command,
                                         const std::function<void()>& publish,
                                         ConsoleOperator& op) {
  publish();
  queue(target, command);
  int32_t flag = wait(kAnswerMs, op);
  // The module may take longer than the wait to confirm a write; the design keeps polling,
  // as long as the connection lasts and the operator does not break off.
  while (flag == 0 && !gone(target) && !op.breakRequested() && !interrupted_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRoundMs));
    flag = shared_.answerFlag.load(std::memory_order_acquire);
  }
  if (gone(target)) return ConsoleOutcome::NoConnection;
  if (flag < 0) {
    op.log(target.id + ": No connection");
    return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
  }
  return flag == 0 ? ConsoleOutcome::Cancelled : ConsoleOutcome::Done;
}

ConsoleOutcome CommandConsole::configDevice(Target& target, ConsoleOperator& op) {
  ConsoleOutcome outcome = askMode(target, kFileAnswerMs, op);
  if (outcome != ConsoleOutcome::Done) return outcome;
  const std::string reply = target.reply();
  const int type = moduleType(reply);
  if (type != 4 && type != 7) return ConsoleOutcome::Refused;
  if ((outcome = readImage(target, coded(0, "lcfg"), op)) != ConsoleOutcome::Done) return outcome;
  DeviceImage image;
  {
    std::lock_guard images(shared_.imageLock);
    image = shared_.deviceImage;
  }
  DeviceDialog dialog(type, image);
  dialog.firmwareVersion = firmwareText(reply);
  if (!op.showDialog(dialog)) return ConsoleOutcome::Cancelled;
  if (shared_.answerFlag.load() < 0) {
    op.log(target.id + ": No connection");
    return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
  }
  return writeBack(
      target, coded(0, "scfg"),
      [&] {
        std::lock_guard images(shared_.imageLock);
        shared_.deviceImage = image;
      },
      op);
}

ConsoleOutcome CommandConsole::edit(size_t line, std::string_view id, ConsoleOperator& op) {
  if (id.empty()) {
    // Without a module the editor works on local files only: its Write button is disabled.
    TextImage image;
    image.fill(0xFF);
    TextDialog dialog(true, image);
    dialog.setWritable(false);
    op.showDialog(dialog);
    return ConsoleOutcome::Cancelled;
  }
  TraceRoute route(shared_, op);
  Target target;
  if (!findTarget(line, id, target) || target.device) {
    op.log(std::string(id) + ": No connection ddd");
    return ConsoleOutcome::NoConnection;
  }
  ConsoleOutcome outcome = askMode(target, kAnswerMs, op);
  if (outcome != ConsoleOutcome::Done) return outcome;
  const std::string reply = target.reply();
  if (moduleType(reply) == 3) {
    return fail(op, ConsoleOutcome::Refused, std::string(kWrongType) + versionWord(reply));
  }
  uint16_t code = 0;
  if ((outcome = askCode(target, op, code)) != ConsoleOutcome::Done) return outcome;
  if ((outcome = readImage(target, coded(code, "ltxt"), op)) != ConsoleOutcome::Done) {
    return outcome;
  }
  TextImage image;
  {
    std::lock_guard images(shared_.imageLock);
    image = shared_.textImage;
  }
  // The "v.34" module has a partition table besides its event texts.
  TextDialog dialog(moduleType(reply) == 5, image);
  dialog.firmwareVersion = firmwareText(reply);
  if (!op.showDialog(dialog)) return ConsoleOutcome::Cancelled;
  if (!findTarget(target.line, target.id, target) || target.device ||
      shared_.answerFlag.load() < 0) {
    op.log(target.id + ": No connection");
    return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
  }
  return writeBack(
      target, coded(code, "stxt"),
      [&] {
        std::lock_guard images(shared_.imageLock);
        shared_.textImage = image;
      },
      op);
}

ConsoleOutcome CommandConsole::loadCodes(size_t line, std::string_view id, ConsoleOperator& op) {
  return fileSequence(line, id, op, "stab");
}

ConsoleOutcome CommandConsole::update(size_t line, std::string_view id, ConsoleOperator& op) {
  return fileSequence(line, id, op, "sfirm");
}

ConsoleOutcome CommandConsole::getLog(size_t line, std::string_view id, ConsoleOperator& op) {
  return fileSequence(line, id, op, "llog");
}

ConsoleOutcome CommandConsole::fileSequence(size_t line, std::string_view id, ConsoleOperator& op,
                                            std::string_view word) {
  if (id.empty()) return ConsoleOutcome::Cancelled;
  TraceRoute route(shared_, op);
  Target target;
  if (!findTarget(line, id, target)) {
    op.log(std::string(id) + ": No connection");
    return ConsoleOutcome::NoConnection;
  }
  const bool writing = word == "llog";
  if (target.device && word != "sfirm") {
    op.log(std::string(id) + ": not available on the device line");
    return ConsoleOutcome::Refused;
  }
  std::optional<std::filesystem::path> chosen = op.chooseFile(writing, kHexFilter, "*.hex");
  if (!chosen) return ConsoleOutcome::Cancelled;
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(*chosen, ec);
  if (writing) {
    std::ofstream created(file, std::ios::trunc);
    if (!created) return fail(op, ConsoleOutcome::Refused, "cannot create " + file.string());
  } else if (std::string problem = transferFileProblem(file); !problem.empty()) {
    // The file goes to the module's loader as it stands: nothing but a HEX file may.
    return fail(op, ConsoleOutcome::Refused, problem);
  }
  const std::string transfer = std::string(word) + "|" + file.string();

  if (target.device) {
    queue(target, transfer);
    const int32_t flag = wait(kDeviceFirmwareMs, op);
    const std::string reply = target.reply();
    // The device says in its reply why it refused; that is what the operator needs to read.
    if (contains(reply, "ERR")) return fail(op, ConsoleOutcome::Refused, reply);
    if (flag < 0 || flag == 0) return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
    return ConsoleOutcome::Done;
  }

  ConsoleOutcome outcome = askMode(target, kFileAnswerMs, op);
  if (outcome != ConsoleOutcome::Done) return outcome;
  const std::string reply = target.reply();
  if (word == "sfirm" && moduleType(reply) == 1) {
    return fail(op, ConsoleOutcome::Refused, std::string(kWrongType) + versionWord(reply));
  }
  uint16_t code = 0;
  if ((outcome = askCode(target, op, code)) != ConsoleOutcome::Done) return outcome;
  queue(target, coded(code, transfer));
  const int32_t flag = wait(kAnswerMs, op);
  if (gone(target)) return ConsoleOutcome::NoConnection;
  if (contains(target.reply(), "ERR")) return fail(op, ConsoleOutcome::WrongCode, kWrongCode);
  if (flag == 2) return fail(op, ConsoleOutcome::Incomplete, kDataLost);
  if (flag != 1) return fail(op, ConsoleOutcome::NoAnswer, kNotReady);
  return ConsoleOutcome::Done;
}

void CommandConsole::startDebug(std::string_view id, bool hex, ConsoleOperator& op) {
  shared_.setWatch(std::string(id), [&op, hex](bool incoming, std::string_view text) {
    op.debugLine(debugLineText(incoming, text, hex));
  });
}

void CommandConsole::stopDebug() {
  shared_.setWatch({}, nullptr);
}

}  // namespace orv
