#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace orv {

// One module connection. The worker thread of its module server owns it; the fields under
// `lock` are also read by the status view and written by the console and output clients.
struct tClientContext {
  // Transfer states entered by a command sent alone.
  enum State : uint8_t {
    kNormal = 0,
    kMode = 1,
    kLoadConfig = 2,    // lcfg
    kSendConfig = 3,    // scfg
    kLoadText = 4,      // ltxt
    kSendText = 5,      // stxt
    kSendTable = 6,     // stab
    kLoadLog = 7,       // llog
    kSendFirmware = 8,  // sfirm
    kCodeCommand = 9    // mode1, mode0, ncode: one answer line, whatever it says
  };

  // Worker thread only.
  uint8_t state = kNormal;
  UniqueFd fd;
  std::string input;       // received bytes not yet taken as lines
  std::string sendBuffer;  // the send in progress
  size_t sendOffset = 0;
  std::string heldAnswer;  // an event's answer, until the event is stored
  uint64_t heldTicket = 0;
  uint64_t receivedUs = 0;  // when the line being answered came (steadyMicros)
  uint32_t lastSyncTick = 0;
  uint32_t deadline = 0;
  uint32_t syncInterval = 0;
  uint32_t lastPollEventTick = 0;
  bool answerPending = false;
  bool noTimeSync = false;
  uint16_t startCommandCount = 0;
  std::string transferFile;      // stab, sfirm: the file to send; llog: the file to write
  std::ofstream logOutput;       // llog
  uint32_t recordsReceived = 0;  // lcfg, ltxt, llog: "#4" lines so far, for the "C/" count
  bool watching = false;         // registered with epoll
  bool closed = false;
  // Admission: a connection that has never been answered a line may be closed for silence or
  // to make room; once answered, never by those rules.
  bool established = false;
  bool wantsRoom = false;    // accepted while every slot was taken
  uint32_t openedAt = 0;
  size_t countedInput = 0;   // its share of the line's unanswered-input budget

  // Shared with the status view, the console and the output clients.
  mutable std::mutex lock;
  std::string lastReceived;
  std::string moduleId;
  uint16_t account = 0;
  int32_t messageCount = 0;
  int32_t number = 0;
  std::string peerAddress;
  std::string replyText;
  uint16_t securityCode = 0;
  std::string signalQuality;
  std::string supplyVoltage;
  std::deque<std::string> commands;

  // Queues a command for the module's next poll. Safe from any thread.
  void queueCommand(std::string command) {
    std::lock_guard guard(lock);
    commands.push_back(std::move(command));
  }
  std::string id() const {
    std::lock_guard guard(lock);
    return moduleId;
  }
  uint16_t acc() const {
    std::lock_guard guard(lock);
    return account;
  }
};

using ClientPtr = std::shared_ptr<tClientContext>;

}  // namespace orv
