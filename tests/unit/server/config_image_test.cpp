#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <stdexcept>

#include "common/hex_record.h"
#include "server/programming/config_dialog.h"
#include "server/programming/config_image.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

// Answers the dialog's questions from a script; unscripted questions get the safe answer.
class ScriptedOperator : public OperatorQuestions {
 public:
  std::deque<Button> answers;
  std::vector<std::string> asked;     // "title|text"
  std::vector<std::string> messages;  // "title|text"

  bool askTimed(std::string_view, int, bool safeAnswer, std::string_view) override {
    return safeAnswer;
  }
  void showMessage(std::string_view title, std::string_view text) override {
    messages.push_back(std::string(title) + "|" + std::string(text));
  }
  Button ask(std::string_view title, std::string_view text, std::span<const Button>,
             Button safe) override {
    asked.push_back(std::string(title) + "|" + std::string(text));
    if (answers.empty()) return safe;
    Button b = answers.front();
    answers.pop_front();
    return b;
  }
};

constexpr std::string_view kWarning =
    "WARNING|You must enter international code for correct message transmition. CONTINUE?";

ConfigImage filled(uint8_t value) {
  ConfigImage image;
  image.fill(value);
  return image;
}

void putText(ConfigImage& image, size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), image.begin() + offset);
  image[offset + text.size()] = 0;
}

std::string textAt(const ConfigImage& image, size_t offset, size_t width) {
  return std::string(image.begin() + offset, image.begin() + offset + width);
}

class ConfigDialogTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  const std::filesystem::path noNames_ = dir_ / "a.ini";  // absent unless a test writes it

  static std::string get(const ConfigDialog& dialog, std::string_view caption) {
    for (const DialogField& f : dialog.fields()) {
      if (f.caption == caption) return f.value;
    }
    ADD_FAILURE() << "no field \"" << caption << "\" for type " << dialog.moduleType();
    return {};
  }
  static bool shows(const ConfigDialog& dialog, std::string_view caption) {
    const auto fields = dialog.fields();
    return std::any_of(fields.begin(), fields.end(),
                       [&](const DialogField& f) { return f.caption == caption; });
  }
  static void set(ConfigDialog& dialog, std::string_view caption, std::string_view value) {
    EXPECT_EQ(dialog.setField(caption, value), "") << caption << "=" << value;
  }
  // Packs as "Save" does, with nobody to ask.
  void pack(ConfigDialog& dialog) {
    ScriptedOperator op;
    op.answers = {Button::Yes};
    ASSERT_EQ(dialog.save(dir_ / "pack.hex", op), "");
  }
  static std::vector<std::pair<std::string, std::string>> shown(const ConfigDialog& dialog) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const DialogField& f : dialog.fields()) out.emplace_back(f.caption, f.value);
    return out;
  }
};

TEST_F(ConfigDialogTest, AllFfImageShowsRawValuesAndWritesBackWhatNoSettingChanges) {
  ConfigImage image = filled(0xFF);
  ConfigDialog dialog(5, image, noNames_);
  EXPECT_EQ(get(dialog, "Online ID"), std::string(15, '\xFF'));
  EXPECT_EQ(get(dialog, "SIM2 APN"), std::string(26, '\xFF'));
  EXPECT_EQ(get(dialog, "U01 Phone number"), std::string(16, '\xFF'));
  EXPECT_EQ(get(dialog, "U01 Area code"), "");
  EXPECT_EQ(get(dialog, "U01 Text SMS"), "0");
  EXPECT_EQ(get(dialog, "Test time value "), "255");
  EXPECT_EQ(get(dialog, "Zones response time"), "65535");
  EXPECT_EQ(get(dialog, "SIM PIN"), "65535");
  EXPECT_EQ(get(dialog, "Module account"), "FFFF");
  EXPECT_EQ(get(dialog, "OUT1 config"), "GPRS Trouble ");
  for (std::string_view z : {"Z1", "Z3", "Z4", "Z5"}) {
    EXPECT_EQ(get(dialog, z), "Instant");
    EXPECT_EQ(get(dialog, std::string(z) + " Stay Away"), "1");
  }

  pack(dialog);
  // A PIN that does not fit four digits still goes back as it came.
  EXPECT_EQ(image[91], 0xFF);
  EXPECT_EQ(image[92], 0xFF);
  EXPECT_EQ(textAt(image, 800, 26), std::string(26, '\xFF'));
  EXPECT_EQ(textAt(image, 256, 16), std::string(16, '\xFF'));
  // Bytes that are rewritten whole from their settings.
  EXPECT_EQ(image[88], 0xFF);
  EXPECT_EQ(image[76], 0x10);
  EXPECT_EQ(image[108], 0x0A);
  EXPECT_EQ(image[117], 0x07);
}

TEST_F(ConfigDialogTest, BytesNoSettingCoversAreKept) {
  for (int type : {1, 2, 3, 5, 6}) {
    std::vector<size_t> loose = {31,  32,  72,  73,  78,  80,  84,  93,   99,
                                 109, 111, 116, 119, 129, 134, 178, 1000, 1023};
    if (type != 3) loose.push_back(272);  // inside the Wi-Fi password of type 3
    ConfigImage image = filled(0x00);
    for (size_t at : loose) image[at] = 0x5A;
    image[79] = 0xC3;
    putText(image, 152, "ab");
    image[160] = 'z';
    ConfigDialog dialog(type, image, noNames_);
    pack(dialog);
    for (size_t at : loose) {
      EXPECT_EQ(image[at], 0x5A) << "type " << type << " byte " << at;
    }
    if (type == 1) {
      EXPECT_EQ(image[79], 0xC3);  // type 1 has no setting in it
    }
    EXPECT_EQ(image[160], type == 6 ? 'z' : 0) << "type " << type;  // type 6 has no APN
  }
}

TEST_F(ConfigDialogTest, EverySettingSurvivesPackAndUnpack) {
  const std::vector<std::string> settings = {"Zones response time=40000",
                                             "Test time value =6",
                                             "Module account=1a2",
                                             "SIM PIN=0042",
                                             "OUT2 config=GSM Trouble",
                                             "Online ID=ONL1",
                                             "TCP port=5001",
                                             "Server IP=10.1.2.3",
                                             "SIM2 Operator Login=u2",
                                             "SIM2 check enable=1",
                                             "Force Offline if AC fail=1",
                                             "U02 Area code=359",
                                             "U02 Phone number=888123456",
                                             "U02 Text SMS=1",
                                             "Command for call 3=ARM",
                                             "Email enable=1",
                                             "Exit Delay=30",
                                             "Z3=24h",
                                             "Z4=Interior",
                                             "Z4 Stay Away=0",
                                             "Key Switch=1",
                                             "Main IP return time=9"};
  ConfigImage image = filled(0xFF);
  ConfigDialog first(5, image, noNames_);
  for (const std::string& s : settings)
    set(first, s.substr(0, s.find('=')), s.substr(s.find('=') + 1));
  pack(first);
  const ConfigImage packed = image;

  ConfigDialog second(5, image, noNames_);
  EXPECT_EQ(shown(second), shown(first));
  EXPECT_EQ(get(second, "Module account"), "01A2");
  EXPECT_EQ(get(second, "SIM PIN"), "0042");
  EXPECT_EQ(image[91], 0x00);
  EXPECT_EQ(image[92], 42);
  EXPECT_EQ(image[74], 40000 & 0xFF);  // low byte first
  EXPECT_EQ(image[89], 0x01);          // high byte first
  EXPECT_EQ(image[105], 0x01);         // Interior, not away
  pack(second);
  EXPECT_EQ(image, packed);
}

TEST_F(ConfigDialogTest, PhoneNumbersAndTexts) {
  ConfigImage image = filled(0x00);
  putText(image, 256, "+359888123456");
  putText(image, 273, "0888123456");
  ConfigDialog dialog(1, image, noNames_);
  EXPECT_EQ(get(dialog, "U01 Area code"), "359");
  EXPECT_EQ(get(dialog, "U01 Phone number"), "888123456");
  EXPECT_EQ(get(dialog, "U02 Area code"), "");
  EXPECT_EQ(get(dialog, "U02 Phone number"), "0888123456");

  // A short area code is stored as typed and read back as three characters after "+".
  set(dialog, "U03 Area code", "49");
  set(dialog, "U03 Phone number", "1701234");
  pack(dialog);
  EXPECT_EQ(textAt(image, 290, 16), std::string("+491701234") + std::string(6, '\0'));
  ConfigDialog again(1, image, noNames_);
  EXPECT_EQ(get(again, "U03 Area code"), "491");
  EXPECT_EQ(get(again, "U03 Phone number"), "701234");

  // A text as wide as its field has no NUL and is read back whole.
  const std::string apn = "abcdefghijklmnopqrstuvwxyz";
  set(again, "APN", apn + "0123");
  set(again, "Online ID", "ID");
  image[178] = 0xFF;
  pack(again);
  EXPECT_EQ(textAt(image, 152, 26), apn);
  EXPECT_EQ(image[178], 0xFF);
  EXPECT_EQ(textAt(image, 179, 15), std::string("ID") + std::string(13, '\0'));
  EXPECT_EQ(get(ConfigDialog(1, image, noNames_), "APN"), apn);
}

TEST_F(ConfigDialogTest, TextSmsBoxesTickedByAClearBit) {
  ConfigImage image = filled(0x00);
  image[105] = 0x0D;  // Interior, away, and a stray bit
  ConfigDialog dialog(2, image, noNames_);
  EXPECT_EQ(get(dialog, "Z4"), "Interior");
  EXPECT_EQ(get(dialog, "U01 Text SMS"), "1");

  ConfigImage gsm = filled(0xFF);
  ConfigDialog type1(1, gsm, noNames_);
  for (std::string_view u : {"U01", "U02", "U03", "U04"}) {
    set(type1, std::string(u) + " Text SMS", "1");
    set(type1, std::string(u) + " Area code", "359");
  }
  pack(type1);
  EXPECT_EQ(gsm[88], 0xF0);
  set(type1, "U03 Text SMS", "0");
  pack(type1);
  EXPECT_EQ(gsm[88], 0xF4);
}

TEST_F(ConfigDialogTest, RangeChecksKeepTheOldValue) {
  ConfigImage image = filled(0x00);
  image[85] = 5;
  ConfigDialog dialog(2, image, noNames_);
  EXPECT_EQ(dialog.setField("Test time value ", "0"), "Test time value  <1");
  EXPECT_EQ(dialog.setField("Test time value ", "256"), "Test time value  >255");
  // Past 16 bits the number must not wrap into the range.
  EXPECT_EQ(dialog.setField("Test time value ", "65537"), "Test time value  >255");
  EXPECT_NE(dialog.setField("Test time value ", "abc"), "");
  EXPECT_NE(dialog.setField("Test time value ", ""), "");
  EXPECT_EQ(get(dialog, "Test time value "), "5");
  EXPECT_EQ(dialog.setField("Exit Delay", "0"), "Exit Delay <1");
  EXPECT_EQ(dialog.setField("Size of Phone number ", "17"), "Size of Phone number  >16");
  EXPECT_EQ(dialog.setField("Zones response time", "0"), "Zones response time <1");
  EXPECT_EQ(dialog.setField("Zones response time", "65536"), "Zones response time >65535");
  set(dialog, "Test time value ", "012");
  EXPECT_EQ(get(dialog, "Test time value "), "12");

  ConfigImage lan = filled(0x00);
  ConfigDialog type3(3, lan, noNames_);
  EXPECT_EQ(type3.setField("Attempts to send a message", "9"), "Attempts to send a message >8");
  EXPECT_EQ(type3.setField("Query time in online", "14"), "Query time in online <15");
  ConfigDialog type6(6, lan, noNames_);
  EXPECT_EQ(type6.setField("Attempts to send a message", "25"), "");
  EXPECT_EQ(type6.setField("ACK wait time", "61"), "ACK wait time >60");
  EXPECT_EQ(type6.setField("ACK wait time", "1"), "");
}

TEST_F(ConfigDialogTest, KeyFiltersCutsAndCaptionMatching) {
  ConfigImage image = filled(0x00);
  ConfigDialog dialog(5, image, noNames_);
  // The field addressed without regard to case or trailing blanks.
  auto valueOf = [&](std::string_view caption) {
    for (const DialogField& f : dialog.fields()) {
      std::string_view c = f.caption;
      if (c.substr(0, c.find_last_not_of(' ') + 1).size() == caption.size() &&
          std::equal(caption.begin(), caption.end(), c.begin(),
                     [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
        return f.value;
      }
    }
    return std::string("?");
  };
  struct Typed {
    std::string_view caption, typed, taken;  // taken empty: refused, the value stays
  };
  for (const Typed& t :
       std::initializer_list<Typed>{{"TCP port", "80a", ""},
                                    {"U01 Phone number", "+3598", ""},
                                    {"SIM PIN", "12a4", ""},
                                    {"Server IP", "10.0.0.x", ""},
                                    {"Module account", "12G4", ""},
                                    {"Module account", "12345", ""},
                                    {"Z1", "Outdoor", ""},
                                    {"Key Switch", "yes", ""},
                                    {"server ip", "10.0.0.1", "10.0.0.1"},
                                    {"test time value", "3", "3"},
                                    {"TCP port", "123456", "1234"},
                                    {"SIM PIN", "12345", "1234"},
                                    {"U01 Area code", "35912", "359"},
                                    {"OUT1 config", "gprs trouble", "GPRS Trouble "},
                                    {"Z1", "interior", "Interior"}}) {
    const std::string before = valueOf(t.caption);
    const std::string error = dialog.setField(t.caption, t.typed);
    EXPECT_EQ(error.empty(), !t.taken.empty()) << t.caption << "=" << t.typed << ": " << error;
    EXPECT_EQ(valueOf(t.caption), t.taken.empty() ? before : std::string(t.taken)) << t.caption;
  }
  EXPECT_NE(dialog.setField("LOCAL IP", "1.2.3.4"), "");  // not a field of this type
}

TEST_F(ConfigDialogTest, EachTypeShowsItsOwnFieldsUnderUniqueCaptions) {
  ConfigImage image = filled(0xFF);
  struct Expect {
    int type;
    std::vector<std::string_view> shown, hidden;
  };
  const std::vector<Expect> expects = {
      {1,
       {"U04 Phone number", "SIM PIN", "Attempts for reconnect online", "Force Offline if bat low"},
       {"Command for call 1", "SIM2 APN", "SIM2 check enable", "SMTP address", "Z1", "LOCAL IP"}},
      {2, {"SMTP address", "Z1", "Exit Delay", "With authentication"}, {"SIM2 APN", "Auto"}},
      {5,
       {"Main IP return time", "SIM2 APN", "SIM2 Operator Password", "Command for call 4",
        "SIM2 check enable"},
       {"Attempts for reconnect online", "Wifi password"}},
      {3,
       {"Wifi password", "Module Status", "Authentication mode", "Auto", "APN", "LOCAL IP",
        "IP Config method", "Attempts to send a message"},
       {"U01 Phone number", "SIM PIN", "Operator Login", "Reconnect time for online ",
        "Size of Phone number ", "Force Offline if AC fail", "Command for call 1"}},
      {6,
       {"ACK wait time", "GATEWAY", "IP Config method", "Attempts to send a message"},
       {"APN", "Wifi password", "Auto", "Authentication mode", "Query time in online"}},
  };
  for (const Expect& e : expects) {
    ConfigDialog dialog(e.type, image, noNames_);
    for (std::string_view c : e.shown) EXPECT_TRUE(shows(dialog, c)) << e.type << " " << c;
    for (std::string_view c : e.hidden) EXPECT_FALSE(shows(dialog, c)) << e.type << " " << c;
    std::set<std::string> seen;
    for (const DialogField& f : dialog.fields()) {
      std::string key = f.caption.substr(0, f.caption.find_last_not_of(' ') + 1);
      std::transform(key.begin(), key.end(), key.begin(), ::tolower);
      EXPECT_TRUE(seen.insert(key).second) << "type " << e.type << ": " << f.caption;
    }
  }
  ConfigImage copy = image;
  EXPECT_THROW(ConfigDialog(4, copy, noNames_), std::invalid_argument);
}

TEST_F(ConfigDialogTest, LaterFieldsWinWhereTheyShareBytes) {
  ConfigImage image = filled(0x00);
  putText(image, 256, "+359888123456");
  putText(image, 594, "CALL1");
  ConfigDialog type3(3, image, noNames_);
  const std::string wifi(64, 'w');
  set(type3, "Wifi password", wifi);
  set(type3, "SUBNET_MASK", "255.255.255.0");
  set(type3, "GATEWAY", "192.168.1.1");
  set(type3, "Authentication mode", "wpa2psk");
  pack(type3);
  EXPECT_EQ(textAt(image, 256, 64), wifi);
  EXPECT_EQ(textAt(image, 593, 14), std::string("255.255.255.0") + '\0');
  EXPECT_EQ(textAt(image, 609, 12), std::string("192.168.1.1") + '\0');
  EXPECT_EQ(textAt(image, 237, 8), std::string("WPA2PSK") + '\0');
  // What the dialog greys out cannot be typed into either.
  set(type3, "Auto", "1");
  set(type3, "IP Config method", "dhcp");
  EXPECT_NE(type3.setField("Encryption algorithm", "AES"), "");
  EXPECT_NE(type3.setField("GATEWAY", "10.0.0.1"), "");
  pack(type3);
  EXPECT_EQ(image[79], 0x30);

  ConfigImage six = filled(0x00);
  putText(six, 237, "login");
  putText(six, 246, "secret");
  ConfigDialog type6(6, six, noNames_);
  pack(type6);
  EXPECT_EQ(textAt(six, 237, 17), std::string(17, '\0'));
}

TEST_F(ConfigDialogTest, MarkTablesPerTypeWithRenamedRows) {
  ConfigImage image = filled(0x00);
  image[2] = 0x11;  // "OUT1 Activate": U1 and Reply
  image[135] = 0x02;
  const auto names = dir_.write("a.ini", "[Commands]\nL2=Open gate\n[Events]\nL7=Door\n");

  auto rowCounts = [&](int type) {
    ConfigDialog d(type, image, names);
    std::vector<size_t> counts;
    for (const MarkTable& t : d.markTables()) counts.push_back(t.rows.size());
    return counts;
  };
  EXPECT_EQ(rowCounts(1), (std::vector<size_t>{24, 16}));
  EXPECT_EQ(rowCounts(2), (std::vector<size_t>{25, 28}));
  EXPECT_EQ(rowCounts(5), (std::vector<size_t>{26, 35}));
  EXPECT_TRUE(rowCounts(3).empty());
  EXPECT_TRUE(rowCounts(6).empty());

  ConfigDialog type1(1, image, names);
  const auto tables = type1.markTables();
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0].name, "Commands");
  EXPECT_EQ(tables[1].name, "EVENTS ");
  EXPECT_EQ(tables[0].rows[1].name, "Open gate");  // row 2, "OUT1 Activate"
  EXPECT_EQ(tables[0].rows[1].bits, 0x11);
  EXPECT_EQ(tables[0].rows[2].name, "OUT1 Deactivate");
  EXPECT_EQ(tables[1].rows[6].name, "Door");  // row 7, "Acc 220 Fail"
  EXPECT_EQ(tables[1].columns, (std::vector<std::string>{"U1", "U2", "U3", "U4"}));

  EXPECT_EQ(type1.setMark(" events ", 7, 3, true), "");
  EXPECT_NE(type1.setMark("EVENTS", 7, 4, true), "");  // U4 only for type 5
  EXPECT_EQ(type1.setMark("commands", 2, 1, false), "");
  EXPECT_EQ(type1.setMark("Commands", 9, 5, true), "");  // "Ext. Transmitter Test Request"
  EXPECT_NE(type1.setMark("Commands", 25, 1, true), "");
  EXPECT_NE(type1.setMark("Commands", 1, 6, true), "");
  pack(type1);
  EXPECT_EQ(image[55], 0x04);
  EXPECT_EQ(image[2], 0x10);
  EXPECT_EQ(image[132], 0x10);

  ConfigDialog type5(5, image, names);
  EXPECT_EQ(type5.markTables()[1].rows[28].name, "Control Panel Mode");
  EXPECT_NE(type5.setMark("EVENTS ", 29, 1, true), "");
  EXPECT_EQ(type5.setMark("EVENTS ", 35, 4, true), "");  // "Unregistered Code/Key"
  pack(type5);
  EXPECT_EQ(image[149], 0x08);
}

TEST_F(ConfigDialogTest, OkChecksInOrder) {
  ConfigImage image = filled(0xFF);
  ConfigDialog dialog(1, image, noNames_);
  set(dialog, "U01 Text SMS", "1");
  set(dialog, "Test time value ", "9");

  ScriptedOperator op;  // WARNING gets its safe answer, No: nothing packed
  EXPECT_FALSE(dialog.accept(op));
  EXPECT_EQ(op.asked, std::vector<std::string>{std::string(kWarning)});
  EXPECT_EQ(image[85], 0xFF);

  set(dialog, "U01 Area code", "359");
  set(dialog, "U01 Phone number", "");
  ScriptedOperator noNumber;
  EXPECT_FALSE(dialog.accept(noNumber));
  EXPECT_EQ(noNumber.messages, std::vector<std::string>{"ERROR|You must enter valid phone number"});
  EXPECT_EQ(image[85], 9);  // packed before the number check
  EXPECT_TRUE(noNumber.asked.empty());

  set(dialog, "U01 Phone number", "888123456");
  set(dialog, "U04 Phone number", "");
  set(dialog, "U04 Area code", "49");  // the fourth number is checked as well
  ScriptedOperator fourth;
  EXPECT_FALSE(dialog.accept(fourth));
  EXPECT_EQ(fourth.messages.size(), 1u);
  set(dialog, "U04 Phone number", "1701234");

  dialog.security.newCode = "1234";
  dialog.security.repeatCode = "1243";
  ScriptedOperator mismatch;
  EXPECT_FALSE(dialog.accept(mismatch));
  EXPECT_TRUE(mismatch.asked.empty() && mismatch.messages.empty());
  dialog.security.openPassword = true;

  ScriptedOperator no;
  EXPECT_FALSE(dialog.accept(no));
  EXPECT_EQ(no.asked, std::vector<std::string>{"QUESTION|Save?"});
  ScriptedOperator yes;
  yes.answers = {Button::Yes};
  EXPECT_TRUE(dialog.accept(yes));

  // A warning answered Yes goes on to the other checks.
  set(dialog, "U02 Text SMS", "1");
  ScriptedOperator both;
  both.answers = {Button::Yes, Button::Yes};
  EXPECT_TRUE(dialog.accept(both));
  EXPECT_EQ(both.asked.size(), 2u);
}

TEST_F(ConfigDialogTest, SaveWritesIntelHex) {
  ConfigImage image = filled(0xFF);
  ConfigDialog type3(3, image, noNames_);
  set(type3, "Online ID", "AB");
  ScriptedOperator op;
  ASSERT_EQ(type3.save(dir_ / "cfg.hex", op), "");
  EXPECT_TRUE(op.asked.empty());  // no Text SMS boxes on a network module

  const std::string text = dir_.read("cfg.hex");
  ASSERT_TRUE(text.ends_with("\r\n:00000001FF\r\n")) << text;
  EXPECT_EQ(text.find("C/"), std::string::npos);
  ConfigImage loaded = filled(0xFF);
  size_t records = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (line == kHexEndRecord) break;
    auto record = decodeHexRecord(line);
    ASSERT_TRUE(record && record->checksumOk && record->data.size() == 16) << line;
    storeHexRecord(*record, loaded);
    ++records;
  }
  EXPECT_EQ(loaded, image);
  EXPECT_LT(records, 64u);                               // blocks of all 0xFF left out
  EXPECT_NE(text.find(":1000B000"), std::string::npos);  // Online ID lives in 0x00B0

  EXPECT_NE(type3.save(dir_ / "missing" / "cfg.hex", op), "");

  ConfigDialog type1(1, image, noNames_);
  set(type1, "U01 Text SMS", "1");
  ScriptedOperator refuse;
  EXPECT_NE(type1.save(dir_ / "refused.hex", refuse), "");
  EXPECT_EQ(refuse.asked, std::vector<std::string>{std::string(kWarning)});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "refused.hex"));
}

}  // namespace
}  // namespace orv
