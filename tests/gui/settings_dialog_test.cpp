#include <gtest/gtest.h>
#include <sys/stat.h>

// Before Qt, whose "signals" keyword would break the main loop's parameter names.
#include "common/main_loop.h"
#include "server/core/server_core.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "server/core/gui/window_texts.h"
#include "server/outputs/gui/out_dialog.h"
#include "server/outputs/gui/settings_dialog.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

template <typename T>
T* child(const QWidget& window, const char* name) {
  T* found = window.findChild<T*>(QString::fromUtf8(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}

// Types into a field as the operator does and leaves it with Enter.
void type(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClicks(edit, text);
  QTest::keyClick(edit, Qt::Key_Return);
}

void click(QWidget* button) {
  QTest::mouseClick(button, Qt::LeftButton);
}

QStringList tabTexts(const QTabBar* tabs) {
  QStringList texts;
  for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
  return texts;
}

// Runs `act` on the modal window once it shows (runSettingsEditor blocks in exec()).
void whenModal(std::function<void(QWidget&)> act) {
  auto* timer = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, act, tries] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr && ++*tries < 500) return;
    timer->stop();
    timer->deleteLater();
    if (modal != nullptr) act(*modal);
  });
  timer->start(10);
}

class SettingsDialogTest : public testing::Test {
 protected:
  std::unique_ptr<TDSettings> open(std::string_view ini) {
    file = dir.write("ORV_Serv.ini", ini);
    auto dialog = std::make_unique<TDSettings>(file, texts);
    dialog->setMessageSink([this](const QString& m) { messages << m; });
    dialog->show();
    return dialog;
  }
  IniFile saved() const { return IniFile(file); }

  test::TempDir dir;
  std::filesystem::path file;
  Localisation texts;
  QStringList messages;
};

TEST_F(SettingsDialogTest, ShowsTheFileWithTheDesignsCaptions) {
  auto d = open("[GPRS7]\nPort=800\nSyncP=90\n[Out]\nMode=1\n[Client0]\nId=Bank\n");
  EXPECT_EQ(d->objectName(), "DSettings");
  EXPECT_EQ(d->windowTitle(), "Settings");
  auto* tabs = child<QTabBar>(*d, "TcInputs");
  EXPECT_EQ(tabTexts(tabs), (QStringList{"Gprs0", "TcpDrv", "Sia"}));
  EXPECT_EQ(child<QLineEdit>(*d, "EPort")->text(), "800");
  EXPECT_EQ(child<QLineEdit>(*d, "ESyncP")->text(), "01:30");
  auto* pages = child<QTabWidget>(*d, "PcOutputs");
  EXPECT_EQ(pages->tabText(0), "TcpIp");
  EXPECT_EQ(pages->tabText(1), "Com");
  EXPECT_EQ(pages->currentIndex(), 1);  // [Out] Mode
  EXPECT_EQ(child<QListWidget>(*d, "LbChannels")->item(0)->text(), "Bank");
  QTreeWidgetItem* header = child<QTreeWidget>(*d, "LvFilters")->headerItem();
  EXPECT_EQ(header->text(0), "Phone Mask");
  EXPECT_EQ(header->text(3), "Acc0");
  EXPECT_EQ(child<QCheckBox>(*d, "ChkUFl")->text(), "Switching Caller ID support");
  EXPECT_EQ(child<QCheckBox>(*d, "ChkDtFlag")->text(), "Add DateTime");
  EXPECT_EQ(child<QAction>(*d, "MiInsertGprs")->text(), "Insert GPRS Chanel");
  EXPECT_EQ(child<QComboBox>(*d, "CbOutCom")->itemText(0), "COM0");
}

TEST_F(SettingsDialogTest, OkUntouchedWritesTheDefaultsAndKeepsTheRest) {
  const std::string text =
      "; keep me\n[GPRS7]\nPort=800\nAllow=10.0.0.0/8\n[TcpDrv]\nPort=910\n"
      "[Com]\nQSize=3\n[Client0]\nId=A\nQSize=5\n[Custom]\nX=1\n";
  auto d = open(text);
  click(child<QPushButton>(*d, "BOk"));
  ASSERT_EQ(d->result(), QDialog::Accepted);
  IniFile ini = saved();
  EXPECT_EQ(ini.keys("GPRS0").size(), 17u);
  EXPECT_EQ(ini.readInteger("TcpDrv", "Line", 0), 5);
  EXPECT_EQ(ini.readInteger("Com", "QSize", 0), 10);
  EXPECT_EQ(ini.readInteger("Client0", "QSize", 0), 5);  // never edited
  EXPECT_EQ(ini.readString("Custom", "X"), "1");
  EXPECT_EQ(ini.text().rfind("; keep me\n", 0), 0u);
  EXPECT_EQ(ini.readInteger("Out", "Com", 0), 1);
  EXPECT_EQ(ini.readInteger("Out", "Baud", 0), 9600);

  // A second untouched round changes no value (the rewritten sections move to the end).
  auto again = std::make_unique<TDSettings>(file, texts);
  again->show();
  click(child<QPushButton>(*again, "BOk"));
  IniFile twice = saved();
  EXPECT_EQ(twice.sections().size(), ini.sections().size());
  for (const std::string& section : ini.sections()) {
    EXPECT_EQ(twice.entries(section), ini.entries(section)) << section;
  }
}

TEST_F(SettingsDialogTest, SwitchingTabsConvertsTheFields) {
  auto d = open("[GPRS0]\nPort=800\n[SiaIp]\nPort=920\nLifeTime=30\n");
  auto* tabs = child<QTabBar>(*d, "TcInputs");
  auto* port = child<QLineEdit>(*d, "EPort");
  auto* sync = child<QLineEdit>(*d, "ESyncP");
  auto* device = child<QGroupBox>(*d, "GbDevice");
  type(port, "8o1");
  type(sync, "bad");
  type(child<QLineEdit>(*d, "ELifeTime"), "7");
  EXPECT_TRUE(device->isVisible());
  EXPECT_TRUE(child<QAction>(*d, "MiRemoveGprs")->isEnabled());

  tabs->setCurrentIndex(2);  // Sia
  EXPECT_EQ(port->text(), "920");
  EXPECT_EQ(child<QLineEdit>(*d, "ELifeTime")->text(), "30");
  EXPECT_FALSE(device->isVisible());
  EXPECT_FALSE(child<QLineEdit>(*d, "ETestTime")->isVisible());
  EXPECT_FALSE(child<QAction>(*d, "MiRemoveGprs")->isEnabled());
  type(port, "0");

  tabs->setCurrentIndex(0);
  EXPECT_EQ(port->text(), "0");
  EXPECT_EQ(sync->text(), "00:00");
  EXPECT_EQ(d->model().lines[0].lifeTimeMs, 7 * 60000);
  click(child<QPushButton>(*d, "BOk"));
  IniFile ini = saved();
  EXPECT_EQ(ini.readInteger("GPRS0", "Port", -1), 0);
  EXPECT_EQ(ini.readInteger("GPRS0", "SyncP", -1), 0);
  EXPECT_EQ(ini.readInteger("GPRS0", "LifeTime", -1), 7);
  EXPECT_FALSE(ini.hasKey("SiaIp", "Port"));
}

TEST_F(SettingsDialogTest, InsertAndRemoveModuleLines) {
  auto d = open("[GPRS0]\nPort=800\n[GPRS1]\nPort=801\n[GPRS2]\nPort=802\n");
  auto* tabs = child<QTabBar>(*d, "TcInputs");
  tabs->setCurrentIndex(1);
  child<QAction>(*d, "MiRemoveGprs")->trigger();
  EXPECT_EQ(tabTexts(tabs), (QStringList{"Gprs0", "Gprs2", "TcpDrv", "Sia"}));
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(child<QLineEdit>(*d, "EPort")->text(), "800");

  tabs->setCurrentIndex(3);  // Sia stays visible while a line is inserted before it
  child<QAction>(*d, "MiInsertGprs")->trigger();
  EXPECT_EQ(tabTexts(tabs), (QStringList{"Gprs0", "Gprs2", "Gprs3", "TcpDrv", "Sia"}));
  EXPECT_EQ(tabs->currentIndex(), 4);
  click(child<QPushButton>(*d, "BOk"));

  IniFile ini = saved();
  EXPECT_EQ(ini.readInteger("GPRS0", "Port", 0), 800);
  EXPECT_EQ(ini.readInteger("GPRS1", "Port", 0), 802);
  EXPECT_EQ(ini.readInteger("GPRS2", "Port", -1), 0);
  EXPECT_FALSE(ini.hasSection("GPRS3"));
}

TEST_F(SettingsDialogTest, ChannelsAreAddedEditedAndRemoved) {
  auto d = open("[Client0]\nId=A\n[mClient0]\n1=AAAA\n[Client1]\nId=B\n[mClient1]\n1=BBBB\n");
  QStringList answers{"", "Bank"};
  d->setChannelIdPrompt([&]() -> std::optional<QString> { return answers.takeFirst(); });
  auto* list = child<QListWidget>(*d, "LbChannels");
  auto* add = child<QPushButton>(*d, "BAddChannel");
  click(add);  // an empty answer adds nothing
  EXPECT_EQ(list->count(), 2);
  click(add);
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->currentRow(), 2);
  EXPECT_EQ(child<QLineEdit>(*d, "EQSize")->text(), "50");

  list->setCurrentRow(1);
  type(child<QLineEdit>(*d, "EQSize"), "3");
  EXPECT_EQ(child<QLineEdit>(*d, "EQSize")->text(), "10");
  type(child<QLineEdit>(*d, "EHost"), "fw.example");
  type(child<QLineEdit>(*d, "EFwdPort"), "1234");
  list->setCurrentRow(0);
  click(child<QPushButton>(*d, "BRemoveChannel"));
  EXPECT_EQ(list->item(0)->text(), "B");
  EXPECT_EQ(child<QLineEdit>(*d, "EHost")->text(), "fw.example");
  click(child<QPushButton>(*d, "BOk"));

  IniFile ini = saved();
  EXPECT_EQ(ini.readString("Client0", "Id"), "B");
  EXPECT_EQ(ini.readInteger("Client0", "QSize", 0), 10);
  EXPECT_EQ(ini.readString("Client0", "Host"), "fw.example");
  EXPECT_EQ(ini.readInteger("Client0", "Port", 0), 1234);
  EXPECT_EQ(ini.readString("mClient0", "1"), "BBBB");
  EXPECT_EQ(ini.readString("Client1", "Id"), "Bank");
  EXPECT_EQ(ini.readInteger("Client1", "QSize", 0), 50);
  EXPECT_FALSE(ini.hasSection("mClient1"));
}

TEST_F(SettingsDialogTest, SerialOutputFiltersAreEditedInTheFilterDialog) {
  auto d = open("[Com]\nFlt0=12*;555;0;1;2\nFlt1=;;0;0;0\n");
  child<QTabWidget>(*d, "PcOutputs")->setCurrentIndex(1);
  QCoreApplication::processEvents();  // lays the page out, so that its rows have a place
  auto* filters = child<QTreeWidget>(*d, "LvComFilters");
  ASSERT_EQ(filters->topLevelItemCount(), 2);
  EXPECT_EQ(filters->topLevelItem(0)->text(2), "SIA");
  EXPECT_EQ(filters->topLevelItem(0)->text(3), "On");

  // The real filter dialog, driven as the operator would, without its own event loop.
  d->setFilterEditor([&](const tFItem& f) -> std::optional<tFItem> {
    TOutDlg dialog(f, texts);
    type(dialog.phoneEdit(), "777");
    return dialog.filter();
  });
  // A view takes a double click only on the row the button went down on.
  const QPoint row = filters->visualItemRect(filters->topLevelItem(0)).center();
  QTest::mouseClick(filters->viewport(), Qt::LeftButton, {}, row);
  QTest::mouseDClick(filters->viewport(), Qt::LeftButton, {}, row);
  EXPECT_EQ(filters->topLevelItem(0)->text(0), "777");
  EXPECT_EQ(filters->topLevelItem(0)->text(3), "On");

  filters->setCurrentItem(filters->topLevelItem(1));
  QTest::keyClick(filters, Qt::Key_Delete);
  EXPECT_EQ(filters->topLevelItemCount(), 1);
  click(child<QPushButton>(*d, "BAddComFilter"));
  EXPECT_EQ(filters->topLevelItemCount(), 2);

  click(child<QCheckBox>(*d, "ChkComOn"));
  click(child<QPushButton>(*d, "BOk"));
  IniFile ini = saved();
  EXPECT_EQ(ini.readString("Com", "Flt0"), "12*;777;0;1;2");
  EXPECT_EQ(ini.readString("Com", "Flt1"), ";777;0;0;0");
  EXPECT_EQ(ini.readInteger("Out", "ComOn", 0), 1);
}

TEST(FilterDialog, FieldsLimitsAndUntouchedValues) {
  Localisation texts;
  TOutDlg fresh(tFItem{}, texts);
  EXPECT_EQ(fresh.objectName(), "OutDlg");
  EXPECT_EQ(fresh.windowTitle(), "Filter settings");
  EXPECT_EQ(fresh.sourceBox()->currentText(), "GPRS");
  type(fresh.phoneEdit(), "1234567890123456");
  type(fresh.idEdit(), "a;b");
  fresh.sourceBox()->setCurrentIndex(1);
  fresh.acc0Box()->setChecked(true);
  const tFItem f = fresh.filter();
  EXPECT_EQ(f.phoneMask, "123456789012");
  EXPECT_EQ(f.idMask, "ab");  // ";" separates the stored fields
  EXPECT_EQ(f.source, 1);
  EXPECT_EQ(f.acc0, 1);

  const tFItem stored{"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "", 7, 1, 0};
  TOutDlg edit(stored, texts);
  EXPECT_EQ(edit.filter(), stored);
}

TEST_F(SettingsDialogTest, AFailedWriteIsReportedAndLeavesTheFileAlone) {
  const std::string text = "[Out]\nComOn=0\n";
  auto d = open(text);
  ::chmod(file.c_str(), 0444);
  click(child<QCheckBox>(*d, "ChkComOn"));
  click(child<QPushButton>(*d, "BOk"));
  EXPECT_EQ(d->result(), QDialog::Rejected);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains(QString::fromStdString(file.string())))
      << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("read-only")) << messages[0].toStdString();
  EXPECT_EQ(dir.read("ORV_Serv.ini"), text);
}

TEST_F(SettingsDialogTest, RunSettingsEditorReportsWhetherItWrote) {
  const std::string text = "[Out]\nComOn=0\n";
  file = dir.write("ORV_Serv.ini", text);
  whenModal([](QWidget& w) {
    w.findChild<QCheckBox*>("ChkComOn")->setChecked(true);
    click(w.findChild<QPushButton*>("BCancel"));
  });
  EXPECT_FALSE(runSettingsEditor(nullptr, dir.path(), texts));
  EXPECT_EQ(dir.read("ORV_Serv.ini"), text);

  whenModal([](QWidget& w) {
    w.findChild<QCheckBox*>("ChkComOn")->setChecked(true);
    click(w.findChild<QPushButton*>("BOk"));
  });
  EXPECT_TRUE(runSettingsEditor(nullptr, dir.path(), texts));
  EXPECT_EQ(saved().readInteger("Out", "ComOn", 0), 1);
}

TEST_F(SettingsDialogTest, LongCaptionsAreCut) {
  const std::string huge(10000, 'x');
  texts = Localisation(dir.write("Orv_Str.ini", "[DSettings]\nDSettings=" + huge + "\nBOk=" + huge +
                                                    "\nTcpIp=" + huge + "\nMiInsertGprs=" + huge +
                                                    "\n[OutDlg]\nOutDlg=" + huge + "\n"));
  auto d = open("");
  EXPECT_EQ(d->windowTitle().size(), kMaxCaptionLength);
  EXPECT_EQ(child<QPushButton>(*d, "BOk")->text().size(), kMaxCaptionLength);
  EXPECT_EQ(child<QTabWidget>(*d, "PcOutputs")->tabText(0).size(), kMaxCaptionLength);
  EXPECT_EQ(child<QAction>(*d, "MiInsertGprs")->text().size(), kMaxCaptionLength);
  TOutDlg filter(tFItem{}, texts);
  EXPECT_EQ(filter.windowTitle().size(), kMaxCaptionLength);
}

TEST_F(SettingsDialogTest, TheReloadedServerRunsTheNewSettings) {
  const uint16_t outPort = test::freePort();
  const uint16_t drvPort = test::freePort();
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=0\n[Out]\nPort=" + std::to_string(outPort) + "\n");
  MainLoop loop;
  ServerCore core(loop, dir.path());
  testing::internal::CaptureStderr();
  core.start();
  ASSERT_EQ(core.gprsLines().size(), 1u);
  EXPECT_FALSE(core.outputsExist());

  file = dir / "ORV_Serv.ini";
  TDSettings d(file, texts);
  d.setChannelIdPrompt([] { return std::optional<QString>("Bank"); });
  d.show();
  child<QAction>(d, "MiInsertGprs")->trigger();
  click(child<QPushButton>(d, "BAddChannel"));
  child<QTabBar>(d, "TcInputs")->setCurrentIndex(2);  // TcpDrv
  type(child<QLineEdit>(d, "EPort"), QString::number(drvPort));
  type(child<QLineEdit>(d, "EPName"), "drv");
  click(child<QPushButton>(d, "BOk"));
  ASSERT_EQ(d.result(), QDialog::Accepted);

  core.reload();
  EXPECT_EQ(core.gprsLines().size(), 2u);
  ASSERT_NE(core.outputList(), nullptr);
  ASSERT_EQ(core.outputList()->count(), 1u);
  EXPECT_EQ(core.outputList()->items()[0]->id(), "Bank");
  ASSERT_TRUE(core.tcpDrv().has_value());
  EXPECT_EQ(core.tcpDrv()->port, drvPort);
  EXPECT_EQ(core.tcpDrv()->line, 5);
  EXPECT_EQ(core.tcpDrv()->pName, "drv");
  core.shutdown();
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace orv
