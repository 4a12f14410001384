// Comlan's window and settings dialog over a real bridge: a stand-in output server on 127.0.0.1
// and devices on pseudo-terminals. The clock is never touched: SyncFl stays off and the clock
// setter is a fake.

#include <QComboBox>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "bridge/comlan_bridge.h"
#include "bridge/gui/comlan_settings_dialog.h"
#include "bridge/gui/comlan_window.h"
#include "common/ini_file.h"
#include "common/line_socket.h"
#include "tests/support/pty_peer.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;
constexpr int kSettleMs = 100;

// The server's side of one output channel.
class StandInServer {
 public:
  StandInServer() { listener_.listen(0, "stand-in output server"); }
  uint16_t port() const { return listener_.localPort(); }

  bool accept() {
    conn.close();
    return listener_.waitForConnection(kWaitMs) && listener_.accept(conn) == 0;
  }
  // Greets the bridge; the channel name it sends back.
  std::optional<std::string> greet() {
    std::string name;
    if (conn.send("IP-Server V0.0\r\n") != 0) return std::nullopt;
    if (conn.receiveLine(name, LineEnd::CrLf, kWaitMs) != 0) return std::nullopt;
    return name;
  }
  bool send(const std::string& line) { return conn.send(line + "\r\n") == 0; }

  LineSocket conn;

 private:
  LineSocket listener_;
};

class ComlanWindowTest : public testing::Test {
 protected:
  ComlanWindowTest() {
    ComlanCore::Timing timing;
    timing.retryWaitMs = 100;
    timing.reopenMs = 100;
    timing.bannerMs = kWaitMs;  // the animation test greets late on purpose
    iniText_ = "; kept as it is\n[Com]\nPort=3\nBaudRate=230400\n[TCP]\nHost=127.0.0.1\nPort=" +
               std::to_string(server_.port()) + "\nId=Bank\n[Ports]\nCOM3=" + com3_.path() +
               "\nCOM12=" + com12_.path() + "\n";
    dir_.write("Comlan.ini", iniText_);
    core_ = std::make_unique<ComlanCore>(
        dir_.path(), [](const LocalDateTime&) { return 0; }, timing);
  }
  ~ComlanWindowTest() override {
    window_.reset();
    core_->stop();
  }

  // Starts the bridge with its window and takes the bridge's connection.
  void startConnected() {
    ASSERT_TRUE(core_->start());
    window_ = std::make_unique<ComlanWindow>(*core_, nullptr, kSettleMs);
    window_->show();
    ASSERT_TRUE(server_.accept());
    ASSERT_EQ(server_.greet(), "Bank");
  }

  QStringList memoLines() {
    return window_->findChild<QPlainTextEdit*>("Memo")->toPlainText().split('\n');
  }

  ComlanSettingsDialog* openSettings() {
    QTest::mouseClick(window_->findChild<QToolButton*>("SettingsButton"), Qt::LeftButton);
    return window_->findChild<ComlanSettingsDialog*>("DSettings");
  }

  static void click(ComlanSettingsDialog& dialog, QDialogButtonBox::StandardButton which) {
    QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(which), Qt::LeftButton);
  }

  test::TempDir dir_;
  test::PtyPeer com3_;
  test::PtyPeer com12_;
  StandInServer server_;
  std::string iniText_;
  std::unique_ptr<ComlanCore> core_;
  std::unique_ptr<ComlanWindow> window_;
};

TEST_F(ComlanWindowTest, ShowsTheLastLinesOfTheBridgeScrolledToTheEnd) {
  ASSERT_NO_FATAL_FAILURE(startConnected());
  EXPECT_EQ(window_->windowTitle().toStdString(),
            "Comlan  Port=" + std::to_string(server_.port()) + " host=127.0.0.1");

  // Time-sync lines are shown and answered without the device, so many go through quickly.
  for (int i = 0; i < 160; ++i) ASSERT_TRUE(server_.send("systime" + std::to_string(i)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return memoLines().back() == "systime159"; }, kWaitMs));

  // Past 150 lines the area was cut to its last 99; nine more came after that.
  const QStringList lines = memoLines();
  ASSERT_EQ(lines.size(), 108);
  EXPECT_EQ(lines.front(), "systime52");
  auto* memo = window_->findChild<QPlainTextEdit*>("Memo");
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->textCursor().blockNumber(), 107);
}

TEST_F(ComlanWindowTest, TrayIconTurnsExactlyWhileConnected) {
  ASSERT_TRUE(core_->start());
  window_ = std::make_unique<ComlanWindow>(*core_, nullptr, kSettleMs);
  ASSERT_TRUE(server_.accept());

  // Connected at TCP level but not greeted yet: the bridge is not connected.
  QTest::qWait(300);
  EXPECT_FALSE(window_->animating());

  ASSERT_EQ(server_.greet(), "Bank");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window_->framesShown() >= 3; }, kWaitMs));
  EXPECT_TRUE(window_->animating());

  server_.conn.close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->animating(); }, kWaitMs));
  const int frames = window_->framesShown();
  QTest::qWait(2 * ComlanWindow::kAnimationMs);
  EXPECT_EQ(window_->framesShown(), frames);
}

TEST_F(ComlanWindowTest, SettingsOkWritesTheFileAndRestartsOnTheNewPort) {
  ASSERT_NO_FATAL_FAILURE(startConnected());
  QPointer<ComlanSettingsDialog> dialog = openSettings();
  ASSERT_TRUE(dialog);

  // The file's 230400 baud is not offered: no selection, and the value must survive OK.
  EXPECT_EQ(dialog->findChild<QComboBox*>("cbBaudRate")->currentIndex(), -1);
  EXPECT_EQ(dialog->findChild<QComboBox*>("cbPort")->currentText(), "COM3");
  auto* port = dialog->findChild<QComboBox*>("cbPort");
  port->setCurrentIndex(port->findText("COM12"));
  ASSERT_EQ(port->currentText(), "COM12");

  click(*dialog, QDialogButtonBox::Ok);
  // OK returns at once; the stop, the write and the settle time run on timers.
  EXPECT_TRUE(dialog && dialog->restarting());
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kWaitMs));

  const IniFile ini(dir_ / "Comlan.ini");
  EXPECT_EQ(ini.value("Com", "Port"), "12");
  EXPECT_EQ(ini.value("Com", "BaudRate"), "230400");
  EXPECT_EQ(ini.value("Com", "DataBits"), "8");
  EXPECT_EQ(ini.value("TCP", "Id"), "Bank");
  EXPECT_EQ(dir_.read("Comlan.ini").rfind("; kept as it is\n", 0), 0u);

  // The bridge runs again, now on COM12.
  ASSERT_TRUE(server_.accept());
  ASSERT_EQ(server_.greet(), "Bank");
  ASSERT_TRUE(server_.send("5011 181234E13001015"));
  EXPECT_EQ(com12_.frame('\x14', kWaitMs), "5011 181234E13001015");
}

TEST_F(ComlanWindowTest, CancelAndAFailedWriteLeaveTheSettingsAlone) {
  ASSERT_NO_FATAL_FAILURE(startConnected());

  QPointer<ComlanSettingsDialog> dialog = openSettings();
  ASSERT_TRUE(dialog);
  dialog->findChild<QComboBox*>("cbPort")->setCurrentIndex(0);
  click(*dialog, QDialogButtonBox::Cancel);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kWaitMs));
  EXPECT_EQ(dir_.read("Comlan.ini"), iniText_);
  EXPECT_TRUE(core_->serialPortOpen());
  EXPECT_TRUE(core_->connected());

  // The file cannot be replaced: the operator is told and the bridge comes back as it was.
  std::filesystem::create_directory(dir_ / "Comlan.ini.tmp");
  dialog = openSettings();
  ASSERT_TRUE(dialog);
  QString told;
  dialog->showMessage = [&](const QString& text) { told = text; };
  auto* port = dialog->findChild<QComboBox*>("cbPort");
  port->setCurrentIndex(port->findText("COM12"));
  click(*dialog, QDialogButtonBox::Ok);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kWaitMs));
  EXPECT_TRUE(told.contains("Comlan.ini")) << told.toStdString();
  EXPECT_EQ(dir_.read("Comlan.ini"), iniText_);
  ASSERT_TRUE(server_.accept());
  ASSERT_EQ(server_.greet(), "Bank");
  ASSERT_TRUE(server_.send("5011 181234E13001016"));
  EXPECT_EQ(com3_.frame('\x14', kWaitMs), "5011 181234E13001016");
}

}  // namespace
}  // namespace orv
