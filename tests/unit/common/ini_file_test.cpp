#include "common/ini_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Names = std::vector<std::string>;

TEST(IniLookup, NamesIgnoreCaseKeepFileOrderAndFirstDuplicateWins) {
  IniFile ini = IniFile::fromText(
      "[Main]\nPort=778\nName=first\nport=1\n"
      "[second]\nb=1\na=2\n"
      "[MAIN]\nPORT=999\nExtra=x\n");
  EXPECT_EQ(ini.sections(), (Names{"Main", "second"}));
  // The repeated section reads as one: its keys follow the first occurrence's.
  EXPECT_EQ(ini.keys("main"), (Names{"Port", "Name", "Extra"}));
  EXPECT_EQ(ini.keys("SECOND"), (Names{"b", "a"}));
  EXPECT_EQ(ini.readString("mAiN", "pOrT"), "778");
  EXPECT_EQ(ini.readString("main", "EXTRA"), "x");
  EXPECT_TRUE(ini.hasSection("Second"));
  EXPECT_TRUE(ini.hasKey("SECOND", "A"));
  EXPECT_FALSE(ini.hasKey("second", "Port"));
  EXPECT_FALSE(ini.hasSection("Mai"));
  EXPECT_EQ(ini.readString("absent", "Port", "def"), "def");
  EXPECT_EQ(ini.value("main", "absent"), std::nullopt);
}

struct ValueCase {
  const char* raw;
  const char* read;
};

class IniValue : public testing::TestWithParam<ValueCase> {};

TEST_P(IniValue, IsTrimmedAndLosesOnePairOfQuotes) {
  IniFile ini = IniFile::fromText(std::string("[S]\nk=") + GetParam().raw + "\n");
  EXPECT_EQ(ini.readString("S", "k"), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniValue,
    testing::Values(ValueCase{"  spaced out \t", "spaced out"}, ValueCase{"\"dq\"", "dq"},
                    ValueCase{"'sq'", "sq"}, ValueCase{"\" kept inside \"", " kept inside "},
                    ValueCase{"\"mixed'", "\"mixed'"}, ValueCase{"'mixed\"", "'mixed\""},
                    ValueCase{"\"\"twice\"\"", "\"twice\""}, ValueCase{"\"\"", ""},
                    ValueCase{"\"", "\""}, ValueCase{"a=b=c", "a=b=c"}, ValueCase{"", ""}));

struct IntCase {
  const char* text;
  std::optional<int32_t> value;
};

class IniInteger : public testing::TestWithParam<IntCase> {};

TEST_P(IniInteger, ParsesDecimalAndHexOrGivesTheDefault) {
  EXPECT_EQ(parseIniInteger(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
  IniFile ini = IniFile::fromText(std::string("[S]\nk=") + GetParam().text + "\n");
  EXPECT_EQ(ini.readInteger("S", "k", 4711), GetParam().value.value_or(4711));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, IniInteger,
    testing::Values(
        IntCase{"0", 0}, IntCase{"42", 42}, IntCase{"  42 ", 42}, IntCase{"-17", -17},
        IntCase{"+5", 5}, IntCase{"$1F", 31}, IntCase{"$1f", 31}, IntCase{"0x1F", 31},
        IntCase{"0X1f", 31}, IntCase{"-$10", -16}, IntCase{"$FFFFFFFF", -1},
        IntCase{"0xFFFFFFFF", -1}, IntCase{"$80000000", INT32_MIN},
        IntCase{"2147483647", INT32_MAX}, IntCase{"-2147483648", INT32_MIN}, IntCase{"007", 7},
        // Not numbers, or not 32-bit ones: the caller's default.
        IntCase{"12abc", std::nullopt}, IntCase{"", std::nullopt}, IntCase{"abc", std::nullopt},
        IntCase{"$", std::nullopt}, IntCase{"0x", std::nullopt}, IntCase{"-", std::nullopt},
        IntCase{"1.5", std::nullopt}, IntCase{"- 5", std::nullopt}, IntCase{"$G1", std::nullopt},
        IntCase{"2147483648", std::nullopt}, IntCase{"-2147483649", std::nullopt},
        IntCase{"$100000000", std::nullopt}, IntCase{"99999999999999999999999", std::nullopt}));

TEST(IniBool, IsAnIntegerOtherThanZero) {
  IniFile ini = IniFile::fromText("[S]\nOne=1\nZero=0\nMinus=-1\nHex=$10\nWord=true\nEmpty=\n");
  EXPECT_TRUE(ini.readBool("S", "One", false));
  EXPECT_FALSE(ini.readBool("S", "Zero", true));
  EXPECT_TRUE(ini.readBool("S", "Minus", false));
  EXPECT_TRUE(ini.readBool("S", "Hex", false));
  for (bool def : {false, true}) {
    EXPECT_EQ(ini.readBool("S", "Word", def), def);
    EXPECT_EQ(ini.readBool("S", "Empty", def), def);
    EXPECT_EQ(ini.readBool("S", "Absent", def), def);
  }
}

constexpr const char* kConfig =
    "; ORV configuration\n"
    "[Main]\n"
    "Port=778\n"
    "; the display name\n"
    "Name=first\n"
    "\n"
    "[Other]\n"
    "x=1\n";

TEST(IniWrite, ReplacesAnExistingKeyInPlaceKeepingItsSpelling) {
  IniFile ini = IniFile::fromText(kConfig);
  ini.writeInteger("MAIN", "PORT", 779);
  EXPECT_EQ(ini.text(),
            "; ORV configuration\n[Main]\nPort=779\n; the display name\nName=first\n\n"
            "[Other]\nx=1\n");
}

TEST(IniWrite, AddsANewKeyAfterTheLastKeyOfItsSection) {
  IniFile ini = IniFile::fromText(kConfig);
  ini.writeString("main", "Added", "v");
  ini.writeBool("Other", "Flag", true);
  EXPECT_EQ(ini.text(),
            "; ORV configuration\n[Main]\nPort=778\n; the display name\nName=first\nAdded=v\n\n"
            "[Other]\nx=1\nFlag=1\n");
  EXPECT_EQ(ini.keys("Main"), (Names{"Port", "Name", "Added"}));
}

TEST(IniWrite, AppendsANewSection) {
  IniFile ini = IniFile::fromText(kConfig);
  ini.writeInteger("Third", "Level", -5);
  EXPECT_EQ(ini.text(), std::string(kConfig) + "[Third]\nLevel=-5\n");
  EXPECT_EQ(ini.sections(), (Names{"Main", "Other", "Third"}));
  EXPECT_EQ(ini.readInteger("third", "level", 0), -5);
}

TEST(IniWrite, ALineBreakCannotAddKeysOrSections) {
  IniFile ini = IniFile::fromText(kConfig);
  // In a value it becomes a space.
  ASSERT_TRUE(ini.writeString("Other", "Note", "evil\r\nPort=1\n[Injected]\nk=v"));
  EXPECT_EQ(ini.readString("Other", "Note"), "evil  Port=1 [Injected] k=v");
  ini.eraseKey("Other", "Note");
  // In a name the write is refused.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ini.writeString("Main", "Port=1\n[Injected]\nk", "v"));
  EXPECT_FALSE(ini.writeString("Injected]\n[Main", "Port", "1"));
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty()) << "each refusal is reported";
  EXPECT_EQ(ini.text(), kConfig) << "a refused write changes nothing";
  // The next reader of the saved file is the one that would be misled.
  IniFile reread = IniFile::fromText(ini.text());
  EXPECT_FALSE(reread.hasSection("Injected"));
  EXPECT_EQ(reread.readInteger("Main", "Port", 0), 778);
  EXPECT_EQ(reread.keys("Main"), (Names{"Port", "Name"}));
  EXPECT_EQ(reread.sections(), (Names{"Main", "Other"}));
}

TEST(IniWrite, NamesThatWouldReadBackAsAnotherEntryAreRefused) {
  IniFile ini = IniFile::fromText(kConfig);
  testing::internal::CaptureStderr();
  for (const char* key : {"Port=1", "", " Name", "Name ", ";Port", "[x"}) {
    // "[x" alone is a key; with a value that closes the bracket its line would be a section.
    const bool written = ini.writeString("Main", key, std::string_view(key) == "[x" ? "y]" : "9");
    EXPECT_FALSE(written) << key;
  }
  for (const char* section : {"Other]x", " Other", "Other "}) {
    EXPECT_FALSE(ini.writeString(section, "x", "2")) << section;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ini.text(), kConfig);
  EXPECT_TRUE(ini.writeString("Main", "[x", "y")) << "no section header in the line";
  EXPECT_EQ(ini.readString("Main", "[x"), "y");
}

TEST(IniWrite, ValuesKeepTheirBytesAndCannotStartALineOfTheirOwn) {
  IniFile ini = IniFile::fromText(kConfig);
  const std::string binary("nul\0\xff\x01", 6);
  for (const std::string& value : {std::string("a=b;c"), std::string("[Injected]"), binary}) {
    ASSERT_TRUE(ini.writeString("Main", "Name", value));
    EXPECT_EQ(IniFile::fromText(ini.text()).readString("Main", "Name"), value);
  }
  EXPECT_EQ(IniFile::fromText(ini.text()).sections(), (Names{"Main", "Other"}));
  // The reader's rules apply to what was written, as they do to a file typed by hand.
  ASSERT_TRUE(ini.writeString("Main", "Name", "  \"quoted name\"  "));
  EXPECT_EQ(ini.readString("Main", "Name"), "quoted name");
}

TEST(IniErase, RemovesEveryOccurrenceOfASectionAndKeepsTheOthers) {
  IniFile ini = IniFile::fromText("[A]\na=1\n[B]\nb=1\n[a]\na2=2\n[C]\nc=1\n");
  ini.eraseSection("A");
  EXPECT_EQ(ini.text(), "[B]\nb=1\n[C]\nc=1\n");
  EXPECT_EQ(ini.sections(), (Names{"B", "C"}));
  EXPECT_EQ(ini.readInteger("C", "c", 0), 1);
}

TEST(IniErase, RemovesAKeyWithItsDuplicates) {
  IniFile ini = IniFile::fromText("[S]\nk=1\nother=2\nK=3\n");
  ini.eraseKey("s", "k");
  EXPECT_EQ(ini.text(), "[S]\nother=2\n");
}

TEST(IniBroken, BadLinesCarryNoKeyAndTheGoodKeysAroundThemStillRead) {
  const std::string text = std::string(
                               "orphan=1\n"
                               "[S]\n"
                               "first=1\n"
                               "no equals sign here\n"
                               "[unclosed=2\n"
                               "=nokey\n"
                               "\x01\x02\xff\xfe=\x80\n") +
                           std::string("nul\0byte=3\n", 11) + "last=4\n[T]\nt=5\n";
  IniFile ini = IniFile::fromText(text);
  EXPECT_EQ(ini.sections(), (Names{"S", "T"}));
  EXPECT_EQ(ini.readInteger("S", "first", 0), 1);
  EXPECT_EQ(ini.readInteger("S", "last", 0), 4);
  EXPECT_EQ(ini.readInteger("T", "t", 0), 5);
  EXPECT_FALSE(ini.hasKey("S", "orphan"));
  EXPECT_FALSE(ini.hasKey("S", "no equals sign here"));
  EXPECT_FALSE(ini.hasKey("S", ""));
  // Writing keeps the broken lines as they were.
  ini.writeInteger("S", "first", 9);
  std::string expected = text;
  expected.replace(expected.find("first=1"), 7, "first=9");
  EXPECT_EQ(ini.text(), expected);
}

TEST(IniFileOnDisk, MissingFileReadsAsEmpty) {
  test::TempDir dir;
  IniFile ini(dir / "absent.ini");
  EXPECT_FALSE(ini.existed());
  EXPECT_TRUE(ini.sections().empty());
  EXPECT_EQ(ini.readInteger("S", "k", 3), 3);
}

TEST(IniFileOnDisk, SaveWritesWhatTheNextReaderSees) {
  test::TempDir dir;
  {
    IniFile ini(dir / "new.ini");
    ini.writeString("Main", "Name", "\"quoted name\"");
    ini.writeInteger("Main", "Port", 778);
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
  }
  IniFile again(dir / "new.ini");
  EXPECT_TRUE(again.existed());
  EXPECT_EQ(again.readString("main", "name"), "quoted name");
  EXPECT_EQ(again.readInteger("main", "port", 0), 778);
  EXPECT_FALSE(std::filesystem::exists(dir / "new.ini.tmp"));
}

TEST(IniFileOnDisk, CrLfFileStaysCrLf) {
  test::TempDir dir;
  dir.write("crlf.ini", "; comment\r\n[Main]\r\nPort=778\r\n\r\n[Other]\r\nx=1\r\n");
  IniFile ini(dir / "crlf.ini");
  EXPECT_EQ(ini.readInteger("Main", "Port", 0), 778);
  ini.writeInteger("Main", "Port", 779);
  ini.writeString("Main", "New", "n");
  ini.writeString("Third", "k", "v");
  ASSERT_TRUE(ini.save());
  EXPECT_EQ(dir.read("crlf.ini"),
            "; comment\r\n[Main]\r\nPort=779\r\nNew=n\r\n\r\n[Other]\r\nx=1\r\n[Third]\r\nk=v\r\n");
}

TEST(IniFileOnDisk, SaveIntoAMissingDirectoryFailsWithAReason) {
  test::TempDir dir;
  IniFile ini = IniFile::fromText("[S]\nk=1\n", dir / "no" / "such.ini");
  std::string error;
  EXPECT_FALSE(ini.save(&error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST(IniFileOddFiles, AByteOrderMarkAndAFifoInPlaceOfTheFile) {
  test::TempDir dir;
  // Saved by an editor that writes a UTF-8 byte-order mark: the first header still counts.
  const IniFile bom(dir.write("bom.ini", "\xEF\xBB\xBF[GPRS0]\r\nPort=778\r\n"));
  EXPECT_EQ(bom.readInteger("GPRS0", "Port", 0), 778);
  // A FIFO would block the read for ever: it reads as an empty file instead.
  const std::filesystem::path fifo = dir / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const IniFile empty(fifo);
  EXPECT_TRUE(empty.sections().empty());
}

}  // namespace
}  // namespace orv
