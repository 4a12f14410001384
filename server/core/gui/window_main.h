#pragma once

#include <filesystem>
#include <functional>

namespace orv {

class Dispatcher;
class ServerCore;

// What main() does around the core in either build: signals, systemd notifications.
struct ServerHooks {
  // A stop or reload signal; `stop` ends the program the way this build ends.
  std::function<void(int signo, ServerCore& core, const std::function<void()>& stop)> onSignal;
  std::function<void(Dispatcher& loop)> beforeStart;
  std::function<void(ServerCore& core)> afterStart;
};

// Runs the server with its main window until the window is closed or a stop signal arrives.
// SIGINT, SIGTERM and SIGHUP must be blocked in every thread already.
int runServerWindow(int argc, char** argv, const std::filesystem::path& dir,
                    const ServerHooks& hooks);

}  // namespace orv
