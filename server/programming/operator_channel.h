#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/cancel_event.h"
#include "common/unique_fd.h"

namespace orv {

class CommandConsole;
class OperatorSession;

// The console of a headless server: a Unix socket in the program directory where one operator
// at a time (orv-console) runs the console's sequences and answers their questions. Only the
// server's own user may connect: the socket is 0600 from the moment it can be reached, and the
// peer's uid is checked as well.
class OperatorChannel {
 public:
  // Listens at once; listening() says whether that worked (the reason went to stderr).
  OperatorChannel(std::filesystem::path socketPath, CommandConsole& console, std::string version);
  ~OperatorChannel();  // stop()
  OperatorChannel(const OperatorChannel&) = delete;
  OperatorChannel& operator=(const OperatorChannel&) = delete;

  bool listening() const { return listening_.load(); }
  // Closes the listener and the session, ends a running sequence as Break would (every later
  // question gets its cancel answer), and joins both threads. The socket file is removed.
  void stop();

 private:
  bool bindSocket();
  void listenLoop();
  void startSession(UniqueFd client);
  void removeSocketFile();

  std::filesystem::path socketPath_;
  CommandConsole& console_;
  std::string version_;
  UniqueFd listener_;
  std::atomic<bool> listening_{false};
  dev_t socketDev_ = 0;  // which file is ours, so that stop never removes another's socket
  ino_t socketIno_ = 0;
  CancelEvent stopEvent_;
  std::unique_ptr<OperatorSession> session_;
  std::atomic<bool> sessionActive_{false};
  std::thread sessionThread_;  // started and joined by the listener thread, and by stop()
  std::thread listenerThread_;
  std::mutex stopLock_;
  bool stopped_ = false;
};

}  // namespace orv
