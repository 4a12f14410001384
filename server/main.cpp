// ORV_Serv: the receiver server.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "common/diag.h"
#include "common/gui/display.h"
#include "common/main_loop.h"
#include "common/service_notify.h"
#include "server/core/config_check.h"
#include "server/core/gui/window_main.h"
#include "server/core/server_core.h"
#include "server/core/version.h"

namespace {

// Every module connection is a descriptor: take all the hard limit allows.
void raiseOpenFileLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    ::getrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < 4096) {
    orv::diagf("open-file limit is %lu: at most about that many module connections",
               static_cast<unsigned long>(lim.rlim_cur));
  }
}

std::filesystem::path executableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  bool checkConfig = false;
  std::string dirOption;
  CLI::App app{"ORV_Serv: the receiver server"};
  app.footer("Signals: SIGHUP reloads ORV_Serv.ini; SIGINT and SIGTERM stop the server.");
  app.add_flag("--headless", headless, "run without a window");
  app.add_flag("--check-config", checkConfig,
               "read ORV_Serv.ini (and Orv_SiaKeys.ini) as start-up would, print what it would "
               "create and every problem, and exit: 0 when it would work, 1 when not");
  app.add_option("--dir", dirOption,
                 "program directory (ORV_Serv.ini, logs, queue files); default: the directory of "
                 "the executable")
      ->type_name("DIR");
  app.set_version_flag("--version", "ORV_Serv " + orv::versionText(), "print the version and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  std::filesystem::path dir = dirOption;
  if (dir.empty()) dir = executableDir();
  std::error_code ec;
  dir = std::filesystem::absolute(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    std::fprintf(stderr, "ORV_Serv: program directory '%s' does not exist\n", dir.c_str());
    return 2;
  }
  if (::chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "ORV_Serv: cannot enter '%s': %s\n", dir.c_str(), std::strerror(errno));
    return 2;
  }
  if (checkConfig) {
    const orv::ConfigReport report = orv::checkConfiguration(dir, true);
    for (const orv::ConfigFinding& f : report.findings) {
      std::printf("%s: %s\n", orv::levelName(f.level), f.text.c_str());
    }
    return report.ok() ? 0 : 1;
  }
  if (!headless && !orv::displayAvailable()) {
    orv::diag("ORV_Serv: no display (DISPLAY and WAYLAND_DISPLAY unset): running headless");
    headless = true;
  }

  // Signals are taken by the main loop alone: block them before any thread starts so that every
  // thread inherits the mask.
  ::signal(SIGPIPE, SIG_IGN);
  raiseOpenFileLimit();
  orv::MainLoop::blockSignals({SIGINT, SIGTERM, SIGHUP});
  // Under systemd (Type=notify): ready once every listener that can be bound is up, the ones
  // that cannot named in the status; the watchdog is petted by the main loop itself, so a loop
  // that hangs stops petting and systemd restarts the service.
  orv::ServiceNotifier service;
  orv::ServerHooks hooks;
  hooks.onSignal = [&](int signo, orv::ServerCore& core, const std::function<void()>& stop) {
    if (signo == SIGHUP) {
      service.reloading();
      orv::clearListenFailures();
      core.reload();
      service.ready(orv::serviceStatus(core.runningSummary()));
    } else {
      orv::diagf("signal %d: stopping", signo);
      service.stopping();
      stop();
    }
  };
  hooks.beforeStart = [&](orv::Dispatcher& loop) {
    if (service.watchdogIntervalMs() != 0) {
      loop.setTimerEnabled(
          loop.addTimer(service.watchdogIntervalMs(), [&] { service.petWatchdog(); }), true);
    }
    orv::clearListenFailures();
  };
  hooks.afterStart = [&](orv::ServerCore& core) {
    service.ready(orv::serviceStatus(core.runningSummary()));
  };

  if (!headless) {
    orv::runServerWindow(argc, argv, dir, hooks);
  } else {
    orv::MainLoop loop;
    orv::ServerCore core(loop, dir);
    loop.watchSignals({SIGINT, SIGTERM, SIGHUP},
                      [&](int signo) { hooks.onSignal(signo, core, [&loop] { loop.quit(); }); });
    hooks.beforeStart(loop);
    core.start();
    hooks.afterStart(core);
    loop.run();
    core.shutdown();
  }
  orv::diag("stopped");
  return 0;
}
