// The console's sequences against a module simulator on a real module port, with a scripted
// operator: what the module receives, what the operator is told, and what is never written.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "common/hex_record.h"
#include "common/main_loop.h"
#include "server/core/server_core.h"
#include "server/programming/config_dialog.h"
#include "server/programming/device_dialog.h"
#include "server/programming/image_blocks.h"
#include "server/programming/text_dialog.h"
#include "tests/support/module_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/scripted_operator.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using namespace std::chrono_literals;
using test::ScriptedOperator;

constexpr int kWaitMs = 20000;

ConfigImage readHexImage(const std::filesystem::path& file) {
  ConfigImage image;
  image.fill(0xFF);
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (auto record = decodeHexRecord(line)) storeHexRecord(*record, image, 0);
  }
  return image;
}

// A configuration as a type-2 module would hold it: every field packed from a plain image.
ConfigImage typicalImage(const std::filesystem::path& dir) {
  ConfigImage image;
  image.fill(0xFF);
  ConfigDialog dialog(2, image, dir / "a.ini");
  for (const auto& [caption, value] :
       std::vector<std::pair<std::string, std::string>>{{"Test time value ", "6"},
                                                        {"APN", "internet.example"},
                                                        {"Server IP", "192.0.2.10"},
                                                        {"TCP port", "7780"},
                                                        {"Module account", "1000"},
                                                        {"U01 Area code", "49"},
                                                        {"U01 Phone number", "1701234567"}}) {
    EXPECT_EQ(dialog.setField(caption, value), "") << caption;
  }
  ScriptedOperator op;
  op.buttons = {Button::Yes};
  EXPECT_TRUE(dialog.accept(op));
  return image;
}

class Programming : public testing::Test {
 protected:
  void SetUp() override {
    port_ = test::freePort();
    dir_.write("ORV_Serv.ini", "[GPRS0]\nPort=" + std::to_string(port_) + "\n");
    core_ = std::make_unique<ServerCore>(loop_, dir_.path());
    testing::internal::CaptureStderr();
    core_->start();
    testing::internal::GetCapturedStderr();
  }
  void TearDown() override {
    module_.reset();
    testing::internal::CaptureStderr();
    core_.reset();
    testing::internal::GetCapturedStderr();
  }

  // Starts the module simulator with these extra options and waits until the console lists it.
  // Its configuration is the typical one unless the options give another.
  void startModule(std::vector<std::string> options) {
    std::vector<std::string> args = {
        "--port", std::to_string(port_), "--poll-ms", "20", "--seconds",
        "600",    "--id-prefix",         "SIM"};
    if (std::find(options.begin(), options.end(), "--image") == options.end()) {
      writeImage("typical.hex", typicalImage(dir_.path()));
      args.insert(args.end(), {"--image", (dir_ / "typical.hex").string()});
    }
    args.insert(args.end(), options.begin(), options.end());
    module_ = std::make_unique<test::Process>(ORV_MODSIM_PATH, args);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
      std::vector<std::string> rows = core_->commandConsole().targetRows(0);
      if (std::find(rows.begin(), rows.end(), "SIM0001 ( 1000 )") != rows.end()) return;
      std::this_thread::sleep_for(10ms);
    }
    FAIL() << "the module never appeared; it printed:\n" << module_->output();
  }

  CommandConsole& console() { return core_->commandConsole(); }

  void writeImage(std::string_view name, const ConfigImage& image) {
    std::string hex;
    for (size_t a = 0; a < image.size(); a += 16) {
      hex += encodeHexRecord(static_cast<uint16_t>(a), std::span(image).subspan(a, 16)) + "\n";
    }
    dir_.write(name, hex);
  }

  test::TempDir dir_;
  uint16_t port_ = 0;
  MainLoop loop_;
  std::unique_ptr<ServerCore> core_;
  std::unique_ptr<test::Process> module_;
};

TEST_F(Programming, ModuleConfigWritesTheOperatorsChangeAndKeepsEverythingElse) {
  const ConfigImage before = typicalImage(dir_.path());
  writeImage("before.hex", before);
  startModule(
      {"--image", (dir_ / "before.hex").string(), "--image-out", (dir_ / "after.hex").string()});

  ScriptedOperator op;
  op.buttons = {Button::Yes};  // "Save?"
  std::string shownTestTime;
  op.onDialog = [&](ImageDialog& dialog) {
    for (const DialogField& f : dialog.fields()) {
      if (f.caption == "Test time value ") shownTestTime = f.value;
    }
    EXPECT_EQ(dialog.setField("Test time value ", "12"), "");
    return true;
  };
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", op), ConsoleOutcome::Done)
      << testing::PrintToString(op.logLines());
  EXPECT_EQ(shownTestTime, "6");
  ASSERT_TRUE(module_->waitForLine("scfg SIM0001:", kWaitMs)) << module_->output();

  ConfigImage expected = before;
  expected[85] = 12;
  EXPECT_EQ(readHexImage(dir_ / "after.hex"), expected);
  // Every block that is not all 0xFF went to the module, and the count says so (+1 end record).
  size_t sent = 0;
  for (size_t a = 0; a < expected.size(); a += 16) {
    sent += std::any_of(expected.begin() + a, expected.begin() + a + 16,
                        [](uint8_t b) { return b != 0xFF; });
  }
  // The simulator counts the end record among the records, as the count line does.
  EXPECT_NE(module_->output().find("scfg SIM0001: " + std::to_string(sent + 1) + " records, C/" +
                                   std::to_string(sent + 1)),
            std::string::npos)
      << sent << " blocks\n"
      << module_->output();
  const std::vector<std::string> log = op.logLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "lcfg"), log.end());
}

TEST_F(Programming, SecurityCodeIsAskedCheckedAndChanged) {
  startModule({"--code", "0042", "--firmware", "v.34"});
  ScriptedOperator wrong;
  wrong.code = "9999";
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", wrong), ConsoleOutcome::WrongCode);
  EXPECT_EQ(wrong.messages(), std::vector<std::string>{"Error: Security Code is incorrect !"});
  EXPECT_EQ(wrong.dialogs(), 0);

  // The right code, written with its leading zeros; the operator sets a new one.
  ScriptedOperator right;
  right.code = "42";
  right.buttons = {Button::Yes};
  right.onDialog = [](ImageDialog& dialog) {
    EXPECT_TRUE(dialog.security.codeRequest);
    dialog.security.oldCode = "0042";
    dialog.security.newCode = "1234";
    dialog.security.repeatCode = "1234";
    return true;
  };
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", right), ConsoleOutcome::Done);
  EXPECT_TRUE(right.messages().empty()) << right.messages().front();

  // Only the new code opens the module now.
  ScriptedOperator old;
  old.code = "0042";
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", old), ConsoleOutcome::WrongCode);
  ScriptedOperator fresh;
  fresh.code = "1234";
  fresh.onDialog = [](ImageDialog&) { return false; };
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", fresh), ConsoleOutcome::Cancelled);
  EXPECT_EQ(fresh.dialogs(), 1);
}

TEST_F(Programming, ArmedObjectAndUnknownFirmwareOpenNoDialog) {
  startModule({"--armed"});
  ScriptedOperator op;
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", op), ConsoleOutcome::Armed);
  EXPECT_EQ(op.messages(),
            std::vector<std::string>{"Error: Object is Armed. Programming not allowed."});
  EXPECT_EQ(op.dialogs(), 0);
  EXPECT_EQ(module_->output().find("scfg"), std::string::npos);
}

TEST_F(Programming, AThreeCharacterVersionIsNoModuleType) {
  startModule({"--mode-answer", "v.3_mode0"});
  ScriptedOperator op;
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", op), ConsoleOutcome::Refused);
  EXPECT_EQ(op.dialogs(), 0);
}

TEST_F(Programming, IncompleteReadIsRetriedOrIgnoredAsTheOperatorSays) {
  startModule({"--incomplete-reads", "3", "--image-out", (dir_ / "after.hex").string()});
  ScriptedOperator abort;
  abort.buttons = {Button::Abort};
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", abort), ConsoleOutcome::Incomplete);
  EXPECT_EQ(abort.questions(), std::vector<std::string>{"Some data was lost!"});
  EXPECT_EQ(abort.dialogs(), 0);

  // Retry reads again (still short), then the operator takes what came.
  ScriptedOperator retry;
  retry.buttons = {Button::Retry, Button::Ignore, Button::No};
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", retry), ConsoleOutcome::Cancelled);
  EXPECT_EQ(retry.questions().size(), 3u);  // lost, lost again, "Save?"
  EXPECT_EQ(retry.dialogs(), 1);

  // The fourth read is whole: no question but "Save?".
  ScriptedOperator whole;
  whole.buttons = {Button::Yes};
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", whole), ConsoleOutcome::Done);
  EXPECT_EQ(whole.questions().size(), 1u);
  EXPECT_TRUE(module_->waitForLine("scfg SIM0001:", kWaitMs));
}

TEST_F(Programming, BreakEndsTheWaitAndNothingIsWritten) {
  startModule({"--mute-mode"});
  ScriptedOperator op;
  op.breakNow = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(console().moduleConfig(0, "SIM0001", op), ConsoleOutcome::NoAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(op.dialogs(), 0);
}

TEST_F(Programming, AModuleThatFloodsItsAnswerIsCutOffAndNothingIsWritten) {
  test::ModulePeer module;
  ASSERT_TRUE(module.connect(port_));
  ASSERT_TRUE(module.identify("aBIG1,2000"));
  ScriptedOperator op;
  auto sequence =
      std::async(std::launch::async, [&] { return console().moduleConfig(0, "BIG1", op); });
  // The clock setting may come first.
  std::string command = module.pollForCommand(kWaitMs);
  if (command != "1BIG1:mode?") command = module.pollForCommand(kWaitMs);
  ASSERT_EQ(command, "1BIG1:mode?");
  EXPECT_TRUE(module.send(std::string(1 << 20, 'v')))
      << describeSocketError(module.socket.lastError());
  EXPECT_TRUE(module.closedWithin(kWaitMs));
  op.breakNow = true;
  EXPECT_EQ(sequence.get(), ConsoleOutcome::NoConnection)
      << testing::PrintToString(op.messages()) << testing::PrintToString(op.logLines());
  EXPECT_EQ(op.dialogs(), 0);
}

TEST_F(Programming, FileTransfersSendAndFetchWholeFiles) {
  startModule({"--log-lines", "4"});
  dir_.write("codes.hex",
             ":10000000000102030405060708090A0B0C0D0E0F78\r\n\r\n:0400100010111213A6\r\n"
             ":00000001FF\r\n");
  ScriptedOperator op;
  op.file = dir_ / "codes.hex";
  EXPECT_EQ(console().loadCodes(0, "SIM0001", op), ConsoleOutcome::Done);
  EXPECT_TRUE(module_->waitForLine("stab SIM0001: 3 lines, C/3", kWaitMs)) << module_->output();
  EXPECT_EQ(console().update(0, "SIM0001", op), ConsoleOutcome::Done);
  EXPECT_TRUE(module_->waitForLine("sfirm SIM0001: 3 lines, C/3", kWaitMs)) << module_->output();

  op.file = dir_ / "module.log";
  EXPECT_EQ(console().getLog(0, "SIM0001", op), ConsoleOutcome::Done);
  const std::string log = dir_.read("module.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_EQ(log.find("#4"), std::string::npos);
  EXPECT_EQ(log.front(), ':');
}

TEST_F(Programming, FirmwareThatIsNotHexOrGoesToAV31IsRefused) {
  startModule({"--firmware", "v.31"});
  dir_.write("fw.hex", ":00000001FF\r\n");
  ScriptedOperator op;
  op.file = dir_ / "fw.hex";
  EXPECT_EQ(console().update(0, "SIM0001", op), ConsoleOutcome::Refused);
  EXPECT_EQ(op.messages(), std::vector<std::string>{"Error: Incorrect module type: v.31"});

  std::string binary(4096, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
  dir_.write("binary.hex", binary);
  ScriptedOperator garbage;
  garbage.file = dir_ / "binary.hex";
  EXPECT_EQ(console().loadCodes(0, "SIM0001", garbage), ConsoleOutcome::Refused);
  EXPECT_EQ(module_->output().find("stab"), std::string::npos);
}

TEST_F(Programming, EnterQueuesToTheModuleOrSaysNoConnection) {
  startModule({"--verbose"});
  ScriptedOperator op;
  EXPECT_EQ(console().send(0, "NOPE", "0", op), ConsoleOutcome::NoConnection);
  EXPECT_EQ(op.logLines(), std::vector<std::string>{"NOPE: No connection"});
  EXPECT_EQ(console().send(0, "", "0", op), ConsoleOutcome::Cancelled);
  EXPECT_EQ(console().send(0, "SIM0001", "STATUS", op), ConsoleOutcome::Done);
  EXPECT_TRUE(module_->waitForOutput("SIM0001:STATUS", kWaitMs)) << module_->output();
}

// The line's GSM receiver device ("Com") over TCP: a type 7 image is read, a telephone number
// added, and the device receives the image with it.
TEST(ProgrammingDevice, ModuleConfigOnTheDeviceLineReadsAndWritesTheImage) {
  test::TempDir dir;
  const uint16_t port = test::freePort();
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=0\nTcpOn=1\nTcpPort=" + std::to_string(port) + "\n");
  DeviceImage image;
  image.fill(0xFF);
  {
    DeviceDialog dialog(7, image);
    ASSERT_EQ(dialog.setField("APN", "internet"), "");
    ASSERT_EQ(dialog.setRecords("Phones", {{"35312345", "12AB", "1"}, {"4930555", "0042", "2"}}),
              "");
    ScriptedOperator op;
    op.buttons = {Button::Yes, Button::Yes};
    ASSERT_TRUE(dialog.accept(op)) << testing::PrintToString(op.messages());
  }
  dir.write("device.bin", std::string(image.begin(), image.end()));
  MainLoop loop;
  ServerCore core(loop, dir.path());
  testing::internal::CaptureStderr();
  core.start();
  testing::internal::GetCapturedStderr();
  test::Process device(ORV_GSMDEV_PATH,
                       {"--connect", "127.0.0.1:" + std::to_string(port), "--mode-reply",
                        "v.42_mode0", "--image", (dir / "device.bin").string(), "--save-image",
                        (dir / "written.bin").string(), "--events", "100000", "--rate", "20"});
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (core.commandConsole().targetRows(0) != std::vector<std::string>{"Com ( 7777 )"} &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(core.commandConsole().targetRows(0), std::vector<std::string>{"Com ( 7777 )"});

  ScriptedOperator op;
  op.buttons = {Button::Yes, Button::Yes};
  std::string firmware;
  std::vector<std::vector<std::string>> shown;
  op.onDialog = [&](ImageDialog& dialog) {
    firmware = dialog.firmwareVersion;
    shown = dialog.recordTables().at(0).rows;
    std::vector<std::vector<std::string>> rows = shown;
    rows.push_back({"36201234567", "0FFF", "3"});
    EXPECT_EQ(dialog.setRecords("Phones", rows), "");
    return true;
  };
  EXPECT_EQ(core.commandConsole().moduleConfig(0, "Com", op), ConsoleOutcome::Done)
      << testing::PrintToString(op.logLines()) << testing::PrintToString(op.messages());
  EXPECT_EQ(firmware, "v.42-");
  EXPECT_EQ(shown, (std::vector<std::vector<std::string>>{{"35312345", "12AB", "1"},
                                                          {"4930555", "0042", "2"}}));
  ASSERT_TRUE(device.waitForLine("scfg", kWaitMs)) << device.output();
  const std::string written = test::readFile(dir / "written.bin");
  DeviceImage received;
  received.fill(0xFF);
  std::copy_n(written.begin(), std::min(written.size(), received.size()), received.begin());
  DeviceDialog check(7, received);
  EXPECT_EQ(check.recordTables().at(0).rows.size(), 3u);
  EXPECT_EQ(check.recordTables().at(0).rows.back(),
            (std::vector<std::string>{"36201234567", "0FFF", "3"}));
}

TEST_F(Programming, EditReadsTheTextsAndWritesTheChangeBack) {
  TextImage texts;
  texts.fill(0xFF);
  {
    TextDialog editor(false, texts);
    ASSERT_EQ(editor.setRecords("Events", {{"1A2B3C4D", "Front door"}}), "");
    ScriptedOperator op;
    ASSERT_TRUE(editor.accept(op));
    texts = editor.packed();
  }
  dir_.write("texts.hex", imageHexText(texts, kTextImageBase, kTextImageBase + kTextImageSize));
  startModule({"--text-image", (dir_ / "texts.hex").string(), "--text-out",
               (dir_ / "texts-out.hex").string()});
  ScriptedOperator op;
  std::vector<std::vector<std::string>> shown;
  op.onDialog = [&](ImageDialog& dialog) {
    shown = dialog.recordTables().at(0).rows;
    EXPECT_EQ(dialog.setRecords("Events", {{"1A2B3C4D", "Front door"}, {"E130", "Tür offen"}}), "");
    return true;
  };
  EXPECT_EQ(console().edit(0, "SIM0001", op), ConsoleOutcome::Done)
      << testing::PrintToString(op.messages());
  EXPECT_EQ(shown, (std::vector<std::vector<std::string>>{{"1A2B3C4D", "Front door"}}));
  ASSERT_TRUE(module_->waitForLine("stxt SIM0001:", kWaitMs)) << module_->output();

  TextImage received;
  received.fill(0xFF);
  std::ifstream in(dir_ / "texts-out.hex");
  for (std::string line; std::getline(in, line);) {
    if (auto record = decodeHexRecord(line)) storeHexRecord(*record, received, kTextImageBase);
  }
  TextDialog check(false, received);
  EXPECT_EQ(check.recordTables().at(0).rows.size(), 2u);
  EXPECT_EQ(check.recordTables().at(0).rows.back().at(1), "Tür offen");
}

}  // namespace
}  // namespace orv
