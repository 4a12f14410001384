// Runs the real ORV_Serv --check-config on program directories and reads its verdict.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 20000;

struct Outcome {
  int code;
  std::string output;
};

Outcome checkConfig(const std::filesystem::path& dir) {
  test::Process check(ORV_SERV_PATH, {"--check-config", "--dir", dir.string()});
  std::optional<int> code = check.waitExit(kWaitMs);
  EXPECT_TRUE(code.has_value()) << check.output();
  EXPECT_TRUE(test::noSanitizerReport(check.output()));
  return {code.value_or(-1), check.output()};
}

TEST(CheckConfig, AGoodConfigurationExitsZeroAndStartsNothing) {
  test::TempDir dir;
  const std::string port = std::to_string(test::freePort());
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=" + port + "\n[Client0]\nId=Bank\n[Out]\nPort=" +
                                std::to_string(test::freePort()) + "\n");
  Outcome run = checkConfig(dir.path());
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("info: GPRS line 0 [GPRS0]: Line=0 (line digit 0), module server on "
                            "TCP port " +
                            port),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("info: output channel 'Bank' [Client0]"), std::string::npos);
  EXPECT_EQ(run.output.find("error: "), std::string::npos) << run.output;
  // A check is no start: no queue file, log directory or operator socket appears.
  EXPECT_FALSE(std::filesystem::exists(dir / "Bank.out"));
  EXPECT_FALSE(std::filesystem::exists(dir / "ORV_Serv.sock"));
  EXPECT_FALSE(std::filesystem::exists(dir / "Orv_Serv"));
}

TEST(CheckConfig, ErrorsExitOneAndWarningsAloneDoNot) {
  test::TempDir dir;
  const std::string port = std::to_string(test::freePort());
  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=" + port + "\n[TcpDrv]\nPort=" + port + "\n");
  Outcome run = checkConfig(dir.path());
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("error: TCP port " + port + " is configured for both"),
            std::string::npos)
      << run.output;

  dir.write("ORV_Serv.ini", "[GPRS0]\nPort=" + port + "\nProt=1\n");
  run = checkConfig(dir.path());
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("warning: ORV_Serv.ini: [GPRS0] Prot"), std::string::npos)
      << run.output;
}

TEST(CheckConfig, AMissingDirectoryExitsTwo) {
  test::TempDir dir;
  Outcome run = checkConfig(dir / "absent");
  EXPECT_EQ(run.code, 2) << run.output;
}

}  // namespace
}  // namespace orv
