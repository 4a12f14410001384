#include "server/modules/module_protocol.h"

#include <cstdio>
#include <cstring>

#include "common/hex_record.h"
#include "common/ticks.h"

namespace orv {
namespace {

constexpr std::string_view kZeroAnswer = "0\r\n";
constexpr uint32_t kTransferDeadlineMs = 15000;
constexpr uint32_t kFileTransferDeadlineMs = 300000;

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool isTrimmed(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

// The sync interval check: true when the interval is off, or more than it has passed.
bool intervalPassed(uint32_t intervalMs, uint32_t since, uint32_t now) {
  return intervalMs == 0 || ticksSince(since, now) > intervalMs;
}

bool accountIsZero(std::string_view line) {
  bool typed =
      (line.size() >= 3 && line.substr(0, 2) == "M0" && contains("12367", line.substr(2, 1))) ||
      line.substr(0, 3) == "Mff";
  return typed && line.size() >= 8 && line.substr(4, 4) == "0000";
}

}  // namespace

std::optional<std::string> takeLine(std::string& input) {
  size_t lf = input.find('\n');
  if (lf == std::string::npos) return std::nullopt;
  std::string_view raw(input.data(), lf);
  size_t b = 0, e = raw.size();
  while (b < e && isTrimmed(raw[b])) ++b;
  while (e > b && isTrimmed(raw[e - 1])) --e;
  std::string line(raw.substr(b, e - b));
  input.erase(0, lf + 1);
  return line;
}

bool checkEventChecksum(std::string& line) {
  size_t star = line.find('*');
  if (star == std::string::npos || star == 0) return true;
  uint8_t x = 0;
  for (size_t i = 1; i < star; ++i) x ^= static_cast<uint8_t>(line[i]);
  std::optional<uint32_t> sum =
      star + 3 <= line.size() ? parseHex(std::string_view(line).substr(star + 1, 2)) : std::nullopt;
  line.resize(star);
  return sum && *sum == x;
}

std::string timeAnswer(std::string_view moduleId, const LocalDateTime& t) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d%02d%02d%02d", t.day, t.month, t.year % 100,
                t.hour, t.minute, t.second);
  return "1" + std::string(moduleId) + ":99.c" + stamp + "\r\n";
}

void ModuleProtocol::log(const tClientContext& client, std::string_view line) {
  if (line_.log == nullptr) return;
  line_.log->append(logTimeStamp() + " " + std::string(line) + " Id=" + client.id());
}

void ModuleProtocol::trace(std::string_view prefix, std::string_view text) {
  if (line_.console) line_.console->trace(std::string(prefix) + std::string(text));
}

ModuleProtocol::Outcome ModuleProtocol::onReceive(tClientContext& client, uint32_t now) {
  switch (client.state) {
    case tClientContext::kNormal:
      return normal(client, now);
    case tClientContext::kMode:
    case tClientContext::kCodeCommand:
      return mode(client, now);
    case tClientContext::kLoadConfig:
    case tClientContext::kLoadText:
    case tClientContext::kLoadLog:
      return recordReceive(client, now);
    default:
      return upload(client, now);
  }
}

ModuleProtocol::Outcome ModuleProtocol::afterSend(tClientContext& client, uint32_t now) {
  // A module may send its next line before our answer left; it is answered now rather than
  // left in the buffer until more bytes happen to arrive.
  if (client.state == tClientContext::kNormal && client.input.find('\n') != std::string::npos) {
    return normal(client, now);
  }
  return {};
}

void ModuleProtocol::finishStep(tClientContext& client, uint32_t now) {
  if (client.state == tClientContext::kNormal) client.deadline = now + line_.lifeTimeMs;
  if (ticksSince(client.lastPollEventTick, now) > line_.syncPMs) {
    client.lastPollEventTick = now;
    uint16_t account = client.acc();
    if (account != 0) {
      char event[16];
      std::snprintf(event, sizeof event, "Mff,%4.4X,FF", account);
      deliverEvent(client, event, now);
    }
  }
}

ModuleProtocol::Outcome ModuleProtocol::normal(tClientContext& client, uint32_t now) {
  for (;;) {
    bool refused = false;
    Outcome out = normalLine(client, now, refused);
    if (!refused || client.input.find('\n') == std::string::npos) return out;
  }
}

ModuleProtocol::Outcome ModuleProtocol::normalLine(tClientContext& client, uint32_t now,
                                                   bool& refused) {
  std::optional<std::string> taken = takeLine(client.input);
  // An empty line gets no answer, and neither does an event that is refused, but a line that
  // came behind it in the same read does: nothing else would take it out of the buffer until
  // the module sends again.
  while (taken && taken->empty()) taken = takeLine(client.input);
  Outcome out;
  if (!taken) {
    // No whole line yet: nothing to answer, wait for more.
    finishStep(client, now);
    return out;
  }
  std::string& line = *taken;
  if (line_.console) line_.console->watch(client.id(), true, line);
  if (line[0] != 'Q') log(client, line);

  if (line[0] == 'a' || line[0] == 'I') {
    if (line[0] == 'a') {
      size_t comma = line.find(',');
      if (comma != std::string::npos && comma >= 1) {
        std::optional<uint32_t> account = parseHex(std::string_view(line).substr(comma + 1));
        {
          std::lock_guard guard(client.lock);
          client.moduleId = line.substr(1, comma - 1);
          if (account) client.account = static_cast<uint16_t>(*account);
        }
        if (line_.clients) line_.clients->markUnsorted(&client);
      }
    } else {
      {
        std::lock_guard guard(client.lock);
        client.moduleId = line.substr(1);
      }
      if (line_.clients) line_.clients->markUnsorted(&client);
    }
    out = {Next::Send, timeAnswer(client.id(), WallClock::localNow())};
  } else if (line[0] == 'T') {
    out = {Next::Send, timeAnswer(client.id(), WallClock::localNow())};
  } else if (line[0] == 'Q') {
    out = poll(client, now);
  } else if (contains(line, "MV:")) {
    std::lock_guard guard(client.lock);
    size_t start = 0;
    while (start <= line.size()) {
      size_t semi = line.find(';', start);
      std::string_view item = std::string_view(line).substr(start, semi - start);
      size_t colon = item.find(':');
      if (colon != std::string_view::npos) {
        if (item.substr(0, 3) == "MV:")
          client.supplyVoltage = item.substr(colon + 1);
        else if (contains(item, "CSQ:"))
          client.signalQuality = item.substr(colon + 1);
      }
      if (semi == std::string::npos) break;
      start = semi + 1;
    }
    if (line_.rowsChanged) line_.rowsChanged->store(1, std::memory_order_relaxed);
    out = {Next::Send, std::string(kZeroAnswer)};
  } else {
    const std::string received = line;
    if (!checkEventChecksum(line)) {
      // Not acknowledged, so the module keeps the event and sends it again.
      refused_("module %s (%s): event with a wrong checksum not acknowledged: %.200s",
               client.id().c_str(), client.peerAddress.c_str(), received.c_str());
      finishStep(client, now);
      refused = true;
      return out;
    }
    out = {Next::Send, std::string(kZeroAnswer), deliverEvent(client, line, now)};
  }
  finishStep(client, now);
  return out;
}

ModuleProtocol::Outcome ModuleProtocol::poll(tClientContext& client, uint32_t now) {
  client.answerPending = true;
  const uint16_t account = client.acc();
  if (account == 0 && intervalPassed(client.syncInterval, client.lastSyncTick, now)) {
    client.lastSyncTick = now;
    if (!client.noTimeSync) {
      client.answerPending = false;
      return {Next::Send, timeAnswer(client.id(), WallClock::localNow())};
    }
  }
  std::unique_lock guard(client.lock);
  if (client.startCommandCount > 0 && line_.accountFilter &&
      !line_.accountFilter->accepts(account)) {
    if (!client.commands.empty()) client.commands.pop_front();
    --client.startCommandCount;
    return {Next::Send, std::string(kZeroAnswer)};
  }
  client.startCommandCount = 0;
  if (client.commands.empty()) return {Next::Send, std::string(kZeroAnswer)};
  std::string command = std::move(client.commands.front());
  client.commands.pop_front();
  const bool alone = client.commands.empty();
  const std::string id = client.moduleId;
  guard.unlock();

  if (command == "0") client.lastSyncTick = now;
  if (alone) startTransfer(client, command, now);
  return {Next::Send, (alone ? "1" : "2") + id + ":" + command + "\r\n"};
}

void ModuleProtocol::startTransfer(tClientContext& client, std::string& command, uint32_t now) {
  static const struct {
    const char* word;
    uint8_t state;
  } kWords[] = {{"mode", tClientContext::kMode},          {"lcfg", tClientContext::kLoadConfig},
                {"scfg", tClientContext::kSendConfig},    {"stab", tClientContext::kSendTable},
                {"sfirm", tClientContext::kSendFirmware}, {"llog", tClientContext::kLoadLog},
                {"stxt", tClientContext::kSendText},      {"ltxt", tClientContext::kLoadText}};
  // "mode1" and "mode0" change the code request and "ncode" the code itself: each gets one
  // answer line. Matched before "mode" so that the answer never passes for an event.
  const size_t colon = command.find(':');
  const std::string_view word =
      colon == std::string::npos ? std::string_view() : std::string_view(command).substr(colon + 1);
  if (word == "mode1" || word == "mode0" || word.substr(0, 5) == "ncode") {
    client.state = tClientContext::kCodeCommand;
    client.deadline = now + kTransferDeadlineMs;
    return;
  }
  for (const auto& w : kWords) {
    if (!contains(command, w.word)) continue;
    client.state = w.state;
    client.recordsReceived = 0;
    client.deadline = now + kTransferDeadlineMs;
    if (w.state == tClientContext::kSendTable || w.state == tClientContext::kSendFirmware ||
        w.state == tClientContext::kLoadLog) {
      size_t bar = command.find('|');
      client.transferFile = bar == std::string::npos ? std::string() : command.substr(bar + 1);
      if (bar != std::string::npos) command.resize(bar);
      if (w.state == tClientContext::kLoadLog) {
        client.logOutput = std::ofstream(client.transferFile, std::ios::app | std::ios::binary);
      }
    }
    if (line_.console && w.state == tClientContext::kLoadConfig) {
      std::lock_guard images(line_.console->imageLock);
      line_.console->configImage.fill(0xFF);
    }
    if (line_.console && w.state == tClientContext::kLoadText) {
      std::lock_guard images(line_.console->imageLock);
      line_.console->textImage.fill(0xFF);
    }
    return;
  }
}

ModuleProtocol::Outcome ModuleProtocol::backToNormal(tClientContext& client, uint32_t now) {
  if (client.input.find('\n') != std::string::npos) return normal(client, now);
  return {};
}

ModuleProtocol::Outcome ModuleProtocol::mode(tClientContext& client, uint32_t now) {
  std::optional<std::string> line = takeLine(client.input);
  if (!line) return {};  // the answer is still on its way
  trace("<-", *line);
  ModuleConsole* console = line_.console;
  if (contains(*line, "STAT ERR")) {
    client.state = tClientContext::kNormal;
    if (console) console->answerFlag = -2;
    // Unanswered, but the module is still heard: its next alarm must not wait for the lifetime
    // of a connection that nobody reads, nor a line that came with this one for the next read.
    return backToNormal(client, now);
  }
  if (client.state == tClientContext::kCodeCommand && !line->empty()) {
    // Kept as the reply so that the console sees an "ERR" (a wrong code) in it.
    {
      std::lock_guard guard(client.lock);
      client.replyText = *line;
    }
    client.state = tClientContext::kNormal;
    if (console) console->answerFlag = 1;
    return {Next::Send, std::string(kZeroAnswer)};
  }
  client.state = tClientContext::kNormal;
  if (!line->empty() && (contains(*line, "_mode") || contains(*line, "CODE"))) {
    {
      std::lock_guard guard(client.lock);
      client.replyText = *line;
    }
    if (console) console->answerFlag = 1;
    return {Next::Send, std::string(kZeroAnswer)};
  }
  return backToNormal(client, now);
}

ModuleProtocol::Outcome ModuleProtocol::recordReceive(tClientContext& client, uint32_t now) {
  ModuleConsole* console = line_.console;
  while (std::optional<std::string> line = takeLine(client.input)) {
    const bool closing = line->compare(0, 2, "C/") == 0;
    if (!closing || client.state == tClientContext::kLoadLog) trace("<-", *line);
    if (closing) {
      client.state = tClientContext::kNormal;
      client.logOutput.close();
      // Fewer records than the module counted is an incomplete read, as on the device line.
      const std::optional<uint32_t> count = downloadCount(*line);
      const bool complete = count && client.recordsReceived >= *count;
      if (console) console->answerFlag = complete ? 1 : 2;
      client.deadline = now + line_.lifeTimeMs;
      // Whatever the module sent after the transfer is ordinary traffic again.
      if (client.input.find('\n') != std::string::npos) return normal(client, now);
      return {};
    }
    if (line->compare(0, 2, "#4") == 0) {
      // Only what could be taken counts towards the module's "C/" count.
      std::string_view record = std::string_view(*line).substr(2);
      if (client.state == tClientContext::kLoadLog) {
        if (client.logOutput) client.logOutput << record << "\r\n" << std::flush;
        ++client.recordsReceived;
      } else if (console) {
        std::lock_guard images(console->imageLock);
        const bool stored = client.state == tClientContext::kLoadConfig
                                ? storeReceivedRecord(record, console->configImage, 0)
                                : storeReceivedRecord(record, console->textImage, kTextImageBase);
        if (stored) ++client.recordsReceived;
      }
    } else if (contains(*line, "ERR")) {
      {
        std::lock_guard guard(client.lock);
        client.replyText = *line;
      }
      // The module refused (a wrong code): the transfer ends, and the console is told at once
      // instead of waiting out its limit while the transfer deadline closes the connection.
      client.state = tClientContext::kNormal;
      client.logOutput.close();
      client.deadline = now + line_.lifeTimeMs;
      if (console) console->answerFlag = 1;
      return backToNormal(client, now);
    }
  }
  return {};
}

ModuleProtocol::Outcome ModuleProtocol::upload(tClientContext& client, uint32_t now) {
  ModuleConsole* console = line_.console;
  if (contains(client.input, "Wait for hex")) {
    client.input.clear();
    std::string block;
    if (client.state == tClientContext::kSendConfig || client.state == tClientContext::kSendText) {
      if (console) {
        std::lock_guard images(console->imageLock);
        block = client.state == tClientContext::kSendConfig
                    ? imageUploadBlock(console->configImage, 0)
                    : imageUploadBlock(console->textImage, kTextImageBase);
      }
    } else {
      client.deadline = now + kFileTransferDeadlineMs;
      block = fileUploadBlock(client.transferFile).value_or("\r\nC/0\r\n");
    }
    trace("->", block);
    return {Next::Send, block};
  }
  std::optional<std::string> line = takeLine(client.input);
  if (!line) return {};
  trace("->", *line);
  if (client.state == tClientContext::kSendTable || client.state == tClientContext::kSendFirmware) {
    std::lock_guard guard(client.lock);
    client.replyText = *line;
  }
  client.state = tClientContext::kNormal;
  client.deadline = now + line_.lifeTimeMs;
  if (console) console->answerFlag = 1;
  // A line that came with the closing one is ordinary traffic, answered now, not after the
  // module's next line.
  if (client.input.find('\n') != std::string::npos) return normal(client, now);
  return {};
}

uint64_t ModuleProtocol::deliverEvent(tClientContext& client, std::string_view line, uint32_t now) {
  if (line.substr(0, 4) == "Mff,") {
    std::string_view acc = line.substr(4, 4);
    while (!acc.empty() && acc.front() == ' ') acc.remove_prefix(1);
    if (std::optional<uint32_t> a = parseHex(acc)) {
      std::lock_guard guard(client.lock);
      client.account = static_cast<uint16_t>(*a);
    }
    if (!intervalPassed(client.syncInterval, client.lastSyncTick, now)) return 0;
  }
  const std::string id = client.id();
  {
    std::lock_guard guard(client.lock);
    ++client.messageCount;
  }
  if (line_.outputs == nullptr) return 0;
  return line_.outputs->pushModuleMessage(
      ModuleMessage{line, id, line_.lineDigit, line_.identityLine},
      EventKeys::module(id, accountIsZero(line)));
}

}  // namespace orv
