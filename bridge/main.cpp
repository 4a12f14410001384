// Comlan: bridges one output channel of the receiver server to a receiver-output device on a
// serial port.

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <CLI/CLI.hpp>

#include "bridge/comlan_bridge.h"
#include "bridge/gui/comlan_main.h"
#include "common/diag.h"
#include "common/gui/display.h"
#include "common/service_notify.h"

namespace {

std::filesystem::path executableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

// The bridge without a window; under systemd it reports readiness and pets the watchdog.
int runHeadless(const std::filesystem::path& dir) {
  // The worker threads inherit the blocked mask, so only sigwait() sees the stop signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  orv::ComlanCore core(dir);
  const bool bridging = core.start();
  orv::diag(core.caption());
  orv::diag(bridging ? "running: bridging" : "running: idle");
  // Under systemd (Type=notify): ready now; the watchdog is petted while this thread waits for
  // a stop signal.
  orv::ServiceNotifier service;
  service.ready(bridging ? "running: bridging" : "running: idle");

  const uint32_t petMs = service.watchdogIntervalMs();
  const timespec petEvery{static_cast<time_t>(petMs / 1000),
                          static_cast<long>(petMs % 1000) * 1000000L};
  int signo = -1;
  while (signo < 0) {
    if (petMs == 0) {
      if (sigwait(&stopSignals, &signo) != 0) signo = -1;
      continue;
    }
    signo = sigtimedwait(&stopSignals, nullptr, &petEvery);
    if (signo < 0) service.petWatchdog();
  }
  service.stopping();
  core.stop();
  orv::diagf("stopped (signal %d)", signo);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Comlan: bridges a receiver server output channel to a serial device"};
  bool headless = false;
  std::string dirOption;
  app.add_flag("--headless", headless, "run without a window");
  app.add_option("--dir", dirOption,
                 "program directory (Comlan.ini, ComlanLog/); default: the executable's");
  CLI11_PARSE(app, argc, argv);

  std::filesystem::path dir =
      dirOption.empty() ? executableDir() : std::filesystem::path(dirOption);
  std::error_code ec;
  dir = std::filesystem::absolute(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    std::fprintf(stderr, "Comlan: program directory '%s' does not exist\n", dir.c_str());
    return 2;
  }
  if (!headless && !orv::displayAvailable()) {
    orv::diag("no display (DISPLAY and WAYLAND_DISPLAY unset): running headless");
    headless = true;
  }
  return headless ? runHeadless(dir) : orv::runComlanWindow(argc, argv, dir);
}
