#include "server/core/config.h"

#include <gtest/gtest.h>

#include "server/core/gprs_item.h"

namespace orv {
namespace {

TEST(GprsSections, UpperCasedNamesBeginningWithGprsInFileOrder) {
  IniFile ini = IniFile::fromText("[GPRS1]\n[Out]\n[gprs7]\n[xGPRS]\n[GprsLine]\n");
  EXPECT_EQ(gprsSections(ini), (std::vector<std::string>{"GPRS1", "gprs7", "GprsLine"}));
}

TEST(GprsSections, NoneGivesGprs0) {
  EXPECT_EQ(gprsSections(IniFile::fromText("[Out]\nPort=1\n")), std::vector<std::string>{"GPRS0"});
}

TEST(GprsSections, AtMost256Lines) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "[GPRS" + std::to_string(i) + "]\n";
  testing::internal::CaptureStderr();
  std::vector<std::string> sections = gprsSections(IniFile::fromText(text));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sections.size(), kMaxGprsLines);
  EXPECT_EQ(sections.back(), "GPRS255");
  EXPECT_NE(err.find("[GPRS256]"), std::string::npos) << err;
}

TEST(GprsItem, MissingKeysGiveTheDefaults) {
  auto item = readGprsItem(IniFile::fromText(""), "GPRS0", 0);
  EXPECT_EQ(item->line, 0);
  EXPECT_EQ(item->port, 778);
  EXPECT_EQ(item->syncPMs, 60u * 60000u);
  EXPECT_EQ(item->testTimeMs, 5u * 60000u);
  EXPECT_EQ(item->lifeTimeMs, 5u * 60000u);
  EXPECT_EQ(item->cSyncPMs, 60u * 60000u);
  EXPECT_EQ(item->com, 0);
  EXPECT_EQ(item->baud, 9600);
  EXPECT_EQ(item->dataBits, 8);
  EXPECT_EQ(item->parity, 0);
  EXPECT_EQ(item->stopBits, 0);
  EXPECT_EQ(item->flowCtrl, 0);
  EXPECT_FALSE(item->tcpOn);
  EXPECT_EQ(item->tcpPort, 777);
  EXPECT_EQ(item->pName, "");
  EXPECT_FALSE(item->logOn);
}

TEST(GprsItem, ReadsEveryKeyAndConvertsMinutes) {
  IniFile ini = IniFile::fromText(
      "[gprs2]\nPName=North\nLine=11\nPort=800\nSyncP=2\nCom=3\nBaud=115200\nDataBits=7\n"
      "Parity=2\nStopBits=1\nFlowCtrl=2\nTestTime=7\nLifeTime=$A\nCSyncP=3\nTcpOn=1\nLogOn=1\n"
      "TcpPort=8777\n");
  auto item = readGprsItem(ini, "gprs2", 4);
  EXPECT_EQ(item->index, 4u);
  EXPECT_EQ(item->section, "gprs2");
  EXPECT_EQ(item->pName, "North");
  EXPECT_EQ(item->line, 11);
  EXPECT_EQ(item->port, 800);
  EXPECT_EQ(item->syncPMs, 120000u);
  EXPECT_EQ(item->com, 3);
  EXPECT_EQ(item->baud, 115200);
  EXPECT_EQ(item->dataBits, 7);
  EXPECT_EQ(item->parity, 2);
  EXPECT_EQ(item->stopBits, 1);
  EXPECT_EQ(item->flowCtrl, 2);
  EXPECT_EQ(item->testTimeMs, 420000u);
  EXPECT_EQ(item->lifeTimeMs, 600000u);
  EXPECT_EQ(item->cSyncPMs, 180000u);
  EXPECT_TRUE(item->tcpOn);
  EXPECT_TRUE(item->logOn);
  EXPECT_EQ(item->tcpPort, 8777);
}

TEST(GprsItem, OutOfRangeValuesFallBackToTheDefaultWithADiagnostic) {
  IniFile ini = IniFile::fromText("[GPRS0]\nPort=70000\nLine=-1\nLifeTime=100000\nSyncP=abc\n");
  testing::internal::CaptureStderr();
  auto item = readGprsItem(ini, "GPRS0", 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(item->port, 778);
  EXPECT_EQ(item->line, 0);
  EXPECT_EQ(item->lifeTimeMs, 5u * 60000u);
  EXPECT_EQ(item->syncPMs, 60u * 60000u);  // not a number: the default, silently
  EXPECT_NE(err.find("Port=70000"), std::string::npos) << err;
  EXPECT_NE(err.find("LifeTime=100000"), std::string::npos) << err;
  EXPECT_EQ(err.find("SyncP"), std::string::npos) << err;
}

TEST(InputSettings, PresentOnlyWithAPortKey) {
  IniFile ini = IniFile::fromText("[TcpDrv]\nLine=4\n[SiaIp]\nPort=910\n");
  InputSettings tcp = readInputSettings(ini, "TcpDrv");
  EXPECT_FALSE(tcp.present);
  InputSettings sia = readInputSettings(ini, "SiaIp");
  EXPECT_TRUE(sia.present);
  EXPECT_EQ(sia.port, 910);
  EXPECT_EQ(sia.line, 1);  // start-up's default, not the settings dialog's
  EXPECT_EQ(sia.lifeTimeMinutes, 20);
  EXPECT_EQ(sia.pName, "");
}

TEST(OutSettings, Defaults) {
  OutSettings out = readOutSettings(IniFile::fromText(""));
  EXPECT_FALSE(out.comOn);
  EXPECT_EQ(out.port, 950);
  EXPECT_EQ(out.host, "localhost");
  EXPECT_EQ(out.com, 0);
  EXPECT_EQ(out.baud, 38400);
  EXPECT_EQ(out.dataBits, 8);
  EXPECT_EQ(out.syncPMinutes, 60);
}

TEST(OtherSections, DefaultsAndLists) {
  IniFile empty = IniFile::fromText("");
  EXPECT_EQ(readSmsPort(empty), 911);
  EXPECT_TRUE(readOptions(empty).uFl);
  EXPECT_EQ(readOptions(empty).rAcc, 65535);
  SockSettings sock = readSockSettings(empty);
  EXPECT_EQ(sock.tOutMs, 60000u);
  EXPECT_EQ(sock.cmdDelayMs, 1000u);
  EXPECT_EQ(sock.loadeeDelayMs, 5000u);
  EXPECT_EQ(readStartCommands(empty), std::vector<std::string>{"99.c3"});

  IniFile ini =
      IniFile::fromText("[StartCmd]\nb=mode?\na=lcfg\n[Sock]\nTOut=0\n[Options]\nU_Fl=0\n");
  EXPECT_EQ(readStartCommands(ini), (std::vector<std::string>{"mode?", "lcfg", "99.c3"}));
  EXPECT_EQ(readSockSettings(ini).tOutMs, 0u);
  EXPECT_FALSE(readOptions(ini).uFl);
}

}  // namespace
}  // namespace orv
