#include "client/msg_converter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>

#include "common/local_time.h"

namespace orv {
namespace {

std::string area(const OrvMessage& m) {
  return std::string(reinterpret_cast<const char*>(m.area + 1), m.area[0]);
}
std::string code(const OrvMessage& m) {
  return std::string(reinterpret_cast<const char*>(m.code + 1), m.code[0]);
}

// A record as a host might pass it: every byte set, so that untouched fields show.
OrvMessage filled() {
  OrvMessage m;
  std::memset(&m, 0x5A, sizeof m);
  m.extra = nullptr;
  return m;
}

class MsgConverterTest : public testing::Test {
 protected:
  void TearDown() override { WallClock::pinForTest(std::nullopt); }

  int32_t get(std::string line) {
    lines.push_back(std::move(line));
    return converter.getMsg(lines, msg);
  }
  void use(ConverterOptions o) { converter = tMsgConverter(std::move(o)); }

  tMsgConverter converter;
  std::deque<std::string> lines;
  OrvMessage msg = filled();
};

TEST_F(MsgConverterTest, EventLineFieldsWithoutTime) {
  EXPECT_EQ(get("5011 181234E13001003"), 1);
  EXPECT_EQ(msg.receiver, 1u);
  EXPECT_EQ(msg.line, 1);
  EXPECT_EQ(msg.account, 0x1234u);
  EXPECT_EQ(area(msg), "01");
  EXPECT_EQ(code(msg), "E130003");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);
  ASSERT_NE(msg.extra, nullptr);
  EXPECT_STREQ(msg.extra, "");
  EXPECT_EQ(msg.reserved1, 0x5A5A) << "reserved fields are never written";
  EXPECT_EQ(msg.reserved2, 0x5A);
}

TEST_F(MsgConverterTest, DateSuffixGivesTimeInCurrentYear) {
  WallClock::pinForTest(std::chrono::system_clock::from_time_t(1700000000));  // November 2023
  const int year = WallClock::localNow().year;
  EXPECT_EQ(get("5011 181234E1300100312:30:45-07/12"), 1);
  EXPECT_EQ(msg.time.wYear, year);
  EXPECT_EQ(msg.time.wMonth, 12);
  EXPECT_EQ(msg.time.wDay, 7);
  EXPECT_EQ(msg.time.wHour, 12);
  EXPECT_EQ(msg.time.wMinute, 30);
  EXPECT_EQ(msg.time.wSecond, 45);
  EXPECT_EQ(msg.time.wDayOfWeek, 0x5A5A) << "day of week is not written";
  EXPECT_EQ(msg.time.wMilliseconds, 0x5A5A);

  get("5011 181234E1300100312:30:45-31/02");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME) << "31 February";
  get("5011 181234E1300100312:3x:45-07/12");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);
  get("5011 181234E1300100312:30:45-07/1");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME) << "cut short";
}

TEST_F(MsgConverterTest, PcTimeDropsEveryTime) {
  use({.pcTime = true});
  get("5011 181234E1300100312:30:45-07/12");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);
}

TEST_F(MsgConverterTest, LineMapAppliesToNonZeroAccountsOnly) {
  use({.lineMap = makeLineMap("0a")});
  get("5011 181234E13001003");
  EXPECT_EQ(msg.line, 10);
  get("5011 180000E13001003");
  EXPECT_EQ(msg.line, 1) << "account 0 keeps the line digit";
  get("501F 181234E13001003");
  EXPECT_EQ(msg.line, 15) << "the rest of the default map stays";

  use({.lineMap = makeLineMap("0z")});
  get("5011 181234E13001003");
  EXPECT_EQ(msg.line, 16) << "a non-hex map character";
  EXPECT_EQ(makeLineMap("fedcba9876543210XYZ"), "fedcba9876543210");

  use({.lineMap = "0a"});  // a map that did not come through makeLineMap
  get("501F 181234E13001003");
  EXPECT_EQ(msg.line, 15);
}

TEST_F(MsgConverterTest, AccountThatDoesNotConvertGivesLine16) {
  get("5011 18G234E13001003");
  EXPECT_EQ(msg.line, 16);
  EXPECT_EQ(msg.account, 0u);
  get("5011 18    E13001003");
  EXPECT_EQ(msg.line, 16) << "no digits at all";
  get("5011 18  34E13001003");
  EXPECT_EQ(msg.line, 1) << "leading spaces are removed";
  EXPECT_EQ(msg.account, 0x34u);
}

TEST_F(MsgConverterTest, StatusLines) {
  EXPECT_EQ(get("1011      0000 R  51"), 1);
  EXPECT_EQ(msg.receiver, 1u);
  EXPECT_EQ(msg.line, 1);
  EXPECT_EQ(msg.account, 0u);
  EXPECT_EQ(area(msg), "  ");
  EXPECT_EQ(code(msg), "   R 51");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);

  get("1011      12AB R  51");
  EXPECT_EQ(msg.account, 0x12ABu);
  EXPECT_EQ(code(msg), "    R51") << "spaces removed on line 1 with an account";
  get("1012      12AB R  51");
  EXPECT_EQ(msg.line, 2);
  EXPECT_EQ(code(msg), "   R 51");
  get("1011      0000 T  52");
  EXPECT_EQ(code(msg), "   T 52");
}

TEST_F(MsgConverterTest, ClassThreeWithAndWithoutRi) {
  EXPECT_EQ(get("3011      1234OPX123"), 1);
  EXPECT_EQ(msg.account, 0x1234u);
  EXPECT_EQ(area(msg), "  ");
  EXPECT_EQ(code(msg), "  OP123");

  OrvMessage before = msg;
  EXPECT_EQ(get("3011      1234ri 5"), 0);
  EXPECT_EQ(area(msg), "5");
  EXPECT_EQ(std::memcmp(&before.code, &msg.code, sizeof msg.code), 0) << "only the area is set";

  // The host may pass another record for the event that follows.
  msg = filled();
  EXPECT_EQ(get("3011      1234CL07"), 1);
  EXPECT_EQ(area(msg), " 5");
  EXPECT_EQ(code(msg), "  CL 07");

  get("3011      1234OPX123");
  EXPECT_EQ(code(msg), "  OP123") << "the ri state is used once";

  get("3011      1234ri12");
  get("5011 181234E13001003");
  get("3011      1234OPX123");
  EXPECT_EQ(code(msg), "  OP123") << "an event line clears the ri state";
}

TEST_F(MsgConverterTest, SiaLineWithOneEvent) {
  EXPECT_EQ(get("S01A[#12|Nri1/ba01]"), 1);
  EXPECT_EQ(msg.receiver, 1u);
  EXPECT_EQ(msg.line, 10);
  EXPECT_EQ(msg.account, 0x12u);
  EXPECT_EQ(area(msg), " 1") << "one digit fills the second character";
  EXPECT_EQ(code(msg), "  ba 01");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);
  EXPECT_STREQ(msg.extra, "");

  get("S01A[#12|Nri12/BA1]");
  EXPECT_EQ(area(msg), "12");
  EXPECT_EQ(code(msg), "  BA  1");
  get("S01A[#12|Xfoo/Nri3,BA12345678]");
  EXPECT_EQ(area(msg), " 3") << "commas separate like slashes; other blocks are skipped";
  EXPECT_EQ(code(msg), "BA12345") << "cut to 7";
  EXPECT_EQ(converter.pendingEvents(), 0u);
}

TEST_F(MsgConverterTest, SiaSecondEventComesBeforeNewerLines) {
  EXPECT_EQ(get("S01A[#1234|Nri01/BA1/ri02/TA22]"), 1);
  EXPECT_EQ(area(msg), "01");
  EXPECT_EQ(code(msg), "  BA  1");
  lines.push_back("5011 181234E13001003");
  EXPECT_EQ(converter.getMsg(lines, msg), 1) << "one line still waits";
  EXPECT_EQ(msg.receiver, 1u);
  EXPECT_EQ(msg.line, 10);
  EXPECT_EQ(msg.account, 0x1234u);
  EXPECT_EQ(area(msg), "02");
  EXPECT_EQ(code(msg), "  TA 22");
  EXPECT_EQ(converter.getMsg(lines, msg), 1);
  EXPECT_EQ(code(msg), "E130003");
  EXPECT_EQ(converter.getMsg(lines, msg), 0);
}

TEST_F(MsgConverterTest, SiaLineWithoutEventCode) {
  EXPECT_EQ(get("S01A[#1234|Nda02/ti10:00]"), 1);
  EXPECT_EQ(msg.line, 0);
  EXPECT_EQ(msg.account, 0u);
  EXPECT_EQ(area(msg), "..");
  EXPECT_EQ(code(msg), ".......");
}

TEST_F(MsgConverterTest, IdentityLines) {
  OrvMessage before = msg;
  EXPECT_EQ(get("U011  1234MOD42FFFFFFFFFFFFF"), 0) << "dropped without UEnable";
  EXPECT_EQ(std::memcmp(&before, &msg, sizeof msg), 0);
  EXPECT_TRUE(lines.empty());

  use({.uEnable = true});
  EXPECT_EQ(get("U011  1234MOD42FFFFFFFFFFFFF12:30:45-07/12"), 1);
  EXPECT_EQ(msg.account, 0x1234u);
  EXPECT_EQ(area(msg), "  ");
  EXPECT_EQ(code(msg), "       ");
  EXPECT_STREQ(msg.extra, "MOD42");
  EXPECT_EQ(msg.time.wYear, 0x5A5A) << "the time is left as it was";
  get("U011  1234ABCDEFGHIJ");
  EXPECT_STREQ(msg.extra, "ABCDE");
  get("U011  1234XYZ");
  EXPECT_STREQ(msg.extra, "XYZ") << "no filler: to the end";
}

TEST_F(MsgConverterTest, HeartbeatsTimeSyncAndUnknownClassesLeaveTheRecord) {
  const OrvMessage before = msg;
  for (const char* line : {"@", "SYSTIME46001.5", "", "X011 181234E13001003", "S]ab]]]]]"}) {
    lines.push_back(line);
    EXPECT_EQ(converter.getMsg(lines, msg), 0) << line;
    EXPECT_EQ(std::memcmp(&before, &msg, sizeof msg), 0) << line;
    EXPECT_TRUE(lines.empty()) << "consumed: " << line;
  }
  EXPECT_EQ(converter.getMsg(lines, msg), 0) << "empty buffer";
}

TEST_F(MsgConverterTest, ResultCountsTheLinesStillWaiting) {
  lines = {"5011 181234E13001003", "5011 181234E13001003", "5011 181234E13001003"};
  EXPECT_EQ(converter.getMsg(lines, msg), 2);
  EXPECT_EQ(converter.getMsg(lines, msg), 1);
  EXPECT_EQ(converter.getMsg(lines, msg), 1);
  EXPECT_EQ(converter.getMsg(lines, msg), 0);
}

TEST_F(MsgConverterTest, OnlyTheFirst255CharactersAreUsed) {
  use({.uEnable = true});
  get("U011  1234" + std::string(400, 'x'));
  EXPECT_EQ(std::strlen(msg.extra), 255u - 10u);
  EXPECT_EQ(get("S01A[#12|Nri1/BA01" + std::string(300, '/') + "]"), 0)
      << "the ']' lies beyond 255 characters";
}

TEST_F(MsgConverterTest, LinesCutShortKeepTheirClassAndEmptyFields) {
  // Fields a short line lacks are empty; the sanitizer build also checks that no copy is made
  // from a missing field.
  EXPECT_EQ(get("5"), 1);
  EXPECT_EQ(msg.receiver, 0u);
  EXPECT_EQ(msg.account, 0u);
  EXPECT_EQ(msg.line, 16);
  EXPECT_EQ(area(msg), "");
  EXPECT_EQ(code(msg), "");
  EXPECT_EQ(msg.time.wYear, PELKON_NO_TIME);

  EXPECT_EQ(get("5011 18"), 1);
  EXPECT_EQ(msg.receiver, 1u);
  EXPECT_EQ(msg.line, 16) << "no account";
  EXPECT_EQ(code(msg), "");

  EXPECT_EQ(get("1"), 1);
  EXPECT_EQ(area(msg), " ");
  EXPECT_EQ(code(msg), "   ");
  EXPECT_EQ(get("3"), 1);
  EXPECT_EQ(code(msg), "  ");
  EXPECT_EQ(get("S"), 0);
  use({.uEnable = true});
  EXPECT_EQ(get("U"), 1);
  EXPECT_STREQ(msg.extra, "");
}

TEST_F(MsgConverterTest, MalformedSiaLinesNeverCrash) {
  for (const char* line :
       {"S", "S[[[[[[[", "S01A[", "S01A[#", "S01A[#]", "S01A[#12", "S01A[#12]", "S01A[#12|]",
        "S01A[#12|N]", "S01A[#12|Nri]", "S01A[#12|Nri12]", "S01A[#12|Nri12/]",
        "S01A[#12|Nri//,,  ,/]", "S01A[#12|ENENEN]", "S01A[#FFFFFFFFFFFF|Nri1/BA]",
        "S01A[[#12|[Nri1/BA]]", "S01A[|Nri1/BA1]"}) {
    OrvMessage m = filled();
    lines.push_back(line);
    int32_t r = converter.getMsg(lines, m);
    EXPECT_GE(r, 0) << line;
    while (converter.pendingEvents() > 0) converter.getMsg(lines, m);
  }
  lines.push_back("S01A[#FFFFFFFFFFFF|Nri1/BA1]");
  converter.getMsg(lines, msg);
  EXPECT_EQ(msg.line, 16) << "an account beyond 32 bits does not convert";

  std::mt19937 random(7);
  const std::string alphabet = "S01A[]#|/, ENriPdatiph0123456789ABF@&";
  for (int i = 0; i < 20000; ++i) {
    std::string line = "S01A[";
    const size_t n = random() % 60;
    for (size_t k = 0; k < n; ++k) line.push_back(alphabet[random() % alphabet.size()]);
    lines.push_back(line);
    OrvMessage m = filled();
    while (converter.getMsg(lines, m) != 0 || !lines.empty()) {
      ASSERT_LE(m.area[0], 2);
      ASSERT_LE(m.code[0], 7);
    }
  }
}

}  // namespace
}  // namespace orv
