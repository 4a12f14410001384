#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Tells systemd how the service is doing (sd_notify), when it runs under a unit of Type=notify.
// Without NOTIFY_SOCKET, or in a build without libsystemd, every call does nothing.
class ServiceNotifier {
 public:
  ServiceNotifier();

  // Whether this build can notify at all (it was built with libsystemd).
  static bool supported();

  bool active() const { return active_; }
  // Start-up (or a reload) is complete: every listener that could be bound is up.
  void ready(std::string_view status);
  void reloading();
  void stopping();
  void status(std::string_view status);
  // Half the watchdog time the unit asks for (WatchdogSec=), 0 when there is none: the loop
  // that must prove it is alive calls petWatchdog() at least this often.
  uint32_t watchdogIntervalMs() const { return watchdogIntervalMs_; }
  void petWatchdog();

 private:
  void notify(const std::string& state);

  bool active_ = false;
  uint32_t watchdogIntervalMs_ = 0;
};

// The listeners that could not be bound since the last clear, as their diagnostics said it
// ("TcpDrv input: cannot listen on port 9100: ..."): the service's status names them. Safe from
// any thread.
void recordListenFailure(std::string what);
std::vector<std::string> listenFailures();
void clearListenFailures();

// "running" or "running; cannot listen: <failures>", for the service status.
std::string serviceStatus(std::string_view running);

}  // namespace orv
