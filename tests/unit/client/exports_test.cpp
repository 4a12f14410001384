#include "client/Pelkon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/line_socket.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWait = 5000;

// Runs the test in a program directory of its own: the library reads ./Pelkon.ini.
class ExportsTest : public testing::Test {
 protected:
  void SetUp() override {
    previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ASSERT_EQ(listener.listen(0, "fake output server"), 0);
  }
  void TearDown() override { std::filesystem::current_path(previous); }

  void writeIni(const std::string& extra) {
    dir.write("Pelkon.ini", "[Ch3]\nClient=1\nHost=127.0.0.1\nPort=" +
                                std::to_string(listener.localPort()) + "\nId=Bank\n" + extra);
  }
  // Accepts the library, names the channel, and answers the channel status line.
  void attach() {
    ASSERT_TRUE(listener.waitForConnection(kWait));
    ASSERT_EQ(listener.accept(peer), 0);
    ASSERT_EQ(peer.send("IP-Server V0.0\r\n"), 0);
    std::string name;
    ASSERT_EQ(peer.receiveLine(name, LineEnd::CrLf, kWait), 0);
    EXPECT_EQ(name, "Bank");
  }
  std::string exchange(const std::string& line) {
    std::string reply;
    EXPECT_EQ(peer.send(line + "\r\n"), 0);
    EXPECT_EQ(peer.receiveLine(reply, LineEnd::CrLf, kWait), 0);
    return reply;
  }
  int32_t poll(void* handle, OrvMessage& m) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    int32_t r = 0;
    while ((r = orv_GetMsg(handle, &m)) == 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return r;
  }

  std::filesystem::path previous;
  test::TempDir dir;
  LineSocket listener;
  LineSocket peer;
};

TEST(PelkonConstants, NameAndSystemMessage) {
  int32_t a = 0, b = 0, c = 0;
  EXPECT_STREQ(Orv_GetName(&a, &b, &c), "Pelkon");
  EXPECT_EQ(a, 65512);
  EXPECT_EQ(b, 23);
  EXPECT_EQ(c, 131);
  EXPECT_STREQ(Orv_GetName(nullptr, nullptr, nullptr), "Pelkon");
  int32_t v = 0;
  EXPECT_EQ(orv_GetSysMsg(1, 2, 3, &v), 0);
  EXPECT_EQ(v, 23);
  EXPECT_EQ(orv_GetSysMsg(1, 2, 3, nullptr), 0);
}

TEST_F(ExportsTest, ChannelDeliversRecordsAndCarriesCommands) {
  writeIni("[Options]\nUEnable=1\n[Opt]\nLineMap=0a\n");
  void* h = orv_InitComm(0, 0x102);  // low byte 2: section Ch3
  ASSERT_NE(h, nullptr);
  attach();
  EXPECT_EQ(exchange("1011      0000 R  51"), "0");
  OrvMessage m{};
  ASSERT_EQ(poll(h, m), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.code + 1), m.code[0]), "   R 51");

  EXPECT_EQ(Orv_SetMsg(h, "16:1234:XYZ"), 0);
  EXPECT_EQ(exchange("U011  1234MOD42FFFFFFFFFFFFF"), "016:1234:XYZ");
  EXPECT_EQ(exchange("5011 181234E13001003"), "0");
  ASSERT_GE(poll(h, m), 1);
  EXPECT_STREQ(m.extra, "MOD42");
  ASSERT_EQ(poll(h, m), 1);
  EXPECT_EQ(m.line, 10) << "LineMap from Pelkon.ini";
  EXPECT_EQ(m.account, 0x1234u);

  PelkonHostRow rows[2];
  int32_t waiting = -1;
  EXPECT_EQ(orv_GetHostList(h, rows, 2, &waiting), 1);
  EXPECT_EQ(waiting, 0);
  EXPECT_STREQ(rows[0].ip, "127.0.0.1");
  EXPECT_STREQ(rows[0].lastMessage, "5011 181234E13001003");
  EXPECT_EQ(orv_GetHostList(h, nullptr, 0, nullptr), 1);

  EXPECT_EQ(orv_CloseComm(h), 0);
  EXPECT_EQ(orv_GetMsg(h, &m), 0) << "a closed handle is refused, not followed";
  EXPECT_EQ(Orv_SetMsg(h, "x"), 0);
  EXPECT_EQ(orv_GetHostList(h, rows, 2, &waiting), 0);
  EXPECT_EQ(orv_CloseComm(h), 0);
}

TEST_F(ExportsTest, BadArgumentsAreRefused) {
  OrvMessage m{};
  int dummy = 0;
  EXPECT_EQ(orv_GetMsg(nullptr, &m), 0);
  EXPECT_EQ(orv_GetMsg(&dummy, &m), 0);
  EXPECT_EQ(orv_CloseComm(&dummy), 0);
  writeIni("");
  void* h = orv_InitComm(0, 2);
  EXPECT_EQ(orv_GetMsg(h, nullptr), 0);
  EXPECT_EQ(Orv_SetMsg(h, nullptr), 0);
  EXPECT_EQ(orv_CloseComm(h), 0);
}

TEST_F(ExportsTest, ListeningModeClosesWhatItAccepts) {
  const uint16_t port = listener.localPort();
  listener.close();  // free the port for the library
  dir.write("Pelkon.ini", "[Ch1]\nClient=0\nPort=" + std::to_string(port) + "\n");
  void* h = orv_InitComm(0, 0);
  LineSocket c;
  ASSERT_EQ(c.connect("127.0.0.1", port, kWait), 0);
  std::string line;
  EXPECT_NE(c.receiveLine(line, LineEnd::CrLf, kWait), kWsaTimedOut) << "closed, not left open";
  EXPECT_EQ(orv_CloseComm(h), 0);
}

}  // namespace
}  // namespace orv

extern "C" int pelkonAbiCheck(const char* library, char* why, size_t whySize);

namespace orv {
namespace {

TEST(PelkonAbi, LoadsFromCWithDlopen) {
  char why[256] = "";
  EXPECT_TRUE(pelkonAbiCheck(PELKON_LIBRARY_PATH, why, sizeof why)) << why;
}

}  // namespace
}  // namespace orv
