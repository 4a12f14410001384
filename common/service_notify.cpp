#include "common/service_notify.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#ifdef ORV_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace orv {
namespace {

std::mutex failuresLock;
std::vector<std::string>& failures() {
  static std::vector<std::string> list;
  return list;
}

// The status line systemd shows is one line; keep it short enough to read.
constexpr size_t kMaxStatus = 400;

}  // namespace

ServiceNotifier::ServiceNotifier() {
#ifdef ORV_HAVE_LIBSYSTEMD
  active_ = std::getenv("NOTIFY_SOCKET") != nullptr;
  uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdogIntervalMs_ = static_cast<uint32_t>(std::max<uint64_t>(usec / 2000, 1));
  }
#endif
}

bool ServiceNotifier::supported() {
#ifdef ORV_HAVE_LIBSYSTEMD
  return true;
#else
  return false;
#endif
}

void ServiceNotifier::notify(const std::string& state) {
#ifdef ORV_HAVE_LIBSYSTEMD
  if (active_) sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

void ServiceNotifier::ready(std::string_view status) {
  notify("READY=1\nSTATUS=" + std::string(status.substr(0, kMaxStatus)));
}

void ServiceNotifier::reloading() {
  notify("RELOADING=1\nSTATUS=reloading the configuration");
}

void ServiceNotifier::stopping() {
  notify("STOPPING=1\nSTATUS=stopping");
}

void ServiceNotifier::status(std::string_view status) {
  notify("STATUS=" + std::string(status.substr(0, kMaxStatus)));
}

void ServiceNotifier::petWatchdog() {
  notify("WATCHDOG=1");
}

void recordListenFailure(std::string what) {
  std::lock_guard lock(failuresLock);
  if (failures().size() < 64) failures().push_back(std::move(what));
}

std::vector<std::string> listenFailures() {
  std::lock_guard lock(failuresLock);
  return failures();
}

void clearListenFailures() {
  std::lock_guard lock(failuresLock);
  failures().clear();
}

std::string serviceStatus(std::string_view running) {
  std::string status(running);
  const std::vector<std::string> failed = listenFailures();
  for (size_t i = 0; i < failed.size(); ++i) status += (i == 0 ? "; " : ", ") + failed[i];
  return status;
}

}  // namespace orv
