#include "server/core/gui/window_main.h"

#include <signal.h>

#include <QApplication>

#include "common/gui/qt_dispatcher.h"
#include "server/core/gui/main_window.h"
#include "server/core/server_core.h"

namespace orv {

int runServerWindow(int argc, char** argv, const std::filesystem::path& dir,
                    const ServerHooks& hooks) {
  QApplication app(argc, argv);
  // The window's close is the shutdown; viewers left open must not keep the program alive.
  QApplication::setQuitOnLastWindowClosed(false);
  QtDispatcher loop;
  ServerCore core(loop, dir);
  TFORVs window(core);
  QObject::connect(&window, &TFORVs::closed, &app, &QCoreApplication::quit);
  loop.watchSignals({SIGINT, SIGTERM, SIGHUP}, [&](int signo) {
    hooks.onSignal(signo, core, [&window] { window.close(); });
  });
  if (hooks.beforeStart) hooks.beforeStart(loop);
  core.start();
  window.started();
  window.show();
  if (hooks.afterStart) hooks.afterStart(core);
  QApplication::exec();
  core.shutdown();
  // Viewers and the console free themselves when closed; those still open go now.
  for (QWidget* other : QApplication::topLevelWidgets()) {
    if (other != &window && other->testAttribute(Qt::WA_DeleteOnClose)) delete other;
  }
  return 0;
}

}  // namespace orv
