#include "server/outputs/settings_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "server/outputs/line_template.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

// Loads the text, lets `edit` change the copies, and returns the rewritten file.
template <typename Edit>
IniFile rewrite(std::string_view text, Edit edit) {
  IniFile ini = IniFile::fromText(text);
  SettingsModel model = SettingsModel::load(ini);
  edit(model);
  model.apply(ini);
  return ini;
}

IniFile rewrite(std::string_view text) {
  return rewrite(text, [](SettingsModel&) {});
}

TEST(SettingsFields, NumbersWithLettersAreZero) {
  EXPECT_EQ(numberField(" 42 "), 42);
  EXPECT_EQ(numberField("$10"), 16);
  EXPECT_EQ(numberField("12a"), 0);
  EXPECT_EQ(numberField(""), 0);
  EXPECT_EQ(numberField("99999999999"), 0);
}

TEST(SettingsFields, HhmmRoundsToMinutesAndInvalidIsZero) {
  EXPECT_EQ(hhmmText(60), "01:00");
  EXPECT_EQ(hhmmText(5), "00:05");
  EXPECT_EQ(hhmmMinutes("01:00"), 60);
  EXPECT_EQ(hhmmMinutes("1:05"), 65);
  EXPECT_EQ(hhmmMinutes("00:01:30"), 2);
  EXPECT_EQ(hhmmMinutes("00:01:29"), 1);
  for (const char* bad : {"", "1", "01:60", "ab:cd", "01:00x", "01::00", "-1:00", "00:00:60"}) {
    EXPECT_EQ(hhmmMinutes(bad), 0) << bad;
  }
}

TEST(SettingsFields, IntervalsOfADayOrMoreSurviveTheRoundTrip) {
  EXPECT_EQ(hhmmText(1500), "25:00");
  EXPECT_EQ(hhmmMinutes(hhmmText(1500)), 1500);
  EXPECT_EQ(hhmmMinutes(hhmmText(71582)), 71582);
}

TEST(SettingsFields, ChoicesOutsideTheListsKeepTheStoredValue) {
  SerialChoice serial{.com = 3, .baud = 250000, .dataBits = 8, .parity = 4};
  SerialFields f = serialFields(serial);
  EXPECT_EQ(f.dataBits, 4);
  EXPECT_EQ(f.parity, -1);
  storeSerialFields(serial, f);
  EXPECT_EQ(serial.parity, 4);
  EXPECT_EQ(serial.baud, 250000);
  f.com = "COM12";
  f.dataBits = 3;
  storeSerialFields(serial, f);
  EXPECT_EQ(serial.com, 12);
  EXPECT_EQ(serial.dataBits, 7);
}

TEST(SettingsFields, QueueSizeBelowTenIsTen) {
  tEItem item;
  storeChannelFields(item, {"3", " host ", "abc"});
  EXPECT_EQ(item.qSize, 10);
  EXPECT_EQ(item.host, "host");
  EXPECT_EQ(item.port, 0);
}

TEST(SettingsRewrite, GprsSectionsAreRenumberedWithAllKeysInOrder) {
  IniFile ini = rewrite("[GPRS7]\nPort=800\n");
  EXPECT_FALSE(ini.hasSection("GPRS7"));
  std::vector<std::string> expected = {
      "PName",    "Line",     "Port",     "SyncP",    "Com",    "Baud",  "DataBits", "Parity",
      "StopBits", "FlowCtrl", "TestTime", "LifeTime", "CSyncP", "TcpOn", "LogOn",    "TcpPort"};
  EXPECT_EQ(ini.keys("GPRS0"), expected);
  EXPECT_EQ(ini.readInteger("GPRS0", "Port", 0), 800);
  EXPECT_EQ(ini.readInteger("GPRS0", "SyncP", 0), 60);
  EXPECT_EQ(ini.readInteger("GPRS0", "LifeTime", 0), 5);
  EXPECT_EQ(ini.readInteger("GPRS0", "TcpPort", 0), 777);
}

TEST(SettingsRewrite, RemovingTheSecondOfThreeLinesKeepsOrderAndOwnKeys) {
  IniFile ini = rewrite(
      "[GPRS0]\nPort=800\n[GPRS1]\nPort=801\n[GPRS2]\nPort=802\nMaxConnections=7\nAllow=10.0.0.0/"
      "8\n",
      [](SettingsModel& m) { m.removeLine(1); });
  EXPECT_FALSE(ini.hasSection("GPRS2"));
  EXPECT_EQ(ini.readInteger("GPRS0", "Port", 0), 800);
  EXPECT_EQ(ini.readInteger("GPRS1", "Port", 0), 802);
  EXPECT_EQ(ini.readInteger("GPRS1", "MaxConnections", 0), 7);
  EXPECT_EQ(ini.readString("GPRS1", "Allow"), "10.0.0.0/8");
}

TEST(SettingsRewrite, FixedInputsTakeTheEditorsDefaultsAndPortZeroSwitchesThemOff) {
  IniFile ini = rewrite("[TcpDrv]\nPort=910\n[SiaIp]\nPort=920\nUdp=1\nTimeBehind=30\n",
                        [](SettingsModel& m) { m.sia.port = 0; });
  EXPECT_EQ(ini.readInteger("TcpDrv", "Line", 0), 5);
  EXPECT_EQ(ini.readInteger("TcpDrv", "LifeTime", 0), 20);
  EXPECT_FALSE(ini.hasKey("SiaIp", "Port"));
  EXPECT_EQ(ini.readInteger("SiaIp", "Udp", 0), 1);
  EXPECT_EQ(ini.readInteger("SiaIp", "TimeBehind", 0), 30);

  IniFile off = rewrite("[TcpDrv]\nPort=910\n", [](SettingsModel& m) { m.tcpDrv.port = 0; });
  EXPECT_FALSE(off.hasSection("TcpDrv"));
  EXPECT_FALSE(rewrite("").hasSection("SiaIp"));
}

TEST(SettingsRewrite, ChannelsAreWrittenWithTheirFiltersAndForwarding) {
  IniFile ini =
      rewrite("[Client0]\nId=Bank\nQSize=30\nHost=h\nPort=1000\nFlt0=12*;;0;1;0\nPerAddress=3\n",
              [](SettingsModel& m) {
                m.addChannel("  New ");
                m.addChannel("   ");
                m.channels[0].filters.push_back(tFItem{"AB", "", 0, 0, 1});
              });
  EXPECT_EQ(ini.readString("Client0", "Id"), "Bank");
  EXPECT_EQ(ini.readInteger("Client0", "QSize", 0), 30);
  EXPECT_EQ(ini.readString("Client0", "Host"), "h");
  EXPECT_EQ(ini.readString("Client0", "Flt0"), "12*;;0;1;0");
  EXPECT_EQ(ini.readString("Client0", "Flt1"), "AB;;0;0;1");
  EXPECT_EQ(ini.readInteger("Client0", "PerAddress", 0), 3);
  EXPECT_EQ(ini.keys("Client1"), (std::vector<std::string>{"Id", "QSize"}));
  EXPECT_EQ(ini.readString("Client1", "Id"), "New");
  EXPECT_EQ(ini.readInteger("Client1", "QSize", 0), 50);
  EXPECT_FALSE(ini.hasSection("Client2"));
}

TEST(SettingsRewrite, ComItemKeepsForwardingAndStoresAtLeastTen) {
  IniFile ini =
      rewrite("[Com]\nQSize=40\nHost=fw\nPort=999\nFlt0=;12;0;1;0\n", [](SettingsModel& m) {
        storeChannelFields(m.com, {"3", "", ""});
        m.com.filters[0].phoneMask = "34";
      });
  EXPECT_EQ(ini.readInteger("Com", "QSize", 0), 10);
  EXPECT_EQ(ini.readString("Com", "Host"), "fw");
  EXPECT_EQ(ini.readInteger("Com", "Port", 0), 999);
  EXPECT_EQ(ini.readString("Com", "Flt0"), ";34;0;1;0");
  EXPECT_EQ(ini.readInteger("Com", "DtFlag", 0), 1);
}

TEST(SettingsRewrite, TemplateSectionsFollowTheirChannels) {
  const std::string text =
      "[Client0]\nId=A\n[mClient0]\n1=AAAA\n"
      "[Client1]\nId=B\n[mClient1]\n1=BBBB\n"
      "[Client2]\nId=C\n"
      "[mCom]\n1=CCCC\n";
  IniFile ini = rewrite(text, [](SettingsModel& m) { m.removeChannel(0); });
  EXPECT_EQ(ini.readString("Client0", "Id"), "B");
  EXPECT_EQ(ini.readString("mClient0", "1"), "BBBB");
  EXPECT_EQ(ini.readString("Client1", "Id"), "C");
  EXPECT_EQ(ini.readString("mCom", "1"), "CCCC");
  EXPECT_FALSE(ini.hasSection("Client2"));
  EXPECT_FALSE(ini.hasSection("mClient2"));
  // Client0 has defaults of its own: B keeps the ones it had as Client1, and C (without a
  // template section) those it had as Client2.
  const IniFile before = IniFile::fromText(text);
  for (int slot : LineTemplates::kSlots) {
    EXPECT_EQ(*LineTemplates::load(ini, "Client0").slot(slot),
              *LineTemplates::load(before, "Client1").slot(slot))
        << slot;
    EXPECT_EQ(*LineTemplates::load(ini, "Client1").slot(slot),
              *LineTemplates::load(before, "Client2").slot(slot))
        << slot;
  }
}

TEST(SettingsRewrite, RemovedChannelsTemplatesGoWithIt) {
  IniFile ini = rewrite("[Client0]\nId=A\n[Client1]\nId=B\n[mClient1]\n1=BBBB\n",
                        [](SettingsModel& m) { m.removeChannel(1); });
  EXPECT_FALSE(ini.hasSection("mClient1"));
  EXPECT_FALSE(ini.hasSection("mClient0"));
}

TEST(SettingsRewrite, KeysAndSectionsTheEditorDoesNotOwnStay) {
  const std::string text =
      "; site configuration\n"
      "[Out]\nHost=example\nMode=1\nPort=951\n"
      "[Options]\nRAcc=17\nDurable=0\n"
      "[CList]\n1=10.0.0.1\n"
      "[Custom]\nKey=Value\n";
  IniFile ini = rewrite(text, [](SettingsModel& m) {
    m.comOn = true;
    m.outSyncMinutes = hhmmMinutes("02:30");
  });
  EXPECT_EQ(ini.text().rfind("; site configuration\n", 0), 0u);
  EXPECT_EQ(ini.readString("Out", "Host"), "example");
  EXPECT_EQ(ini.readInteger("Out", "Mode", 0), 1);
  EXPECT_EQ(ini.readInteger("Out", "Port", 0), 951);
  EXPECT_EQ(ini.readInteger("Out", "ComOn", 0), 1);
  EXPECT_EQ(ini.readInteger("Out", "SyncP", 0), 150);
  EXPECT_EQ(ini.readInteger("Out", "Com", 0), 1);  // the editor's default port
  EXPECT_EQ(ini.readInteger("Options", "RAcc", 0), 17);
  EXPECT_EQ(ini.readInteger("Options", "Durable", 1), 0);
  EXPECT_EQ(ini.readInteger("Options", "U_Fl", 0), 1);
  EXPECT_EQ(ini.readString("CList", "1"), "10.0.0.1");
  EXPECT_EQ(ini.readString("Custom", "Key"), "Value");
  EXPECT_EQ(ini.readInteger("Sms", "Port", 0), 911);
}

TEST(SettingsRewrite, ComPortListKeepsAPortTheSettingsName) {
  SettingsModel m = SettingsModel::load(IniFile::fromText("[Out]\nCom=42\n"));
  std::vector<std::string> names = comPortNames(IniFile::fromText(""), m);
  EXPECT_EQ(names.front(), "COM0");
  EXPECT_NE(std::find(names.begin(), names.end(), "COM42"), names.end());
}

TEST(SettingsSave, WritesOnceAndKeepsTheFileMode) {
  test::TempDir dir;
  const auto file = dir.write("ORV_Serv.ini", "[Custom]\nA=1\n");
  ::chmod(file.c_str(), 0600);
  SettingsModel m = SettingsModel::load(IniFile(file));
  m.comOn = true;
  EXPECT_EQ(saveSettings(m, file), std::nullopt);
  IniFile saved(file);
  EXPECT_EQ(saved.readInteger("Out", "ComOn", 0), 1);
  EXPECT_EQ(saved.readInteger("Custom", "A", 0), 1);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(dir / "ORV_Serv.ini.tmp"));
}

TEST(SettingsSave, ReadOnlyFileOrUnwritableDirectoryIsLeftAlone) {
  test::TempDir dir;
  const std::string text = "[Out]\nComOn=0\n";
  const auto file = dir.write("ORV_Serv.ini", text);
  SettingsModel m = SettingsModel::load(IniFile(file));
  m.comOn = true;

  ::chmod(file.c_str(), 0444);
  std::optional<std::string> error = saveSettings(m, file);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("read-only"), std::string::npos) << *error;
  EXPECT_EQ(dir.read("ORV_Serv.ini"), text);

  // A directory in the temporary file's place stands for a directory that takes no new file.
  ::chmod(file.c_str(), 0644);
  std::filesystem::create_directory(dir / "ORV_Serv.ini.tmp");
  error = saveSettings(m, file);
  ASSERT_TRUE(error);
  EXPECT_EQ(dir.read("ORV_Serv.ini"), text);
}

}  // namespace
}  // namespace orv
