#include "server/modules/module_protocol.h"

#include <gtest/gtest.h>

#include <random>

#include "common/hex_record.h"
#include "server/modules/module_status.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

TEST(TakeLine, UpToTheFirstLineFeedTrimmed) {
  std::string input = "  Q \r\nM01,1234\r\npartial";
  EXPECT_EQ(takeLine(input), "Q");
  EXPECT_EQ(takeLine(input), "M01,1234");
  EXPECT_EQ(takeLine(input), std::nullopt);
  EXPECT_EQ(input, "partial");
  std::string controls =
      "\x01\x02"
      "abc\x7f\t\r\n";
  EXPECT_EQ(takeLine(controls), "abc\x7f");  // DEL is above the space: it stays
  std::string empty = "\r\n";
  EXPECT_EQ(takeLine(empty), "");
}

TEST(EventChecksum, XorFromTheSecondCharacterUpToTheStar) {
  std::string body = "M01,1234,E13001003";
  uint8_t x = 0;
  for (size_t i = 1; i < body.size(); ++i) x ^= static_cast<uint8_t>(body[i]);
  char sum[4];
  std::snprintf(sum, sizeof sum, "%02x", x);  // either case is read

  std::string good = body + "*" + sum;
  EXPECT_TRUE(checkEventChecksum(good));
  EXPECT_EQ(good, body);
  std::string bad = body + "*00";
  EXPECT_EQ(checkEventChecksum(bad), x == 0);
  EXPECT_EQ(bad, body);  // cut either way
  std::string none = body;
  EXPECT_TRUE(checkEventChecksum(none));
  std::string starFirst = "*12";
  EXPECT_TRUE(checkEventChecksum(starFirst));
  EXPECT_EQ(starFirst, "*12");
  std::string truncated = body + "*4";
  EXPECT_FALSE(checkEventChecksum(truncated));
  std::string starAtEnd = body + "*";
  EXPECT_FALSE(checkEventChecksum(starAtEnd));
}

TEST(TimeAnswer, IdentifierAndTwelveDigits) {
  LocalDateTime t{2025, 12, 7, 9, 5, 3, 0};
  EXPECT_EQ(timeAnswer("ABC123", t), "1ABC123:99.c071225090503\r\n");
  EXPECT_EQ(timeAnswer("", t), "1:99.c071225090503\r\n");
}

TEST(ClientOrder, ComComesFirstInBothOrders) {
  TClientList list;
  auto add = [&](std::string id, uint16_t acc) {
    auto c = std::make_shared<tClientContext>();
    c->moduleId = std::move(id);
    c->account = acc;
    list.add(c);
  };
  add("B2", 1);
  add("Com", 9);
  add("A1", 5);
  sortClients(list, ClientOrder::ById);
  std::vector<std::string> ids;
  for (const ModuleRow& r : moduleRows(list)) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"Com", "A1", "B2"}));
  EXPECT_EQ(currentClientOrder(), ClientOrder::ById);

  sortClients(list, ClientOrder::ByAccount);
  ids.clear();
  for (const ModuleRow& r : moduleRows(list)) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"Com", "B2", "A1"}));
  EXPECT_EQ(list.find("A1")->account, 5);
  EXPECT_EQ(list.find("nobody"), nullptr);
  setCurrentClientOrder(ClientOrder::ById);
}

// Identifications change keys among many records; whatever mix of single changes, whole
// re-sorts, arrivals and departures came, a read shows the order a full sort would give.
TEST(ClientOrder, PlacingChangedRecordsMatchesAWholeSort) {
  for (ClientOrder order : {ClientOrder::ById, ClientOrder::ByAccount}) {
    setCurrentClientOrder(order);
    TClientList list;
    std::vector<ClientPtr> all;
    std::mt19937 random(11);
    auto rename = [&](tClientContext& c) {
      std::lock_guard guard(c.lock);
      c.moduleId = random() % 17 == 0 ? "Com" : "M" + std::to_string(random() % 300);
      c.account = static_cast<uint16_t>(random() % 300);
    };
    for (int i = 0; i < 200; ++i) {
      all.push_back(std::make_shared<tClientContext>());
      rename(*all.back());
      list.add(all.back());
    }
    list.sort(order);
    for (int round = 0; round < 60; ++round) {
      for (int k = 0; k < 6; ++k) {
        tClientContext& c = *all[random() % all.size()];
        rename(c);
        list.markUnsorted(&c);
      }
      if (round % 3 == 0) {  // one leaves after it was marked, one arrives unidentified
        ClientPtr gone = all[random() % all.size()];
        list.markUnsorted(gone.get());
        list.remove(gone.get());
        std::erase(all, gone);
        all.push_back(std::make_shared<tClientContext>());
        list.add(all.back());
        list.markUnsorted(all.back().get());
      }
      if (round % 17 == 0) {
        rename(*all[random() % all.size()]);
        list.markUnsorted();
      }
      std::vector<ClientPtr> shown = list.snapshot();
      ASSERT_EQ(shown.size(), all.size());
      for (size_t i = 1; i < shown.size(); ++i) {
        ClientSortKey a{shown[i - 1]->moduleId, shown[i - 1]->account};
        ClientSortKey b{shown[i]->moduleId, shown[i]->account};
        ASSERT_FALSE(clientBefore(order, b, a)) << "round " << round << " row " << i;
      }
      for (const ClientPtr& c : all) ASSERT_TRUE(list.contains(c.get()));
    }
  }
  setCurrentClientOrder(ClientOrder::ById);
}

TEST(ClientOrder, UnmarkedListKeepsItsOrderAndNewcomersWaitAtTheEnd) {
  TClientList list;
  auto add = [&](std::string id) {
    auto c = std::make_shared<tClientContext>();
    c->moduleId = std::move(id);
    list.add(c);
    return c;
  };
  add("B");
  add("A");
  EXPECT_EQ(list.at(0)->moduleId, "B");  // nothing marked: as they came
  list.sort(ClientOrder::ById);
  ClientPtr late = add("0");
  EXPECT_EQ(list.at(2), late);
  ClientPtr renamed = list.at(1);  // "B"
  {
    std::lock_guard guard(renamed->lock);
    renamed->moduleId = "1";
  }
  list.markUnsorted(renamed.get());
  std::vector<std::string> ids;
  for (const ModuleRow& r : moduleRows(list)) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"0", "1", "A"}));
}

TEST(ModuleRowText, ColumnsAndFormats) {
  tClientContext c;
  c.moduleId = "ABC";
  c.account = 0x1F2A;
  c.peerAddress = "10.1.2.3";
  c.messageCount = 7;
  c.lastReceived = "Q\r\n";
  c.number = 3;
  c.supplyVoltage = "12.6";
  c.signalQuality = "18";
  ModuleRow r = moduleRow(c);
  EXPECT_EQ(r.acc, "1F2A");
  EXPECT_EQ(r.lastMessage, "Q\r\n ");
  EXPECT_EQ(r.mcnt, "7");
  EXPECT_EQ(r.nr, "3");
  EXPECT_EQ(ModuleRow::columns().size(), 9u);
  c.account = 0;
  EXPECT_EQ(moduleRow(c).acc, "0");
}

// Drives the protocol of one connection without sockets.
class ProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStderr();
    outputs = std::make_unique<tOList>(IniFile::fromText("[Client0]\nId=Bank\nQSize=100\n"), false,
                                       dir.path());
    testing::internal::GetCapturedStderr();
    line.lineDigit = '1';
    line.lifeTimeMs = 300000;
    line.syncPMs = 3600000;
    line.identityLine = false;
    line.accountFilter = &filter;
    line.outputs = outputs.get();
    line.clients = &clients;
    line.console = &console;
    protocol = std::make_unique<ModuleProtocol>(line);
    client.syncInterval = 60000;
    client.lastSyncTick = now - 60001;
    client.lastPollEventTick = now - line.syncPMs - 1;
  }

  // Sends one chunk; returns the answer, "<arm>" when the server only waits for more, or
  // "<wait>" when it arms nothing.
  std::string say(std::string_view chunk) {
    client.input.append(chunk);
    return render(protocol->onReceive(client, now));
  }
  static std::string render(const ModuleProtocol::Outcome& o) {
    switch (o.next) {
      case ModuleProtocol::Next::Send:
        return o.text;
      case ModuleProtocol::Next::Arm:
        return "<arm>";
      case ModuleProtocol::Next::Wait:
        return "<wait>";
    }
    return "";
  }

  test::TempDir dir;
  std::unique_ptr<tOList> outputs;
  tAFList filter;
  TClientList clients;
  ModuleConsole console;
  ModuleLineContext line;
  std::unique_ptr<ModuleProtocol> protocol;
  tClientContext client;
  uint32_t now = 1000000;
};

TEST_F(ProtocolTest, IdentificationSetsIdentifierAndAccount) {
  EXPECT_TRUE(say("aABC123,1F2A\r\n").starts_with("1ABC123:99.c"));
  EXPECT_EQ(client.moduleId, "ABC123");
  EXPECT_EQ(client.account, 0x1F2A);
  EXPECT_TRUE(say("a,1234\r\n").starts_with("1:99.c"));
  EXPECT_EQ(client.moduleId, "");
  EXPECT_EQ(client.account, 0x1234);
  EXPECT_TRUE(say("a9999\r\n").starts_with("1:99.c"));  // no comma: nothing changes
  EXPECT_EQ(client.account, 0x1234);
  EXPECT_TRUE(say("IXYZ\r\n").starts_with("1XYZ:99.c"));
  EXPECT_EQ(client.moduleId, "XYZ");
  EXPECT_TRUE(say("T\r\n").starts_with("1XYZ:99.c"));
}

TEST_F(ProtocolTest, CommandsGoOutOneAPollWithTheirPrefix) {
  say("aM1,1234\r\n");
  client.queueCommand("x");
  client.queueCommand("y");
  EXPECT_EQ(say("Q\r\n"), "2M1:x\r\n");
  EXPECT_EQ(say("Q\r\n"), "1M1:y\r\n");
  EXPECT_EQ(say("Q\r\n"), "0\r\n");
  EXPECT_EQ(client.state, tClientContext::kNormal);
}

TEST_F(ProtocolTest, AccountZeroGetsTheTimeAtMostOncePerSyncInterval) {
  say("IZERO\r\n");
  client.queueCommand("cmd");
  EXPECT_TRUE(say("Q\r\n").starts_with("1ZERO:99.c"));
  EXPECT_EQ(say("Q\r\n"), "1ZERO:cmd\r\n");
  now += 60000;
  EXPECT_EQ(say("Q\r\n"), "0\r\n");
  now += 2;
  EXPECT_TRUE(say("Q\r\n").starts_with("1ZERO:99.c"));
  client.noTimeSync = true;
  now += 60001;
  EXPECT_EQ(say("Q\r\n"), "0\r\n");
}

TEST_F(ProtocolTest, StartCommandsAreDroppedForARefusedAccount) {
  filter.add(tAFItem{0x100, 0x1FF});
  client.commands = {"1.x", "99.c3"};
  client.startCommandCount = 2;
  say("aOUT,2000\r\n");
  EXPECT_EQ(say("Q\r\n"), "0\r\n");
  EXPECT_EQ(say("Q\r\n"), "0\r\n");
  EXPECT_TRUE(client.commands.empty());
  client.queueCommand("later");
  EXPECT_EQ(say("Q\r\n"), "1OUT:later\r\n");

  tClientContext inside;
  inside.commands = {"1.x", "99.c3"};
  inside.startCommandCount = 2;
  inside.input = "aIN,0150\r\n";
  protocol->onReceive(inside, now);
  inside.input = "Q\r\n";
  EXPECT_EQ(render(protocol->onReceive(inside, now)), "2IN:1.x\r\n");
  EXPECT_EQ(inside.startCommandCount, 0);
}

TEST_F(ProtocolTest, EventsWithRightChecksumReachTheQueues) {
  say("aM1,1234\r\n");
  tOItem& bank = *outputs->items()[0];
  size_t before = bank.count();  // the link event of the identification
  // A wrong checksum: no answer, so that the module repeats the event; nothing queued.
  EXPECT_EQ(say("M06,1234,13001003*00\r\n"), "<arm>");
  EXPECT_EQ(bank.count(), before);
  std::string body = "M06,1234,13001003";
  uint8_t x = 0;
  for (size_t i = 1; i < body.size(); ++i) x ^= static_cast<uint8_t>(body[i]);
  char sum[4];
  std::snprintf(sum, sizeof sum, "%02X", x);
  EXPECT_EQ(say(body + "*" + sum + "\r\n"), "0\r\n");
  ASSERT_EQ(bank.count(), before + 1);
  std::optional<std::string> last;
  while (auto l = bank.peek()) {
    last = l;
    bank.removeOldest();
  }
  EXPECT_EQ(last, "5011 181234E13001003");
  EXPECT_EQ(client.messageCount, 2);  // the link event and the event
}

TEST_F(ProtocolTest, LinkEventOncePerSyncP) {
  tOItem& bank = *outputs->items()[0];
  say("aM1,00A5\r\n");
  EXPECT_EQ(bank.peek(), "5011 1800A5  FF     ");
  bank.removeOldest();
  say("Q\r\n");
  EXPECT_EQ(bank.count(), 0u);
  now += line.syncPMs + 1;
  say("Q\r\n");
  EXPECT_EQ(bank.peek(), "5011 1800A5  FF     ");
}

TEST_F(ProtocolTest, StatusReport) {
  EXPECT_EQ(say("MV:12.6;CSQ:18\r\n"), "0\r\n");
  EXPECT_EQ(client.supplyVoltage, "12.6");
  EXPECT_EQ(client.signalQuality, "18");
}

TEST_F(ProtocolTest, PartialLinesWaitForTheRest) {
  EXPECT_EQ(say("aM1,12"), "<arm>");
  EXPECT_TRUE(say("34\r\n").starts_with("1M1:99.c"));
  EXPECT_EQ(client.account, 0x1234);
  // A second line that came with the first is answered once the first answer is out.
  client.input = "Q\r\nQ\r\n";
  EXPECT_EQ(render(protocol->onReceive(client, now)), "0\r\n");
  EXPECT_EQ(render(protocol->afterSend(client, now)), "0\r\n");
  EXPECT_EQ(render(protocol->afterSend(client, now)), "<arm>");
}

TEST_F(ProtocolTest, ModeAnswers) {
  say("aM1,1234\r\n");
  client.queueCommand("0000:mode?");
  EXPECT_EQ(say("Q\r\n"), "1M1:0000:mode?\r\n");
  EXPECT_EQ(client.state, tClientContext::kMode);
  EXPECT_EQ(client.deadline, now + 15000);
  EXPECT_EQ(say("v.32_mode0\r\n"), "0\r\n");
  EXPECT_EQ(client.replyText, "v.32_mode0");
  EXPECT_EQ(console.answerFlag, 1);

  client.queueCommand("0000:mode?");
  say("Q\r\n");
  EXPECT_EQ(say("STAT ERR\r\n"), "<arm>");  // no answer, but the module is still read
  EXPECT_EQ(console.answerFlag, -2);
  EXPECT_EQ(client.state, tClientContext::kNormal);
  EXPECT_EQ(say("E130\r\n"), "0\r\n");

  client.queueCommand("0000:mode?");
  say("Q\r\n");
  EXPECT_EQ(say("garbage\r\n"), "<arm>");
  EXPECT_EQ(client.state, tClientContext::kNormal);
}

TEST_F(ProtocolTest, ALineBehindAnUnansweredEndOfTransferIsAnsweredAtOnce) {
  // The module's next poll may come in the same read as the line that ends a transfer without
  // an answer; waiting for its next read would leave that poll unanswered.
  say("aM1,1234\r\n");
  for (const char* ending : {"STAT ERR", "garbage"}) {
    client.queueCommand("0000:mode?");
    say("Q\r\n");
    ASSERT_EQ(client.state, tClientContext::kMode);
    EXPECT_EQ(say(std::string(ending) + "\r\nQ\r\n"), "0\r\n") << ending;
    EXPECT_EQ(client.state, tClientContext::kNormal);
    EXPECT_EQ(client.input, "");
  }
  client.queueCommand("0000:ltxt");
  say("Q\r\n");
  ASSERT_EQ(client.state, tClientContext::kLoadText);
  EXPECT_EQ(say("CODE ERR\r\nQ\r\n"), "0\r\n");
  EXPECT_EQ(client.replyText, "CODE ERR");
  EXPECT_EQ(console.answerFlag, 1);
  EXPECT_EQ(client.input, "");
}

TEST_F(ProtocolTest, ConfigurationDownloadAndUpload) {
  say("aM1,1234\r\n");
  console.configImage.fill(0);
  client.queueCommand("0000:lcfg");
  EXPECT_EQ(say("Q\r\n"), "1M1:0000:lcfg\r\n");
  EXPECT_EQ(console.configImage[0], 0xFF);  // filled before the records come

  const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::string records = "#4" + encodeHexRecord(0x0010, data) + "\r\n" + "#4" +
                        encodeHexRecord(0x03F8, std::span(data, 16)) + "\r\n" +  // half outside
                        "#4:10FFF000" + std::string(32, '0') + "00\r\n" +        // far outside
                        "#4:02002000ZZ0000\r\n" +                                // bad hex
                        "#4:FF003000000102\r\n" +  // count past the line
                        "#4:02004001AABB00\r\n";   // not a data record
  EXPECT_EQ(say(records), "<arm>");
  EXPECT_EQ(client.state, tClientContext::kLoadConfig);
  EXPECT_EQ(say("C/3\r\nQ\r\n"), "0\r\n");  // the poll after the transfer is answered at once
  EXPECT_EQ(client.state, tClientContext::kNormal);
  EXPECT_EQ(console.answerFlag, 1);
  EXPECT_EQ(console.configImage[0x10], 1);
  EXPECT_EQ(console.configImage[0x1F], 16);
  EXPECT_EQ(console.configImage[0x3FF], 8);
  for (size_t a : {0x20, 0x30, 0x40}) EXPECT_EQ(console.configImage[a], 0xFF) << a;

  client.queueCommand("0000:scfg");
  EXPECT_EQ(say("Q\r\n"), "1M1:0000:scfg\r\n");
  std::string block = say("Wait for hex\r\n");
  EXPECT_EQ(block, encodeHexRecord(0x0010, data) + "\r\n" +
                       encodeHexRecord(0x03F0, std::span(console.configImage).subspan(0x3F0, 16)) +
                       "\r\n:00000001FF\r\n\r\nC/3\r\n");
  EXPECT_EQ(client.state, tClientContext::kSendConfig);
  EXPECT_EQ(say("CFG OK\r\n"), "<arm>");
  EXPECT_EQ(client.state, tClientContext::kNormal);
}

TEST_F(ProtocolTest, ErrDuringADownloadEndsItAndTellsTheConsole) {
  say("aM1,1234\r\n");
  client.queueCommand("0000:ltxt");
  say("Q\r\n");
  EXPECT_EQ(client.state, tClientContext::kLoadText);
  EXPECT_EQ(say("CODE ERR\r\n"), "<arm>");
  EXPECT_EQ(client.replyText, "CODE ERR");
  EXPECT_EQ(client.state, tClientContext::kNormal);
  EXPECT_EQ(console.answerFlag, 1);
}

TEST_F(ProtocolTest, DownloadShortOfItsCountIsIncomplete) {
  say("aM1,1234\r\n");
  const uint8_t data[16] = {};
  for (const char* count : {"C/2", "C/", "C/-1"}) {
    console.answerFlag = 0;
    client.queueCommand("0000:lcfg");
    say("Q\r\n");
    say("#4" + encodeHexRecord(0, data) + "\r\n" + count + "\r\n");
    EXPECT_EQ(console.answerFlag, 2) << count;
    EXPECT_EQ(client.state, tClientContext::kNormal);
  }
}

TEST_F(ProtocolTest, CodeCommandsTakeOneAnswerLineThatIsNeverAnEvent) {
  say("aM1,1234\r\n");
  const int32_t events = client.messageCount;
  for (const char* command : {"0042:ncode1234", "0042:mode1", "0042:mode0"}) {
    console.answerFlag = 0;
    client.queueCommand(command);
    say("Q\r\n");
    EXPECT_EQ(client.state, tClientContext::kCodeCommand) << command;
    EXPECT_EQ(say("E130 ERR\r\n"), "0\r\n");
    EXPECT_EQ(client.replyText, "E130 ERR");
    EXPECT_EQ(console.answerFlag, 1);
    EXPECT_EQ(client.messageCount, events) << "the answer went to the outputs as an event";
  }
}

TEST_F(ProtocolTest, FileTransferCutsThePathAndSendsTheFile) {
  say("aM1,1234\r\n");
  std::filesystem::path file = dir.write("codes.hex", ":10000000AA\r\n\r\n:00000001FF\n");
  client.queueCommand("0000:stab|" + file.string());
  EXPECT_EQ(say("Q\r\n"), "1M1:0000:stab\r\n");
  EXPECT_EQ(client.state, tClientContext::kSendTable);
  EXPECT_EQ(say("Wait for hex\r\n"), ":10000000AA\r\n:00000001FF\r\n\r\nC/2\r\n");
  EXPECT_EQ(client.deadline, now + 300000);
  EXPECT_EQ(say("TAB ERR\r\n"), "<arm>");
  EXPECT_EQ(client.replyText, "TAB ERR");
  EXPECT_EQ(console.answerFlag, 1);
}

TEST_F(ProtocolTest, LogDownloadWritesTheRecordLines) {
  say("aM1,1234\r\n");
  std::filesystem::path file = dir / "log.hex";
  client.queueCommand("0000:llog|" + file.string());
  EXPECT_EQ(say("Q\r\n"), "1M1:0000:llog\r\n");
  say("#4:0204000011223344\r\n#4:00000001FF\r\nC/2\r\n");
  EXPECT_EQ(client.state, tClientContext::kNormal);
  EXPECT_EQ(test::readFile(file), ":0204000011223344\r\n:00000001FF\r\n");
}

}  // namespace
}  // namespace orv
