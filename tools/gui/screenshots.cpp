// orv-screenshots: every window of the server and of Comlan, drawn on the display it is given
// (Xvfb in scripts/screenshots.sh) over a real core with real traffic, saved one PNG per window.
// The windows are the programs' own classes; the script starts the senders and says when the
// traffic has arrived by creating the --ready file.
#include <QApplication>
#include <QFile>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "bridge/comlan_bridge.h"
#include "bridge/gui/comlan_window.h"
#include "common/gui/qt_dispatcher.h"
#include "server/core/gui/main_window.h"
#include "server/core/server_core.h"
#include "server/inputs/gui/log_view.h"
#include "server/outputs/gui/out_dialog.h"
#include "server/outputs/gui/settings_dialog.h"

namespace {

namespace fs = std::filesystem;

// Lets the windows take in what happened (timer ticks, repaints) for `ms`.
void settle(int ms) {
  QTimer done;
  done.setSingleShot(true);
  done.start(ms);
  while (done.isActive()) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget& window, const fs::path& out, const char* name) {
  window.raise();
  settle(300);
  const fs::path file = out / (std::string(name) + ".png");
  if (!window.grab().save(QString::fromStdString(file.string()), "PNG")) {
    std::fprintf(stderr, "orv-screenshots: cannot write %s\n", file.c_str());
    return false;
  }
  std::printf("%s\n", file.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, comlanDir, out, ready, log;
  int timeoutS = 120;
  CLI::App app{"orv-screenshots: saves a PNG of every window over a running core"};
  app.add_option("--dir", dir, "the server's program directory")->required();
  app.add_option("--comlan-dir", comlanDir, "Comlan's program directory")->required();
  app.add_option("--out", out, "where the PNG files go")->required();
  app.add_option("--ready", ready, "the file whose creation means the traffic has arrived")
      ->required();
  app.add_option("--log", log, "a module log (.hex) for the log viewer");
  app.add_option("--timeout", timeoutS, "seconds to wait for --ready")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  QApplication qapp(argc, argv);
  orv::QtDispatcher loop;
  orv::ServerCore core(loop, dir);
  orv::TFORVs window(core);
  core.start();
  window.started();
  window.resize(1100, 560);
  window.show();
  orv::ComlanCore comlan(comlanDir);
  comlan.start();
  orv::ComlanWindow comlanWindow(comlan);
  comlanWindow.resize(640, 380);
  comlanWindow.show();

  for (int waited = 0; !fs::exists(ready); waited += 200) {
    if (waited > timeoutS * 1000) {
      std::fprintf(stderr, "orv-screenshots: %s did not appear within %d s\n", ready.c_str(),
                   timeoutS);
      return 1;
    }
    settle(200);
  }
  settle(1500);  // one more status tick after the last sender

  bool ok = true;
  const fs::path to(out);
  const char* pageFiles[] = {"main-modules", "main-gsm-receiver", "main-tcpdrv", "main-sia"};
  for (int page = 0; page < window.pages().count() && page < 4; ++page) {
    window.pages().setCurrentIndex(page);
    settle(1200);
    ok = save(window, to, pageFiles[page]) && ok;
  }
  window.pages().setCurrentIndex(0);

  {
    orv::TDSettings settings(fs::path(dir) / "ORV_Serv.ini", core.localisation());
    settings.show();
    ok = save(settings, to, "settings") && ok;
    orv::tFItem filter;
    filter.phoneMask = "+3620*";
    filter.idMask = "SIM00??";
    orv::TOutDlg filterDialog(filter, core.localisation());
    filterDialog.show();
    ok = save(filterDialog, to, "filter-settings") && ok;
  }
  if (!log.empty()) {
    orv::TFLogView* viewer = orv::TFLogView::open(
        nullptr, dir, [&](QWidget*, const fs::path&) { return std::optional<fs::path>(log); });
    if (viewer != nullptr) {
      viewer->resize(640, 420);
      ok = save(*viewer, to, "log-view") && ok;
      viewer->close();
    }
  }
  window.openConsole();
  if (window.console() != nullptr) ok = save(*window.console(), to, "command-console") && ok;

  ok = save(comlanWindow, to, "comlan") && ok;
  if (orv::ComlanSettingsDialog* dialog = comlanWindow.openSettings()) {
    ok = save(*dialog, to, "comlan-settings") && ok;
    dialog->reject();
  }

  window.close();
  comlan.stop();
  return ok ? 0 : 1;
}
