#include "server/core/server_core.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <filesystem>

#include "common/line_socket.h"
#include "common/main_loop.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "server/core/version.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

// Records what the core asked the window to show.
struct RecordingView : StatusView {
  std::vector<std::string> calls;
  std::string counter;
  std::string name;
  void setLineRowCount(size_t line, size_t rows) override {
    calls.push_back("rows " + std::to_string(line) + "=" + std::to_string(rows));
  }
  void repaintLine(size_t line) override { calls.push_back("line " + std::to_string(line)); }
  void repaintOutputs() override { calls.push_back("outputs"); }
  void repaintSia() override { calls.push_back("sia"); }
  void setConnectionCounter(const std::string& text) override { counter = text; }
  void setNameField(const std::string& text) override { name = text; }
  void setSmsCounter(const std::string& text) override { sms = text; }
  std::string sms;
};

class ServerCoreTest : public testing::Test {
 protected:
  void startWith(std::string_view ini) {
    if (!ini.empty()) dir.write("ORV_Serv.ini", ini);
    core = std::make_unique<ServerCore>(loop, dir.path(), &view);
    testing::internal::CaptureStderr();
    core->start();
    startupLog = testing::internal::GetCapturedStderr();
  }
  void TearDown() override {
    if (core) {
      testing::internal::CaptureStderr();
      core.reset();
      testing::internal::GetCapturedStderr();
    }
  }

  test::TempDir dir;
  MainLoop loop;
  RecordingView view;
  std::unique_ptr<ServerCore> core;
  std::string startupLog;
};

TEST_F(ServerCoreTest, MissingIniGivesOneDefaultLineGprs0) {
  startWith("");
  ASSERT_EQ(core->gprsLines().size(), 1u);
  const tGprsItem& line = *core->gprsLines()[0];
  EXPECT_EQ(line.section, "GPRS0");
  EXPECT_EQ(line.port, 778);
  EXPECT_EQ(line.lifeTimeMs, 300000u);
  EXPECT_FALSE(core->outputsExist());
  EXPECT_FALSE(core->tcpDrv().has_value());
  EXPECT_FALSE(core->sia().has_value());
  ASSERT_EQ(core->pages().size(), 1u);
  EXPECT_EQ(core->pages()[0].caption, "GPRS0");
  EXPECT_TRUE(core->timerEnabled());
  EXPECT_NE(startupLog.find("not found"), std::string::npos) << startupLog;
  EXPECT_NE(startupLog.find("GPRS line 0 [GPRS0]"), std::string::npos) << startupLog;
}

TEST_F(ServerCoreTest, LinesAreNumberedInFileOrderWithTheirLogDirectories) {
  startWith("[GPRS1]\nLogOn=1\nPName=first\nPort=0\n[Out]\n[gprs7]\nLogOn=1\nPort=0\n");
  ASSERT_EQ(core->gprsLines().size(), 2u);
  EXPECT_EQ(core->gprsLines()[0]->index, 0u);
  EXPECT_EQ(core->gprsLines()[0]->section, "GPRS1");
  EXPECT_EQ(core->gprsLines()[1]->index, 1u);
  EXPECT_EQ(core->gprsLines()[1]->section, "gprs7");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Orv_Serv0"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Orv_Serv1"));
  ASSERT_EQ(core->pages().size(), 2u);
  EXPECT_EQ(core->pages()[1].caption, "gprs7");
  // The first page is active after start-up.
  EXPECT_EQ(core->activePage(), 0u);
  EXPECT_EQ(view.name, "first");
  EXPECT_EQ(view.counter, "OnLine 0");
}

TEST_F(ServerCoreTest, NoLogDirectoryWithoutLogOn) {
  startWith("[GPRS0]\nPort=0\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "Orv_Serv0"));
}

TEST_F(ServerCoreTest, ALineWithoutModulePortShowsOnLine0) {
  startWith("[GPRS0]\nPort=0\n[GPRS1]\nPort=0\nPName=quiet\n");
  view.counter.clear();
  core->selectPage(1);
  EXPECT_EQ(view.counter, "OnLine 0");
  EXPECT_EQ(view.name, "quiet");
}

TEST_F(ServerCoreTest, OutputItemsAndInputPages) {
  startWith(
      "[GPRS0]\nPort=0\n[Out]\nComOn=1\n[Clients]\nId=Plural\n[Client0]\nId=Bank\n"
      "[TcpDrv]\nPort=0\nPName=drv\n[SiaIp]\nPort=0\n");
  ASSERT_TRUE(core->outputsExist());
  ASSERT_EQ(core->outputList()->count(), 3u);
  EXPECT_EQ(core->outputList()->items()[0]->id(), "Com");
  EXPECT_EQ(core->outputList()->items()[1]->id(), "Plural");
  EXPECT_EQ(core->outputList()->items()[2]->id(), "Bank");
  ASSERT_TRUE(core->tcpDrv().has_value());
  EXPECT_EQ(core->tcpDrv()->line, 1);
  ASSERT_EQ(core->pages().size(), 3u);
  EXPECT_EQ(core->pages()[1].kind, Page::Kind::TcpDrv);
  EXPECT_EQ(core->pages()[2].kind, Page::Kind::Sia);
  core->selectPage(1);
  EXPECT_EQ(view.name, "drv");
}

TEST_F(ServerCoreTest, CaptionIsTheLocalisedTextFollowedByTheVersion) {
  // Values are trimmed, so a caption that wants its space before the version quotes it.
  dir.write("Orv_Str.ini", "[FORVs]\nFORVs=\"ORV Server \"\nBCmd=Commands\n");
  startWith("[GPRS0]\nPort=0\n");
  EXPECT_EQ(core->caption(), "ORV Server " + versionText());
  EXPECT_EQ(core->localisation().captions("FORVs").size(), 2u);
}

TEST_F(ServerCoreTest, CaptionWithoutLocalisationIsTheVersionAlone) {
  startWith("[GPRS0]\nPort=0\n");
  EXPECT_EQ(core->caption(), versionText());
  EXPECT_TRUE(versionText().starts_with("v"));
}

TEST_F(ServerCoreTest, TickRepaintsFlaggedLinesAndClearsTheFlags) {
  startWith("[GPRS0]\nTcpOn=1\nPort=0\n[GPRS1]\nTcpOn=1\nPort=0\n");
  core->tick();  // nothing flagged yet: lines reached over TCP set no flag at start
  EXPECT_TRUE(view.calls.empty());

  core->gprsLines()[1]->rowChanged = 1;
  core->gprsLines()[0]->rowsChanged = 1;
  core->siaViewChanged = 1;
  core->tick();
  EXPECT_EQ(view.calls, (std::vector<std::string>{"rows 0=0", "line 0", "outputs", "line 1",
                                                  "outputs", "sia"}));
  EXPECT_EQ(core->gprsLines()[1]->rowChanged, 0);
  EXPECT_EQ(core->gprsLines()[0]->rowsChanged, 0);
  EXPECT_EQ(core->siaViewChanged, 0);

  view.calls.clear();
  core->tick();
  EXPECT_TRUE(view.calls.empty());
  core->outputsChanged = 1;
  core->tick();
  EXPECT_EQ(view.calls, std::vector<std::string>{"outputs"});
}

TEST_F(ServerCoreTest, SerialLinesAskForARecountAtStart) {
  startWith("[GPRS0]\nPort=0\n");
  EXPECT_EQ(core->gprsLines()[0]->rowsChanged, 1);
}

TEST_F(ServerCoreTest, ReloadReadsTheFileAgain) {
  startWith("[GPRS0]\nPort=0\n[Client0]\nId=Bank\n");
  dir.write("ORV_Serv.ini",
            "[GPRS0]\nPort=0\n[GPRS1]\nPort=0\n[GPRS2]\nPort=0\n[TcpDrv]\nPort=0\n");
  testing::internal::CaptureStderr();
  core->reload();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(core->gprsLines().size(), 3u);
  EXPECT_FALSE(core->outputsExist());
  EXPECT_TRUE(core->tcpDrv().has_value());
  EXPECT_EQ(core->pages().size(), 4u);
  EXPECT_TRUE(core->timerEnabled());
  EXPECT_NE(log.find("configuration reloaded"), std::string::npos) << log;
}

TEST_F(ServerCoreTest, ShutdownStopsTheTimerOnceAndSoundsTheEndBeep) {
  startWith("[GPRS0]\nPort=0\n");
  testing::internal::CaptureStderr();
  core->shutdown();
  core->shutdown();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(core->timerEnabled());
  EXPECT_FALSE(core->running());
  EXPECT_TRUE(core->gprsLines().empty());
  EXPECT_EQ(log.find("beep 500 Hz 100 ms"), log.rfind("beep 500 Hz 100 ms")) << log;
  EXPECT_NE(log.find("beep 500 Hz 100 ms"), std::string::npos) << log;
  // A tick that was already queued does nothing once the lines are gone.
  core->gprsLines();
  view.calls.clear();
  core->tick();
  EXPECT_TRUE(view.calls.empty());
}

TEST_F(ServerCoreTest, ASerialDeviceIsTheLinesFirstRowAndOpensTheSmsPort) {
  int master = -1, slave = -1;
  char pty[256];
  ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
  UniqueFd masterFd(master), slaveFd(slave);
  startWith("[Ports]\nCOM4=" + std::string(pty) +
            "\n[GPRS0]\nPort=0\nCom=4\n[GPRS1]\nPort=0\nTcpOn=1\nTcpPort=0\n[Sms]\nPort=0\n");
  ASSERT_EQ(core->gprsLines().size(), 2u);
  const tGprsItem& serial = *core->gprsLines()[0];
  ASSERT_TRUE(serial.hasDevice()) << startupLog;
  EXPECT_FALSE(core->gprsLines()[1]->hasDevice()) << "TcpPort=0: no device listener";
  core->tick();
  EXPECT_EQ(core->statusRowCount(serial), 1u);
  EXPECT_EQ(view.counter, "OnLine 1");
  std::vector<ModuleRow> rows = core->lineRows(serial);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "Com");
  EXPECT_EQ(rows[0].acc, "7777");
  EXPECT_EQ(rows[0].ip, "Com");
  EXPECT_EQ(rows[0].mcnt, "0");
  EXPECT_EQ(rows[0].lastMessage, " ");
  EXPECT_EQ(rows[0].nr, "2");

  // The SMS port came with the serial device; its client count reaches the window.
  ASSERT_TRUE(core->smsServer() && core->smsServer()->listening());
  LineSocket client;
  ASSERT_EQ(client.connect("127.0.0.1", core->smsServer()->port(), 10000), 0);
  std::string banner;
  ASSERT_EQ(client.receiveLine(banner, LineEnd::CrLf, 10000), 0);
  for (uint32_t t = ticks(); view.sms != "SMS 1" && ticksSince(t) < 10000u; usleep(10000))
    core->tick();
  EXPECT_EQ(view.sms, "SMS 1");
}

}  // namespace
}  // namespace orv
