#include "server/outputs/output_list.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace orv {
namespace {

class OutputListTest : public testing::Test {
 protected:
  std::unique_ptr<tOList> make(std::string_view ini, bool comOn = false) {
    testing::internal::CaptureStderr();
    auto list = std::make_unique<tOList>(IniFile::fromText(ini), comOn, dir.path(), &changed);
    testing::internal::GetCapturedStderr();
    return list;
  }
  static std::vector<std::string> drain(tOItem& item) {
    std::vector<std::string> lines;
    while (auto l = item.peek()) {
      lines.push_back(*l);
      item.removeOldest();
    }
    return lines;
  }

  test::TempDir dir;
  std::atomic<uint8_t> changed{0};
};

TEST_F(OutputListTest, ItemsComeFromComThenClientSectionsInFileOrder) {
  auto list = make(
      "[Client0]\nId=Bank\n[client1]\nId=lower\n[Com]\nQSize=5\n[Clients]\nId=Plural\n"
      "[ClientX]\n",
      true);
  ASSERT_EQ(list->count(), 4u);
  EXPECT_EQ(list->items()[0]->id(), "Com");
  EXPECT_EQ(list->items()[0]->queueSize(), 5);
  EXPECT_EQ(list->items()[1]->id(), "Bank");
  EXPECT_EQ(list->items()[2]->id(), "Plural");
  EXPECT_EQ(list->items()[3]->id(), "");
  EXPECT_EQ(list->items()[3]->queueFile(), dir / ".out");
  EXPECT_EQ(list->items()[1]->queueSize(), 50);
  EXPECT_EQ(list->find("Plural"), list->items()[2].get());
  EXPECT_EQ(list->find("lower"), nullptr);
  EXPECT_EQ(list->find(""), list->items()[3].get());
  EXPECT_EQ(make("[Client0]\n", false)->find("Com"), nullptr);
}

TEST_F(OutputListTest, FiltersAndForwarderComeFromTheSection) {
  auto list = make(
      "[Client0]\nId=A\nFlt0=12??;;0;0;0\nFltMap=x;;0;0;1\nFlt1=*;;0;1;1\nOther=1\n"
      "Host=127.0.0.1\nPort=1\n[Client1]\nId=B\n");
  tOItem& a = *list->items()[0];
  ASSERT_EQ(a.filters().size(), 2u);
  EXPECT_EQ(a.filters()[0].idMask, "12??");
  EXPECT_EQ(a.filters()[1].source, 1);
  EXPECT_EQ(a.forwardHost(), "127.0.0.1");
  EXPECT_EQ(a.forwardPort(), 1);
  EXPECT_NE(a.forwarder(), nullptr);
  EXPECT_EQ(list->items()[1]->forwarder(), nullptr);
}

TEST_F(OutputListTest, AFullQueueDropsItsOldestLines) {
  auto list = make("[Client0]\nId=Bank\nQSize=3\n");
  for (int i = 1; i <= 5; ++i) {
    std::string line = "5011 18123" + std::to_string(i) + "E13001001";
    list->pushLine(line, EventKeys::line(EventSource::TcpDrv, line));
  }
  EXPECT_EQ(drain(*list->items()[0]),
            (std::vector<std::string>{"5011 181233E13001001", "5011 181234E13001001",
                                      "5011 181235E13001001"}));
}

TEST_F(OutputListTest, EachItemTakesWhatItsFiltersPass) {
  auto list = make(
      "[Client0]\nId=All\n"
      "[Client1]\nId=TcpOnly\nFlt0=*;;0;0;1\n"
      "[Client2]\nId=Module12\nFlt0=12??;;0;0;0\n");
  const std::string tcp = "5011 181234E13001015";
  list->pushLine(tcp, EventKeys::line(EventSource::TcpDrv, tcp));
  list->pushModuleMessage({"M06,1234,13001003", "1299", '1', false},
                          EventKeys::module("1299", false));
  list->pushModuleMessage({"M06,1234,13001003", "9999", '1', false},
                          EventKeys::module("9999", false));
  EXPECT_EQ(list->items()[0]->count(), 3u);
  EXPECT_EQ(drain(*list->items()[1]), std::vector<std::string>{tcp});
  EXPECT_EQ(drain(*list->items()[2]), std::vector<std::string>{"5011 181234E13001003"});
}

TEST_F(OutputListTest, ModuleMessagesUseEachItemsTemplatesAndDateFlag) {
  auto list = make(
      "[Com]\nDtFlag=0\n[Client0]\nId=Bank\n[Client1]\nId=Other\nHost=127.0.0.1\nPort=1\n", true);
  list->pushModuleMessage({"M01,1234,AB:071225 123045", "ID1", '2', true},
                          EventKeys::module("ID1", false));
  // Com: no date flag, so the stamp stays in the message and is not a suffix.
  EXPECT_EQ(drain(*list->items()[0]),
            (std::vector<std::string>{"U011  1234ID1FFFFFFFFFFFFFFF", "5012 181234  AB     "}));
  EXPECT_EQ(drain(*list->items()[1]),
            (std::vector<std::string>{"U011  1234ID1FFFFFFFFFFFFFFF12:30:45-07/12",
                                      "5012 181234  AB     12:30:45-07/12"}));
  // The forwarder gets the event line alone, without the suffix.
  ForwardQueue* forwarder = list->items()[2]->forwarder();
  ASSERT_NE(forwarder, nullptr);
  EXPECT_EQ(forwarder->size(), 1u);
  EXPECT_EQ(forwarder->peek(), "5012 181234  AB     ");
}

TEST_F(OutputListTest, ForwarderKeepsAtMost101Lines) {
  ForwardQueue q;
  for (int i = 0; i < 150; ++i) q.add(std::to_string(i));
  EXPECT_EQ(q.size(), 101u);
  EXPECT_EQ(q.peek(), "49");
  q.removeOldest();
  EXPECT_EQ(q.peek(), "50");
}

TEST_F(OutputListTest, RemovingALineFlagsTheOutputView) {
  auto list = make("[Client0]\nId=Bank\n");
  tOItem& bank = *list->items()[0];
  list->pushLine("5011 181234E13001015", EventKeys::line(EventSource::TcpDrv, "5011 181234"));
  EXPECT_EQ(changed.load(), 0);
  EXPECT_EQ(bank.peek(), "5011 181234E13001015");
  EXPECT_EQ(bank.count(), 1u);  // peek leaves the line queued
  bank.removeOldest();
  EXPECT_EQ(changed.load(), 1);
  EXPECT_EQ(bank.count(), 0u);
  EXPECT_EQ(bank.peek(), std::nullopt);
}

TEST_F(OutputListTest, QueueSizeZeroKeepsNothing) {
  auto list = make("[Client0]\nId=Bank\nQSize=0\n");
  list->pushLine("5011 181234E13001015", EventKeys::line(EventSource::TcpDrv, "5011 181234"));
  EXPECT_EQ(list->items()[0]->count(), 0u);
}

TEST_F(OutputListTest, AnIdCannotPlaceItsQueueFileOutsideTheProgramDirectory) {
  auto list = make("[Client0]\nId=../escape\n");
  EXPECT_EQ(list->items()[0]->queueFile(), dir / ".._escape.out");
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST_F(OutputListTest, RowIconShowsClientsAndForwarder) {
  auto list = make("[Client0]\nId=Bank\nHost=127.0.0.1\nPort=1\n");
  tOItem& bank = *list->items()[0];
  list->pushLine("5011 181234E13001015", EventKeys::line(EventSource::TcpDrv, "5011 181234"));
  EXPECT_EQ(outputRow(bank).icon, -1);
  EXPECT_EQ(outputRow(bank).id, "Bank");
  EXPECT_EQ(outputRow(bank).queue, 1u);
  bank.forwarderConnected = true;
  EXPECT_EQ(outputRow(bank).icon, 3);
  bank.clientCount = 2;
  EXPECT_EQ(outputRow(bank).icon, 2);
  bank.forwarderConnected = false;
  EXPECT_EQ(outputRow(bank).icon, 0);
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST_F(OutputListTest, LineBreaksInsideALineBecomeSpaces) {
  auto list = make("[Client0]\nId=Bank\n");
  list->pushLine("5011 18\n1234\rE1", EventKeys::line(EventSource::TcpDrv, "5011 181234"));
  EXPECT_EQ(list->items()[0]->peek(), "5011 18 1234 E1");
}

}  // namespace
}  // namespace orv
