// orv-bench-window: what the main window costs its thread with many modules on one line. The
// real core and window run in this process; orv-modsim (started by bench/window_bench.sh)
// connects the modules. Once the line's page shows them all, seconds are measured two ways: the
// CPU time of the window's thread in each second left alone (timer, row counts, painting, all of
// it), then one status tick with the line flagged followed by a full synchronous repaint.
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/gui/qt_dispatcher.h"
#include "server/core/gui/main_window.h"
#include "server/core/server_core.h"
#include "server/modules/gui/gprs_frame.h"

namespace {

struct Stats {
  double p50 = 0;
  double max = 0;
};

Stats stats(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  size_t connections = 20000;
  int seconds = 10;
  int waitSeconds = 120;
  CLI::App app{"orv-bench-window: the main window's cost with many module connections"};
  app.add_option("--dir", dir, "program directory with ORV_Serv.ini")->required();
  app.add_option("--connections", connections, "rows to wait for")->capture_default_str();
  app.add_option("--seconds", seconds, "seconds measured")->capture_default_str();
  app.add_option("--wait", waitSeconds, "seconds allowed for the modules to connect")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  QApplication qapp(argc, argv);
  orv::QtDispatcher loop;
  orv::ServerCore core(loop, std::filesystem::path(dir));
  orv::TFORVs window(core);
  core.start();
  window.started();
  window.resize(1280, 800);
  window.show();

  // The window's thread is this one: its CPU time is what the window costs (the core's workers
  // run on threads of their own).
  auto threadCpuNs = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<qint64>(t.tv_sec) * 1000000000LL + t.tv_nsec;
  };
  QElapsedTimer clock;
  clock.start();

  orv::TGprsFr* frame = window.frame(0);
  if (frame == nullptr) {
    std::fprintf(stderr, "orv-bench-window: no GPRS line in %s\n", dir.c_str());
    return 2;
  }
  std::vector<double> busyMs, tickMs;
  int phase = 0;  // 0 waiting for the rows, 1 the window alone, 2 forced ticks
  int measured = 0;
  qint64 busyAtStart = 0;
  const qint64 waitUntil = clock.elapsed() + waitSeconds * 1000LL;
  QTimer second;
  second.setInterval(1000);
  QObject::connect(&second, &QTimer::timeout, [&] {
    const int rows = frame->model().rowCount();
    if (phase == 0) {
      if (static_cast<size_t>(rows) >= connections) {
        // Look at the middle of the list, as an operator scrolling it would.
        frame->view().scrollTo(frame->model().index(rows / 2, 0));
        phase = 1;
        busyAtStart = threadCpuNs();
      } else if (clock.elapsed() > waitUntil) {
        std::fprintf(stderr, "orv-bench-window: only %d of %zu rows after %d s\n", rows,
                     connections, waitSeconds);
        QApplication::exit(1);
      }
      return;
    }
    if (phase == 1) {
      // The window left alone: the core's timer and whatever it repaints.
      const qint64 now = threadCpuNs();
      busyMs.push_back(static_cast<double>(now - busyAtStart) / 1e6);
      busyAtStart = now;
      if (++measured >= seconds) phase = 2;
      return;
    }
    // The worst tick: the line flagged as changed, its rows counted, then the whole window
    // painted at once. The flag is what a worker sets when a module sends.
    QElapsedTimer t;
    t.start();
    const_cast<orv::tGprsItem&>(*core.gprsLines()[0]).rowsChanged.store(1);
    core.tick();
    window.repaint();
    tickMs.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    if (++measured >= 2 * seconds) QApplication::exit(0);
  });
  second.start();
  const int rc = QApplication::exec();
  if (rc == 0) {
    const Stats busy = stats(busyMs);
    const Stats tick = stats(tickMs);
    std::printf("| rows | window thread CPU per second p50 ms | max ms | tick + full repaint p50 ms | max ms |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    std::printf("| %d | %.2f | %.2f | %.2f | %.2f |\n", frame->model().rowCount(), busy.p50,
                busy.max, tick.p50, tick.max);
  }
  window.close();
  return rc;
}
