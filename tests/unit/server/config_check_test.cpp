#include "server/core/config_check.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/unique_fd.h"
#include "tests/support/ports.h"
#include "tests/support/pty_peer.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Level = ConfigFinding::Level;

std::string dump(const ConfigReport& report) {
  std::string out;
  for (const ConfigFinding& f : report.findings) {
    out += std::string(levelName(f.level)) + ": " + f.text + "\n";
  }
  return out;
}

// The findings of `level` whose text holds every one of `parts`.
size_t found(const ConfigReport& report, Level level,
             std::initializer_list<std::string_view> parts) {
  size_t n = 0;
  for (const ConfigFinding& f : report.findings) {
    bool all = f.level == level;
    for (std::string_view p : parts) all = all && f.text.find(p) != std::string::npos;
    n += all ? 1 : 0;
  }
  return n;
}

// A TCP socket listening on `port` of every address, as another program would hold it.
UniqueFd holdPort(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    return UniqueFd();
  }
  return fd;
}

class ConfigCheck : public testing::Test {
 protected:
  ConfigReport check(std::string_view ini, bool probe = false) {
    dir_.write("ORV_Serv.ini", ini);
    testing::internal::CaptureStderr();
    ConfigReport report = checkConfiguration(dir_.path(), probe);
    // Everything the readers say becomes a finding; nothing goes past the report.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    return report;
  }

  test::TempDir dir_;
};

TEST_F(ConfigCheck, DescribesWhatStartUpCreatesAndFindsNothingWrongInAGoodFile) {
  const std::string gprs = std::to_string(test::freePort());
  const std::string device = std::to_string(test::freePort());
  const std::string tcpDrv = std::to_string(test::freePort());
  const std::string sia = std::to_string(test::freePort());
  const std::string out = std::to_string(test::freePort());
  ConfigReport r = check("; receiver North\n[GPRS1]\nPName=North\nLine=17\nPort=" + gprs +
                             "\nTcpOn=1\nTcpPort=" + device +
                             "\nAllow=10.1.0.0/16\n"
                             "[TcpDrv]\nPort=" +
                             tcpDrv +
                             "\nLine=2\n"
                             "[SiaIp]\nPort=" +
                             sia +
                             "\nUdp=1\nLine=3\n"
                             "[Out]\nPort=" +
                             out +
                             "\n"
                             "[Client0]\nId=Bank\nQSize=20\nHost=127.0.0.1\nPort=9999\n"
                             "Flt0=12??;;0;0;0\nFltMap=x\nFlt1=*;;0;1;2\n"
                             "[mClient0]\n0=5011s18$ss#1#2sssss\n"
                             "[AccFilter]\n1=$100,$1FF\n",
                         true);
  EXPECT_TRUE(r.ok()) << dump(r);
  EXPECT_EQ(r.count(Level::Warning), 0u) << dump(r);
  EXPECT_EQ(found(r, Level::Info,
                  {"GPRS line 0 [GPRS1]", "'North'", "Line=17 (line digit 1)",
                   "module server on TCP port " + gprs, "Allow '10.1.0.0/16'"}),
            1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Info, {"GSM receiver: over TCP, listening on port " + device}), 1u);
  EXPECT_EQ(found(r, Level::Info, {"TcpDrv input: TCP port " + tcpDrv, "line digit 2"}), 1u);
  EXPECT_EQ(found(r, Level::Info, {"SIA DC-09 receiver: TCP port " + sia + " and UDP port " + sia}),
            1u);
  EXPECT_EQ(found(r, Level::Info,
                  {"no "
                   "Orv_SiaKeys.ini"}),
            1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Info,
                  {"output channel 'Bank' [Client0]: QSize 20", "forwarding to 127.0.0.1:9999"}),
            1u);
  EXPECT_EQ(found(r, Level::Info, {"filters: Flt0=12??;;0;0;0, Flt1=*;;0;1;2"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Info, {"templates from [mClient0]: 0='5011s18$ss#1#2sssss'"}), 1u);
  EXPECT_EQ(found(r, Level::Info, {"output server on TCP port " + out, "1 channels"}), 1u);
  EXPECT_EQ(found(r, Level::Info, {"account filter: 1 ranges"}), 1u);
  // The check builds the channels as start-up does, but leaves the directory as it was.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Bank.out"));
}

TEST_F(ConfigCheck, AMissingFileIsAWarningAndStartUpsDefaultsAreShown) {
  ConfigReport r = checkConfiguration(dir_.path(), false);
  EXPECT_TRUE(r.ok()) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"ORV_Serv.ini not found"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Info, {"GPRS line 0 [GPRS0]", "module server on TCP port 778"}), 1u);
  EXPECT_EQ(found(r, Level::Info, {"no output channel"}), 1u);
}

TEST_F(ConfigCheck, TyposAndBadValuesAreWarningsThatNameTheDefaultUsed) {
  ConfigReport r = check(
      "Stray=1\n[GPRS0]\nProt=800\nPort=abc\nTcpPort=70000\nLifeTime=2\nLifeTime=3\n"
      "this line means nothing\n[TcpDrv]\nLine=4\n[client1]\nId=x\n[Client0]\nId=A\n"
      "flt0=*;;0;0;0\nFlt1=*;;0;0;9\nFlt2=xyz;;0;0;1\n[mClient7]\n0=xxxx\n[Options]\nTcpOn=1\n"
      "[AccFilter]\n1=5\n2=9,3\n[Ports]\nCOM3=/nonexistent/ttyUSB9\nbaud=1\n");
  EXPECT_TRUE(r.ok()) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"line 1", "Stray", "before any section"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"[GPRS0] Prot", "unknown key", "(Port?)"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"[GPRS0] Port='abc' is not a number; the default 778"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"TcpPort=70000 is outside 0..65535; using 777"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"LifeTime again; the first, on line 6, is used"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"line 8", "neither a section header"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[TcpDrv] has no Port key"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[client1]", "unknown section", "capital C"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[Client0] flt0", "exactly"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"Flt1=", "source 9 is no input"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"Flt2=", "passes nothing"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[mClient7]", "no [Client7]"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[Options] TcpOn", "unknown key"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[AccFilter] 1='5' is not \"low,high\""}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[AccFilter] 2='9,3'", "takes no account"}), 1u);
  EXPECT_EQ(found(r, Level::Warning, {"[Ports] COM3='/nonexistent/ttyUSB9'"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"[Ports] baud", "unknown key"}), 1u);
  // What start-up's readers say themselves is marked, so that a start-up log need not repeat it.
  for (const ConfigFinding& f : r.findings) {
    if (f.text.find("TcpPort=70000") != std::string::npos) {
      EXPECT_TRUE(f.startUpSaysIt);
    }
    if (f.text.find("Prot") != std::string::npos) {
      EXPECT_FALSE(f.startUpSaysIt);
    }
  }
}

TEST_F(ConfigCheck, WhatStartUpCannotDoIsAnError) {
  ConfigReport r = check(
      "[GPRS0]\nPort=0\nTcpPort=0\n[GPRS1]\n[GPRS2]\nAllow=10.0.0.300\n"
      "[TcpDrv]\nPort=4000\n[SiaIp]\nPort=4000\n"
      "[Client0]\nId=Bank\n[Client1]\nId=Bank\n[Out]\nComOn=1\nCom=0\n");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(
      found(r, Level::Error,
            {"TCP port 778 is configured for both GPRS line 1 [GPRS1]", "and GPRS line 2 [GPRS2]"}),
      1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Error, {"TCP port 4000", "TcpDrv input and SIA DC-09 receiver"}), 1u);
  EXPECT_EQ(found(r, Level::Error, {"[Client1]", "always get [Client0]"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Error, {"[GPRS2] Allow", "nobody is admitted"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Error, {"serial output", "Com=0"}), 1u) << dump(r);
  // Two lines sharing the default Line number is odd, not broken.
  EXPECT_EQ(found(r, Level::Warning, {"Line=0 as on GPRS line 0"}), 2u) << dump(r);
}

TEST_F(ConfigCheck, ProbingFindsATakenPort) {
  const std::string taken = std::to_string(test::freePort());
  UniqueFd holder = holdPort(static_cast<uint16_t>(std::stoi(taken)));
  ASSERT_TRUE(holder.valid());
  ConfigReport r = check("[GPRS0]\nPort=" + taken + "\n", true);
  EXPECT_EQ(found(r, Level::Error, {"[GPRS0] module server: TCP port " + taken + " is taken"}), 1u)
      << dump(r);
  // Without probing, nothing is bound and the port is not judged.
  EXPECT_TRUE(check("[GPRS0]\nPort=" + taken + "\n").ok());
}

TEST_F(ConfigCheck, ProbingFindsAPortBelow1024WithoutThePrivilege) {
  if (UniqueFd privileged = holdPort(80); privileged.valid() || errno != EACCES) {
    GTEST_SKIP() << "this user may bind port 80, or another program holds it";
  }
  ConfigReport r = check("[GPRS0]\nPort=0\n[TcpDrv]\nPort=80\n", true);
  EXPECT_EQ(found(r, Level::Error, {"TcpDrv input: TCP port 80 is below 1024"}), 1u) << dump(r);
}

TEST_F(ConfigCheck, SerialPortsMustExistAndServeOneUserEach) {
  test::PtyPeer device;
  ASSERT_TRUE(device.ok());
  const std::string ports = "[Ports]\nCOM4=" + device.path() + "\nCOM5=/nonexistent/tty\n";
  ConfigReport r = check(ports +
                         "[GPRS0]\nPort=0\nCom=4\n[GPRS1]\nPort=0\nCom=5\n"
                         "[GPRS2]\nPort=0\nCom=5\nTcpOn=1\nTcpPort=0\n"
                         "[Out]\nComOn=1\nCom=4\n");
  EXPECT_EQ(found(r, Level::Info,
                  {"GPRS line 0 [GPRS0] GSM receiver: COM4 (" + device.path() + ")", "9600 baud"}),
            1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Error,
                  {"GPRS line 1 [GPRS1] GSM receiver: COM5 (/nonexistent/tty)", "No such file"}),
            1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Error, {"GPRS line 2"}), 0u) << "TcpOn=1 leaves Com unused";
  EXPECT_EQ(found(r, Level::Warning, {"GPRS line 2", "TcpPort=0"}), 1u);
  EXPECT_EQ(found(r, Level::Error, {"serial output", "COM4", "also the port of GPRS line 0"}), 1u)
      << dump(r);
  EXPECT_EQ(found(r, Level::Info, {"SMS port: TCP port 911"}), 1u);

  r = check(ports + "[GPRS0]\nPort=0\nCom=4\nBaud=12345\n");
  EXPECT_EQ(found(r, Level::Error, {"COM4", "cannot be opened with these settings"}), 1u)
      << dump(r);
}

TEST_F(ConfigCheck, KeyFileProblemsAreWarningsAndNoKeyIsEverShown) {
  const std::string key = "000102030405060708090A0B0C0D0E0F";
  const std::string keys = "[Keys]\n1234=" + key + "\n5678=" + key.substr(2) + "\n" + key +
                           "=1234\n1234=" + key + "\n[Other]\n";
  dir_.write("Orv_SiaKeys.ini", keys);
  ::chmod((dir_ / "Orv_SiaKeys.ini").c_str(), 0600);
  ConfigReport r = check("[SiaIp]\nPort=0\n");
  EXPECT_TRUE(r.ok()) << dump(r);
  EXPECT_EQ(found(r, Level::Info, {"accounts with a key of their own: 1"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"account 5678", "not 32, 48 or 64"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"1234 again"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"a section other than [Keys]"}), 1u) << dump(r);
  EXPECT_EQ(found(r, Level::Warning, {"port 0"}), 1u);

  ::chmod((dir_ / "Orv_SiaKeys.ini").c_str(), 0644);
  ConfigReport open = check("[SiaIp]\nPort=0\n");
  EXPECT_EQ(found(open, Level::Warning, {"chmod 600"}), 1u) << dump(open);
  for (const ConfigReport* report : {&r, &open}) {
    for (const ConfigFinding& f : report->findings) {
      EXPECT_EQ(f.text.find(key.substr(4, 24)), std::string::npos) << f.text;
    }
  }
}

TEST_F(ConfigCheck, HostileFilesCostBoundedTimeAndSayWhatTheyAre) {
  std::string binary = "[GPRS0]\nPort=1\n";
  binary += std::string("\x00\x01\x02\xFF", 4);
  EXPECT_EQ(found(check(binary), Level::Error, {"NUL byte", "not an INI file"}), 1u);
  EXPECT_EQ(found(check(std::string("\xFF\xFE[\0G\0", 6)), Level::Error, {"UTF-16"}), 1u);
  EXPECT_EQ(
      found(check("just some text\nwithout any structure\n"), Level::Error, {"not an INI file"}),
      1u);

  {
    UniqueFd sparse(::open((dir_ / "ORV_Serv.ini").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    ASSERT_EQ(::ftruncate(sparse.get(), 100 << 20), 0);
  }
  ConfigReport zeros = checkConfiguration(dir_.path(), false);
  EXPECT_EQ(found(zeros, Level::Error, {"104857600 bytes; start-up reads only the first"}), 1u);
  EXPECT_EQ(found(zeros, Level::Error, {"NUL byte"}), 1u) << dump(zeros);

  // Past the reader's limit, and a million sections within it.
  std::string sections;
  for (size_t i = 0; sections.size() <= 17u * 1024 * 1024; ++i)
    sections += "[S" + std::to_string(i) + "]\n";
  ConfigReport big = check(sections);
  EXPECT_EQ(found(big, Level::Error, {"bytes; start-up reads only the first 16777216"}), 1u)
      << dump(big);
  EXPECT_EQ(found(big, Level::Error, {"not read on"}), 1u) << dump(big);

  // Control characters from the file never reach a terminal as they are.
  ConfigReport escaped = check("[GPRS0]\nPort=0\nPName=\x1B]0;owned\x07\n");
  EXPECT_EQ(found(escaped, Level::Info, {"PName '\\x1B]0;owned\\x07'"}), 1u) << dump(escaped);
  for (const ConfigFinding& f : escaped.findings) EXPECT_EQ(f.text.find('\x1B'), std::string::npos);
}

TEST_F(ConfigCheck, AFileThatCannotBeReadIsAnError) {
  std::filesystem::create_directory(dir_ / "ORV_Serv.ini");
  ConfigReport r = checkConfiguration(dir_.path(), false);
  EXPECT_EQ(found(r, Level::Error, {"ORV_Serv.ini cannot be read", "directory"}), 1u) << dump(r);
  EXPECT_EQ(found(checkConfiguration(dir_ / "absent", false), Level::Error, {"does not exist"}),
            1u);
}

}  // namespace
}  // namespace orv
