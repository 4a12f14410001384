#include "server/outputs/module_lines.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

class ModuleLinesTest : public testing::Test {
 protected:
  ModuleLines build(std::string_view text, bool dateFlag = true, bool identity = false,
                    std::string_view id = "ABC123", char digit = '0') {
    return buildModuleLines(templates, dateFlag, ModuleMessage{text, id, digit, identity});
  }
  LineTemplates templates = LineTemplates::load(IniFile::fromText(""), "Client1");
};

TEST(ModuleDateSuffix, ValidAndInvalidStamps) {
  EXPECT_EQ(moduleDateSuffix("071225 123045"), "12:30:45-07/12");
  EXPECT_EQ(moduleDateSuffix("290224x000000"), "00:00:00-29/02");  // 2024 is a leap year
  EXPECT_EQ(moduleDateSuffix("290223 000000"), "");
  EXPECT_EQ(moduleDateSuffix("311125 120000"), "");  // 31 November
  EXPECT_EQ(moduleDateSuffix("071225 246000"), "");
  EXPECT_EQ(moduleDateSuffix("0712251230"), "");
  EXPECT_EQ(moduleDateSuffix("07122a 123045"), "");
  EXPECT_EQ(moduleDateSuffix(""), "");
}

TEST_F(ModuleLinesTest, EventTypesChooseTheirSlot) {
  EXPECT_EQ(build("M06,1234,13001003").queue, std::vector<std::string>{"5010 181234E13001003"});
  EXPECT_EQ(build("M07,1234,13001003").queue, std::vector<std::string>{"5010 181234R13001003"});
  EXPECT_EQ(build("M01,1234,AB").queue, std::vector<std::string>{"5010 181234  AB     "});
  EXPECT_EQ(build("M06,1234,13001003", true, false, "x", 'B').queue,
            std::vector<std::string>{"501B 181234E13001003"});
  // Types without a slot and bodies without a whole account give nothing.
  EXPECT_TRUE(build("M04,1234,13001003").queue.empty());
  EXPECT_TRUE(build("MV:12.6").queue.empty());
  EXPECT_TRUE(build("M06,123").queue.empty());
  EXPECT_TRUE(build("M06,123", true, true).queue.empty());
}

TEST_F(ModuleLinesTest, DateSuffixFollowsTheFlag) {
  ModuleLines dated = build("M06,1234,13001003:071225 123045");
  EXPECT_EQ(dated.queue, std::vector<std::string>{"5010 181234E13001003"
                                                  "12:30:45-07/12"});
  EXPECT_EQ(dated.forward, std::vector<std::string>{"5010 181234E13001003"});
  // An invalid stamp is cut off all the same, and gives no suffix.
  EXPECT_EQ(build("M06,1234,13001003:991399 999999").queue,
            std::vector<std::string>{"5010 181234E13001003"});
  // With the flag off the message is not cut, so the ":" and stamp run into the body.
  EXPECT_EQ(build("M06,1234,130:071225 123045", false).queue,
            std::vector<std::string>{"5010 181234E130:0712"});
}

TEST_F(ModuleLinesTest, MffGivesOneLinePerCodeAndIsAlwaysCut) {
  ModuleLines lines = build("Mff,00A5,FF,12,3A:071225 123045", false);
  EXPECT_EQ(lines.queue, (std::vector<std::string>{"5010 1800A5  FF     ", "5010 1800A5  12     ",
                                                   "5010 1800A5  3A     "}));
  EXPECT_EQ(build("Mff,00A5,FF").queue, std::vector<std::string>{"5010 1800A5  FF     "});
  EXPECT_TRUE(build("Mff,00A5").queue.empty());
  // A last code with one character only is not a code.
  EXPECT_EQ(build("Mff,00A5,FF,1").queue.size(), 1u);
}

TEST_F(ModuleLinesTest, IdentityLineComesFirstWithTheIdentifierOverTheFs) {
  ModuleLines lines = build("M06,1234,13001003:071225 123045", true, true, "ABC123");
  ASSERT_EQ(lines.queue.size(), 2u);
  EXPECT_EQ(lines.queue[0],
            "U011  1234ABC123FFFFFFFFFFFF"
            "12:30:45-07/12");
  EXPECT_EQ(lines.forward, std::vector<std::string>{"5010 181234E13001003"});

  // A longer identifier is cut at the 28th character; a short account shortens the line.
  std::string longId(30, 'Z');
  EXPECT_EQ(build("M06,1234,13001003", true, true, longId).queue[0],
            "U011  1234" + std::string(18, 'Z'));
  EXPECT_EQ(build("M06,  12,13001003", true, true, "ID").queue[0], "U011  12FFIDFFFFFFFFFFFFFF");
  EXPECT_EQ(build("M06,1234,13001003", true, true, "").queue[0],
            "U011  1234" + std::string(18, 'F'));
}

TEST_F(ModuleLinesTest, ComAndClient0UseTheirOwnDefaults) {
  LineTemplates com = LineTemplates::load(IniFile::fromText(""), "Com");
  ModuleLines lines = buildModuleLines(com, true, ModuleMessage{"M02,1234,ABCD", "x", '3', false});
  EXPECT_EQ(lines.queue, std::vector<std::string>{"5013 181234ABCD     "});
}

}  // namespace
}  // namespace orv
