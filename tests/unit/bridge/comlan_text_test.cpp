#include "bridge/comlan_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace orv {
namespace {

TEST(ComlanText, DateSuffixIsCutOnlyFromLongerLinesWithTheSlot) {
  EXPECT_EQ(stripDateSuffix("5011 181234E1300101510:11:12-08/12"), "5011 181234E13001015");
  // Exactly 20 characters are never cut, whatever they end with.
  EXPECT_EQ(stripDateSuffix("5011 181234E13001/15"), "5011 181234E13001/15");
  EXPECT_EQ(stripDateSuffix("12345678901234567/90"), "12345678901234567/90");
  // 21 characters with the "/" in place lose 14.
  EXPECT_EQ(stripDateSuffix("123456789012345678/01"), "1234567");
  // No "/" third from the end: kept whole.
  EXPECT_EQ(stripDateSuffix("5011 181234E1300101510:11:12-08-12"),
            "5011 181234E1300101510:11:12-08-12");
  EXPECT_EQ(stripDateSuffix(""), "");
  EXPECT_EQ(stripDateSuffix("/"), "/");
}

TEST(ComlanText, TestLineIsTwentyCharactersWithTheAtInColumnFifteen) {
  EXPECT_EQ(kTestLine.size(), 20u);
  EXPECT_EQ(std::string(kTestLine), "1011" + std::string(11, ' ') + "@" + std::string(4, ' '));
}

TEST(ComlanText, DayNumberTextAcceptsWholeNumbersOnly) {
  EXPECT_EQ(dayNumberTextError("46001.5"), 0);
  EXPECT_EQ(dayNumberTextError("46001"), 0);
  EXPECT_EQ(dayNumberTextError("4.60015e4"), 0);
  EXPECT_EQ(dayNumberTextError("+46001.25"), 0);

  // The position of the first character that does not belong.
  EXPECT_EQ(dayNumberTextError("46001,5"), 6);  // a comma locale's separator
  EXPECT_EQ(dayNumberTextError("46001.5x"), 8);
  EXPECT_EQ(dayNumberTextError("46001.5 "), 8);
  EXPECT_EQ(dayNumberTextError(" 46001.5"), 1);
  EXPECT_EQ(dayNumberTextError(""), 1);
  EXPECT_EQ(dayNumberTextError("-"), 2);
  EXPECT_EQ(dayNumberTextError("."), 2);
  EXPECT_EQ(dayNumberTextError("1e"), 3);
  EXPECT_EQ(dayNumberTextError("1e+"), 4);
  EXPECT_EQ(dayNumberTextError("NaN"), 1);
  EXPECT_EQ(dayNumberTextError("nan"), 1);
  EXPECT_EQ(dayNumberTextError("inf"), 1);
  EXPECT_EQ(dayNumberTextError("-inf"), 2);
  EXPECT_EQ(dayNumberTextError("0x1p4"), 2);
  EXPECT_EQ(dayNumberTextError(std::string("46001\0", 6)), 6);

  // Well formed but no real date: rejected as a whole.
  EXPECT_EQ(dayNumberTextError(std::string(100, '9')), 1);
  EXPECT_EQ(dayNumberTextError("1e400"), 1);
  EXPECT_EQ(dayNumberTextError("-700000"), 1);
  EXPECT_EQ(dayNumberTextError("3000000"), 1);
}

TEST(ComlanText, TextAreaCutsToTheLastNinetyNineAfterOneHundredFifty) {
  TextAreaModel area;
  for (int i = 1; i <= 150; ++i) area.append("line " + std::to_string(i));
  EXPECT_EQ(area.lines().size(), 150u);
  area.append("line 151");
  std::vector<std::string> lines = area.lines();
  ASSERT_EQ(lines.size(), 99u);
  EXPECT_EQ(lines.front(), "line 53");
  EXPECT_EQ(lines.back(), "line 151");
  EXPECT_EQ(area.version(), 151u);
}

TEST(ComlanText, SettingsReadTheirDefaultsAndSurviveABrokenFile) {
  ComlanSettings defaults = ComlanSettings::load(IniFile::fromText(""));
  EXPECT_EQ(defaults.com, 1);
  EXPECT_EQ(defaults.baudRate, 9600);
  EXPECT_EQ(defaults.dataBits, 8);
  EXPECT_EQ(defaults.parity, 0);
  EXPECT_EQ(defaults.stopBits, 0);
  EXPECT_EQ(defaults.host, "localhost");
  EXPECT_EQ(defaults.tcpPort, 910);
  EXPECT_EQ(defaults.id, "");
  EXPECT_FALSE(defaults.syncFl);
  EXPECT_TRUE(defaults.removeDt);

  using namespace std::string_literals;
  std::string binary =
      "[Com]\nPort=\x01\xff\x00zz\n[TCP]\nPort=9x\nHost=\xfe\xfd\n[Opt]\nRemoveDt=7\n"s;
  binary += std::string(1000, '\0');
  ComlanSettings broken = ComlanSettings::load(IniFile::fromText(binary));
  EXPECT_EQ(broken.com, 1);
  EXPECT_EQ(broken.tcpPort, 910);
  EXPECT_TRUE(broken.removeDt);  // any non-zero value
  EXPECT_FALSE(ComlanSettings::load(IniFile::fromText("[Opt]\nRemoveDt=0\n")).removeDt);
}

TEST(ComlanText, SettingsRewriteKeepsEveryOtherLine) {
  test::TempDir dir;
  const auto file = dir.write("Comlan.ini",
                              "; bridge of the night shift\n"
                              "[Com]\nPort=1\nParity=2\n"
                              "[Ports]\nCOM12=/dev/ttyUSB0\n"
                              "[Opt]\nRemoveDt=0\n"
                              "[Other]\nKey=kept\n");
  IniFile ini(file);
  ComlanSettings s = ComlanSettings::load(ini);
  s.com = *comEntryNumber("COM12");
  s.baudRate = 19200;
  s.dataBits = 3;  // below the dialog's range
  s.stopBits = 9;
  s.host = "10.0.0.7";
  s.tcpPort = 9100;
  s.id = "Bank";
  s.syncFl = true;
  writeComlanSettings(ini, s);
  ASSERT_TRUE(ini.save());

  const std::string text = dir.read("Comlan.ini");
  EXPECT_NE(text.find("; bridge of the night shift\n"), std::string::npos);
  EXPECT_NE(text.find("COM12=/dev/ttyUSB0\n"), std::string::npos);
  EXPECT_NE(text.find("[Other]\nKey=kept\n"), std::string::npos);

  IniFile reread(file);
  ComlanSettings back = ComlanSettings::load(reread);
  EXPECT_EQ(back.com, 12);
  EXPECT_EQ(back.baudRate, 19200);
  EXPECT_EQ(back.dataBits, 4);
  EXPECT_EQ(back.stopBits, 2);
  EXPECT_EQ(back.parity, 2);  // not the dialog's
  EXPECT_FALSE(back.removeDt);
  EXPECT_EQ(back.host, "10.0.0.7");
  EXPECT_EQ(back.tcpPort, 9100);
  EXPECT_EQ(back.id, "Bank");
  EXPECT_TRUE(back.syncFl);
}

TEST(ComlanText, PortEntriesAndCaption) {
  EXPECT_EQ(comEntryNumber("COM12"), 12);
  EXPECT_EQ(comEntryNumber("COM1"), 1);
  EXPECT_EQ(comEntryNumber("com3"), 3);
  EXPECT_EQ(comEntryNumber("COM"), std::nullopt);
  EXPECT_EQ(comEntryNumber("COM1x"), std::nullopt);
  EXPECT_EQ(comEntryNumber("LPT1"), std::nullopt);
  EXPECT_EQ(comEntryNumber("COM99999999999"), std::nullopt);

  ComlanSettings s;
  EXPECT_EQ(comlanCaption(s), "Comlan  Port=910 host=localhost");
  s.tcpPort = 9100;
  s.host = "10.0.0.7";
  EXPECT_EQ(comlanCaption(s), "Comlan  Port=9100 host=10.0.0.7");
}

}  // namespace
}  // namespace orv
