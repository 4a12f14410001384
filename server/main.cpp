// ORV_Serv: the receiver server.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/diag.h"
#include "common/main_loop.h"
#include "server/core/server_core.h"
#include "server/core/version.h"

namespace {

constexpr const char* kUsage =
    "usage: ORV_Serv [--headless] [--dir DIR]\n"
    "  --headless  run without a window\n"
    "  --dir DIR   program directory (ORV_Serv.ini, logs, queue files); default: the directory\n"
    "              of the executable\n"
    "  --version   print the version and exit\n"
    "Signals: SIGHUP reloads ORV_Serv.ini; SIGINT and SIGTERM stop the server.\n";

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
  std::filesystem::path dir;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--version") {
      std::printf("ORV_Serv %s\n", orv::versionText().c_str());
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "ORV_Serv: unknown argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
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
  if (!headless) orv::diag("ORV_Serv: this build has no window; running headless");

  // Signals are taken by the main loop alone: block them before any thread starts so that every
  // thread inherits the mask.
  ::signal(SIGPIPE, SIG_IGN);
  raiseOpenFileLimit();
  orv::MainLoop::blockSignals({SIGINT, SIGTERM, SIGHUP});
  orv::MainLoop loop;
  orv::ServerCore core(loop, dir);
  loop.watchSignals({SIGINT, SIGTERM, SIGHUP}, [&](int signo) {
    if (signo == SIGHUP) {
      core.reload();
    } else {
      orv::diagf("signal %d: stopping", signo);
      loop.quit();
    }
  });
  core.start();
  loop.run();
  core.shutdown();
  orv::diag("stopped");
  return 0;
}
