#include "server/outputs/line_template.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

std::string expandDefault(std::string_view section, int slot, char digit, std::string_view account,
                          std::string_view body) {
  LineTemplates t = LineTemplates::load(IniFile::fromText(""), section);
  return LineTemplates::expand(*t.slot(slot), digit, account, body);
}

TEST(LineTemplate, CompileTurnsAccountAndBodyReferencesIntoBytes) {
  EXPECT_EQ(LineTemplates::compile("50$1#1#9s"), std::string("50\xFF") + "1\x01\x09s");
  // "#" without a digit 1-9 after it stays as it is; "#0" would put a NUL into the line.
  EXPECT_EQ(LineTemplates::compile("ab#"), "ab#");
  EXPECT_EQ(LineTemplates::compile("ab#0#x"), "ab#0#x");
  EXPECT_EQ(LineTemplates::compile("##1"), std::string("#\x01"));
}

TEST(LineTemplate, DefaultSetsBySection) {
  EXPECT_EQ(LineTemplates::defaultText("Com", 1), "5011s18$ss#1#2sssss");
  EXPECT_EQ(LineTemplates::defaultText("Client0", 3), "5011s18$#1#2#3#4#5#6sss");
  EXPECT_EQ(LineTemplates::defaultText("Client1", 3), "5011 18$ss#1#2#5#6s#3#4");
  EXPECT_EQ(LineTemplates::defaultText("Clients", 2), "5011 18$ss#1#2sss#3#4");
  EXPECT_EQ(LineTemplates::defaultText("Client1", 7), "5011 18$R#1#2#3#4#5#6#7#8");
  EXPECT_TRUE(LineTemplates::defaultText("Client1", 4).empty());
}

TEST(LineTemplate, ExpandsEverySlotOfBothDefaultSets) {
  const std::string_view body = "1234,ABCDEFGH";
  struct Case {
    std::string_view section;
    int slot;
    std::string_view expected;
  };
  const Case cases[] = {
      {"Com", 0, "5012 181234  AB     "},     {"Com", 1, "5012 181234  AB     "},
      {"Com", 2, "5012 181234ABCD     "},     {"Com", 3, "5012 181234ABCDEF   "},
      {"Com", 6, "5012 181234EABCDEFGH"},     {"Com", 7, "5012 181234RABCDEFGH"},
      {"Client5", 0, "5012 181234  AB     "}, {"Client5", 1, "5012 181234  AB     "},
      {"Client5", 2, "5012 181234  AB   CD"}, {"Client5", 3, "5012 181234  ABEF CD"},
      {"Client5", 6, "5012 181234EABCDEFGH"}, {"Client5", 7, "5012 181234RABCDEFGH"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expandDefault(c.section, c.slot, '2', "1234", body), c.expected)
        << c.section << " slot " << c.slot;
  }
}

TEST(LineTemplate, TheWorkedExamples) {
  EXPECT_EQ(expandDefault("Client3", 1, '2', "1234", "1234,AB"), "5012 181234  AB     ");
  EXPECT_EQ(expandDefault("Client3", 6, '0', "1234", "1234,13001003"), "5010 181234E13001003");
  EXPECT_EQ(expandDefault("Client3", 6, 'B', "1234", "1234,13001003"), "501B 181234E13001003");
}

TEST(LineTemplate, ShortBodiesGiveSpaces) {
  EXPECT_EQ(expandDefault("Client3", 6, '1', "1234", "1234,13"), "5011 181234E13      ");
}

TEST(LineTemplate, ReadsTheItemsTemplateSectionAndRejectsTooShortOnes) {
  IniFile ini = IniFile::fromText("[mClient2]\n1=1234s$#1\n6=50\n[mClient3]\n1=XYZW\n");
  testing::internal::CaptureStderr();
  LineTemplates t = LineTemplates::load(ini, "Client2");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(LineTemplates::expand(*t.slot(1), '7', "AB12", "AB12,Q"), "1237 AB12Q");
  // "50" has no fourth character for the line digit: the default stands.
  EXPECT_EQ(LineTemplates::expand(*t.slot(6), '0', "1234", "1234,13001003"),
            "5010 181234E13001003");
  EXPECT_NE(err.find("[mClient2] 6=50"), std::string::npos) << err;
  EXPECT_EQ(t.slot(4), nullptr);
  // Another item's section is not read.
  LineTemplates other = LineTemplates::load(ini, "Client4");
  EXPECT_EQ(LineTemplates::expand(*other.slot(1), '1', "1", "1234,AB"), "5011 181  AB     ");
}

}  // namespace
}  // namespace orv
