#include "bridge/gui/comlan_main.h"

#include <signal.h>

#include <QApplication>

#include "bridge/comlan_bridge.h"
#include "bridge/gui/comlan_window.h"
#include "common/diag.h"
#include "common/gui/qt_dispatcher.h"
#include "common/main_loop.h"

namespace orv {

int runComlanWindow(int argc, char** argv, const std::filesystem::path& dir) {
  // Before Qt or the bridge start threads: they inherit the mask, so only the loop's signalfd
  // sees the stop signals.
  MainLoop::blockSignals({SIGINT, SIGTERM});
  signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QtDispatcher dispatcher;
  int stopSignal = -1;
  dispatcher.watchSignals({SIGINT, SIGTERM}, [&stopSignal](int signo) {
    stopSignal = signo;
    QCoreApplication::quit();
  });

  ComlanCore core(dir);
  const bool bridging = core.start();
  diag(core.caption());
  diag(bridging ? "running: bridging" : "running: idle");
  int rc = 0;
  {
    ComlanWindow window(core);
    window.show();
    rc = app.exec();
  }
  core.stop();
  if (stopSignal >= 0) {
    diagf("stopped (signal %d)", stopSignal);
  } else {
    diag("stopped (window closed)");
  }
  return rc;
}

}  // namespace orv
