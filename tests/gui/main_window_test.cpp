// The main window over a real server core: real module connections on a real port, the rows
// and counters following them through the one-second timer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <memory>
#include <set>
#include <string>

#include "common/gui/qt_dispatcher.h"
#include "server/core/gui/main_window.h"
#include "server/core/server_core.h"
#include "server/modules/gui/gprs_frame.h"
#include "tests/gui/gui_waits.h"
#include "tests/support/module_peer.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::ModulePeer;
using test::pumpUntil;

// Rows of a line's page change within about a second of what they show.
constexpr int kTickWaitMs = 3000;

class MainWindowTest : public ::testing::Test {
 protected:
  void start(const std::string& ini, const std::string& strings = {}) {
    dir_.write("ORV_Serv.ini", ini);
    if (!strings.empty()) dir_.write("Orv_Str.ini", strings);
    core_ = std::make_unique<ServerCore>(loop_, dir_.path());
    window_ = std::make_unique<TFORVs>(*core_);
    core_->start();
    window_->started();
    window_->show();
  }
  void TearDown() override {
    if (window_) window_->close();
    window_.reset();
    core_.reset();
  }

  QString cell(size_t line, int row, int column) {
    GprsLineModel& model = window_->frame(line)->model();
    return model.data(model.index(row, column), Qt::DisplayRole).toString();
  }
  int rows(size_t line) { return window_->frame(line)->model().rowCount(); }
  QString counter() { return window_->findChild<QLabel*>("LOnLine")->text(); }

  test::TempDir dir_;
  QtDispatcher loop_;
  std::unique_ptr<ServerCore> core_;
  std::unique_ptr<TFORVs> window_;
};

TEST_F(MainWindowTest, PagesRowsAndCounterFollowModulesThroughTheTimer) {
  const uint16_t port = test::freePort();
  start("[GPRS1]\nPort=" + std::to_string(port) + "\nPName=North\n[gprs7]\nPort=0\n" +
        "[TcpDrv]\nPort=" + std::to_string(test::freePort()) + "\n[Client0]\nId=Alarms\n" +
        "[Out]\nPort=" + std::to_string(test::freePort()) + "\n");
  QTabWidget& pages = window_->pages();
  ASSERT_EQ(pages.count(), 3);
  EXPECT_EQ(pages.tabText(0), "GPRS1");
  EXPECT_EQ(pages.tabText(1), "gprs7");
  EXPECT_EQ(pages.tabText(2), "TcpDrv");
  EXPECT_EQ(window_->frame(0)->objectName(), "TGprsFr0");
  EXPECT_EQ(window_->findChild<QLineEdit*>("EName")->text(), "North");
  EXPECT_EQ(window_->outputModel().rowCount(), 1);

  ModulePeer a, b;
  ASSERT_TRUE(a.connect(port));
  ASSERT_TRUE(b.connect(port));
  ASSERT_TRUE(a.identify("aABC123,1F2A"));
  ASSERT_TRUE(b.identify("aDEF456,12"));
  // A connection shows with its first data, at the next tick.
  ASSERT_TRUE(pumpUntil([&] { return rows(0) == 2; }, kTickWaitMs)) << rows(0);
  EXPECT_TRUE(pumpUntil([&] { return counter() == "OnLine 2"; }, kTickWaitMs))
      << counter().toStdString();
  EXPECT_EQ(cell(0, 0, 1), "ABC123");
  EXPECT_EQ(cell(0, 0, 2), "1F2A");
  EXPECT_EQ(cell(0, 1, 2), "12");

  a.socket.close();
  EXPECT_TRUE(pumpUntil([&] { return rows(0) == 1; }, kTickWaitMs)) << rows(0);
  EXPECT_TRUE(pumpUntil([&] { return counter() == "OnLine 1"; }, kTickWaitMs));

  // The second line has no module server: no rows, "OnLine 0", its own name field.
  pages.setCurrentIndex(1);
  EXPECT_EQ(counter(), "OnLine 0");
  EXPECT_EQ(rows(1), 0);
  EXPECT_EQ(window_->findChild<QLineEdit*>("EName")->text(), "");
}

TEST_F(MainWindowTest, IdColumnClickSortsComFirstAndAccSortsByAccount) {
  const uint16_t port = test::freePort();
  start("[GPRS0]\nPort=" + std::to_string(port) + "\n");
  ModulePeer m[3];
  const char* ids[3] = {"aB2,30", "aCom,20", "aA1,10"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(m[i].connect(port));
    ASSERT_TRUE(m[i].identify(ids[i]));
  }
  ASSERT_TRUE(pumpUntil([&] { return rows(0) == 3; }, kTickWaitMs));
  QHeaderView* header = window_->frame(0)->view().horizontalHeader();
  auto column = [&](int c) {
    std::vector<std::string> out;
    for (int r = 0; r < 3; ++r) out.push_back(cell(0, r, c).toStdString());
    return out;
  };
  emit header->sectionClicked(1);
  EXPECT_EQ(column(1), (std::vector<std::string>{"Com", "A1", "B2"}));
  emit header->sectionClicked(2);
  EXPECT_EQ(column(1), (std::vector<std::string>{"Com", "A1", "B2"}));
  EXPECT_EQ(column(2), (std::vector<std::string>{"20", "10", "30"}));
}

TEST_F(MainWindowTest, WindowTextsComeFromOrvStrIniAndBadOnesDoNoHarm) {
  const std::string longCaption(10000, 'x');
  start("[GPRS0]\nPort=0\n[SiaIp]\nPort=" + std::to_string(test::freePort()) + "\n",
        "[FORVs]\nFORVs=\"Receiver \"\nBSettings=Einstellungen\nNoSuchButton=Nothing\n"
        "BLogView=" + longCaption + "\nTSSia=SIA DC-09\n[Unknown]\nX=Y\n");
  EXPECT_EQ(window_->findChild<QPushButton*>("BSettings")->text(), "Einstellungen");
  EXPECT_EQ(window_->findChild<QPushButton*>("BCmd")->text(), "Cmd");
  EXPECT_LE(window_->findChild<QPushButton*>("BLogView")->text().size(), 200);
  EXPECT_TRUE(window_->windowTitle().startsWith("Receiver v")) << window_->windowTitle().toStdString();
  EXPECT_EQ(window_->pages().tabText(1), "SIA DC-09");
  // A reload builds the pages again and keeps their texts.
  core_->reload();
  EXPECT_EQ(window_->pages().tabText(1), "SIA DC-09");
}

TEST_F(MainWindowTest, CmdOpensOneConsoleAndTheWindowIsDrawn) {
  start("[GPRS0]\nPort=0\n[Client0]\nId=Alarms\n[Client1]\nId=Backup\n[Out]\nPort=" +
        std::to_string(test::freePort()) + "\n");
  window_->findChild<QPushButton*>("BCmd")->click();
  QWidget* first = window_->console();
  ASSERT_NE(first, nullptr);
  window_->findChild<QPushButton*>("BCmd")->click();
  EXPECT_EQ(window_->console(), first);

  const QImage image = window_->grab().toImage();
  ASSERT_FALSE(image.isNull());
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 4) {
    for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 5u) << "a blank window";
  EXPECT_EQ(window_->outputModel().data(window_->outputModel().index(1, 0), Qt::DisplayRole),
            "Backup");
}

}  // namespace
}  // namespace orv
