#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/admission.h"
#include "common/cancel_event.h"
#include "common/line_socket.h"
#include "common/ten_day_log.h"

namespace orv {

class tOList;
class tOItem;

// Hands a client's command to a module: line number (16 when the client named none), module
// identifier, command text. Called from the client threads.
using CommandRouter =
    std::function<void(int line, const std::string& moduleId, const std::string& command)>;

// "line:module:command" or "module:command" (line 16), after the reply's first character.
struct ClientCommand {
  int line = 16;
  std::string moduleId;
  std::string command;
};
std::optional<ClientCommand> parseClientCommand(std::string_view reply);

// A dotted IPv4 address with each part read as a number and printed again modulo 256, so that
// "192.168.001.010" and "192.168.1.10" compare equal; std::nullopt when it is no address.
std::optional<std::string> normaliseAddress(std::string_view text);

struct OutputServerSettings {
  uint16_t port = 950;
  int32_t syncPMinutes = 60;            // [Out] SyncP; 0 or less: no time sync
  std::vector<std::string> clientList;  // [CList] values; empty admits everybody
  std::filesystem::path logDir;         // ./Orv_Serv_c/
  // Per-address limit and the wait for the channel name (0: no limit); the allow list is
  // [CList].
  AdmissionRules admission{.allow = {}, .perAddress = 64, .firstExchangeMs = 20000};
};

class TOListThrd;

// One attached client (monitoring software, the bridge, the client library): it names a
// channel and gets the channel's lines one at a time, each removed only on its reply.
class TSOutThrd {
 public:
  TSOutThrd(TOListThrd& server, LineSocket socket);
  ~TSOutThrd();
  void requestStop() { cancel_.set(); }
  void join();
  bool finished() const { return finished_.load(); }
  // Named an existing channel: never evicted.
  bool established() const { return state_.load() == kEstablished; }
  // Ends a client that has not named a channel yet, to make room; true when it was one.
  bool evict();
  bool evicting() const { return state_.load() == kEvicted; }
  const std::string& peer() const { return peer_; }

 private:
  void run();
  void serve(tOItem& item);
  void command(std::string_view reply);
  void log(const char* what);

  TOListThrd& server_;
  LineSocket socket_;
  std::string peer_;
  CancelEvent cancel_;
  CancelEvent wake_;  // set by pushes into the channel; read back before each wait
  std::string channel_;
  std::atomic<bool> finished_{false};
  // Naming a channel and being evicted may cross: whichever leaves kNew first holds.
  enum : int { kNew, kEstablished, kEvicted };
  std::atomic<int> state_{kNew};
  std::thread thread_;
};

// The output server: listens on [Out] Port and runs one TSOutThrd per client (the host list).
class TOListThrd {
 public:
  // The per-channel client count is one byte: at most 255 clients, so it cannot wrap.
  static constexpr size_t kMaxClients = 255;

  TOListThrd(OutputServerSettings settings, tOList& outputs, CommandRouter router,
             std::atomic<uint8_t>* outputsChanged);
  ~TOListThrd();
  TOListThrd(const TOListThrd&) = delete;
  TOListThrd& operator=(const TOListThrd&) = delete;

  // The listener first, then every client (asked all, then awaited). Idempotent.
  void stop();
  bool listening() const { return listener_.isOpen(); }
  uint16_t port() const { return port_; }
  size_t clientCount() const;
  const AdmissionCounters& admissionCounters() const { return admission_.counters(); }

 private:
  friend class TSOutThrd;

  void run();
  void reap();
  bool admitted(const std::string& peer) const;
  // A slot for a new client, by evicting one that has not named a channel when all are taken;
  // hostsLock_ held.
  bool makeRoom();

  OutputServerSettings settings_;
  tOList& outputs_;
  CommandRouter router_;
  std::atomic<uint8_t>* outputsChanged_;
  TenDayLog log_;
  std::vector<std::string> admittedAddresses_;
  Admission admission_;
  LineSocket listener_;
  uint16_t port_ = 0;
  CancelEvent cancel_;
  mutable std::mutex hostsLock_;
  std::vector<std::unique_ptr<TSOutThrd>> hosts_;  // tOHostList
  std::thread thread_;
};

}  // namespace orv
