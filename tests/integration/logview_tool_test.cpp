// orv-logview on files, and on the file that "GetLog" fetched from an orv-modsim module through
// a headless ORV_Serv and orv-console.

#include <signal.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/elapsed.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::Clock;
using test::msSince;

constexpr int kStartMs = 15000;
constexpr int kWaitMs = 10000;
constexpr int kSequenceMs = 30000;
constexpr int kExitMs = 10000;

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fieldsOf(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = line.find(separator, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

class LogviewTool : public testing::Test {
 protected:
  void TearDown() override {
    modules_.clear();
    if (!server_) return;
    server_->signal(SIGTERM);
    std::optional<int> code = server_->waitExit(kExitMs);
    EXPECT_TRUE(code.has_value()) << "still running after SIGTERM";
    if (HasFailure())
      std::printf("--- ORV_Serv output ---\n%s--- end ---\n", server_->output().c_str());
  }

  // stdout and stderr apart: the table must not mix with the diagnostics.
  ToolRun logview(std::vector<std::string> args) {
    const std::string err = (dir_ / "logview.err").string();
    std::vector<std::string> shellArgs{"-c", "exec \"$0\" \"$@\" 2>'" + err + "'",
                                       ORV_LOGVIEW_PATH};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    test::Process p("/bin/sh", shellArgs);
    ToolRun r;
    r.code = p.waitExit(kWaitMs).value_or(-1);
    r.out = p.output();
    r.err = test::readFile(err);
    return r;
  }

  bool startServer() {
    port_ = test::freePort();
    dir_.write("ORV_Serv.ini", "[GPRS0]\nPort=" + std::to_string(port_) + "\n");
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    return server_->waitForOutput("module server listening on port " + std::to_string(port_),
                                  kStartMs) &&
           server_->waitForOutput("operator channel listening on", kStartMs);
  }

  // A simulated module <prefix>0001 with account 1000; true once the server lists it.
  bool startModule(std::vector<std::string> options, const std::string& prefix = "SIM") {
    std::vector<std::string> args{"--port", std::to_string(port_), "--seconds", "120", "--poll-ms",
                                  "50",     "--id-prefix",         prefix};
    args.insert(args.end(), options.begin(), options.end());
    modules_.push_back(std::make_unique<test::Process>(ORV_MODSIM_PATH, args));
    const Clock::time_point start = Clock::now();
    while (msSince(start) < kWaitMs) {
      ToolRun r = console({"targets"});
      if (r.code == 0 && r.out.find(prefix + "0001 ( 1000 )") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the module never showed in the targets:\n" << modules_.back()->output();
    return false;
  }

  ToolRun console(std::vector<std::string> args) {
    args.insert(args.begin(), {"--dir", dir_.path().string()});
    test::Process p(ORV_CONSOLE_PATH, args);
    ToolRun r;
    r.code = p.waitExit(kSequenceMs).value_or(-1);
    r.out = p.output();
    return r;
  }

  // The module's log fetched with GetLog, then shown.
  ToolRun fetchAndShow(const std::string& name, const std::string& id) {
    const std::string file = (dir_ / name).string();
    ToolRun get = console({"getlog", id, file});
    EXPECT_EQ(get.code, 0) << get.out;
    return logview({file});
  }

  test::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::Process> server_;
  std::vector<std::unique_ptr<test::Process>> modules_;
};

// Three events: a Contact ID alarm, the same with its check byte damaged, a user's restore.
constexpr std::string_view kSampleLog =
    ":10040000042E00030612341300101570A4A8C48033\r\n"
    ":10041000000E0612341300101570A4A8C480004EFC\r\n"
    ":1004200007ABCD4010202670A4A8C4801A15000088\r\n"
    ":00000001FF\r\n";

TEST_F(LogviewTool, PrintsTheTableWithTabsOrAsCsv) {
  const std::string file = dir_.write("log.hex", kSampleLog).string();
  ToolRun tabs = logview({file});
  EXPECT_EQ(tabs.code, 0) << tabs.err;
  EXPECT_EQ(tabs.out,
            "Contact ID\t1234\tE130015/01\t2009.03.10. 14:05:09\tEvent\n"
            "-\t\t\t\t\n"
            "Contact ID\tABCD\tR401026/02\t2009.03.10. 14:05:09\tUser 1A\n");
  EXPECT_EQ(tabs.err, "");

  ToolRun csv = logview({file, "--csv"});
  EXPECT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "DATA TYPE,Account,EVENT/PARTITION,DateTime,User Id\n"
            "Contact ID,1234,E130015/01,2009.03.10. 14:05:09,Event\n"
            "-,,,,\n"
            "Contact ID,ABCD,R401026/02,2009.03.10. 14:05:09,User 1A\n");
}

TEST_F(LogviewTool, FilesItCannotReadFailWithTheReason) {
  ToolRun missing = logview({(dir_ / "none.hex").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("none.hex: No such file or directory"), std::string::npos)
      << missing.err;

  std::string binary(4096, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 13);
  ToolRun garbage = logview({dir_.write("binary.hex", binary).string(), "--csv"});
  EXPECT_EQ(garbage.code, 1);
  EXPECT_EQ(garbage.out, "");
  EXPECT_NE(garbage.err.find("not a text file"), std::string::npos) << garbage.err;
}

TEST_F(LogviewTool, GetLogFetchesWhatTheModuleHolds) {
  const std::filesystem::path image = dir_.write("given.hex", kSampleLog);
  ASSERT_TRUE(startServer());
  // 300 events: the ring is full and the oldest record sits where the 301st would go.
  ASSERT_TRUE(startModule({"--log-events", "300"}));
  ToolRun shown = fetchAndShow("wrapped.hex", "SIM0001");
  EXPECT_EQ(shown.code, 0) << shown.err;
  EXPECT_EQ(shown.err, "");
  const std::vector<std::string> rows = linesOf(shown.out);
  ASSERT_EQ(rows.size(), 254u) << shown.out;
  std::string previous;
  for (const std::string& row : rows) {
    const std::vector<std::string> f = fieldsOf(row, '\t');
    ASSERT_EQ(f.size(), 5u) << row;
    EXPECT_EQ(f[1], "1000") << row;
    EXPECT_LT(previous, f[3]) << row;  // "yyyy.mm.dd. HH:MM:SS" sorts as time does
    previous = f[3];
  }
  // The simulator's events rotate through six kinds; 300 - 254 = 46 were overwritten.
  EXPECT_EQ(fieldsOf(rows.front(), '\t')[0], "MODULE");  // event 46
  EXPECT_EQ(fieldsOf(rows[1], '\t')[2], "E602000/00");   // event 47, the periodic test

  // An image given to the module comes back as it was.
  ASSERT_TRUE(startModule({"--log-image", image.string()}, "IMG"));
  ToolRun given = fetchAndShow("given-fetched.hex", "IMG0001");
  EXPECT_EQ(given.code, 0) << given.err;
  EXPECT_EQ(given.out, logview({image.string()}).out);
}

}  // namespace
}  // namespace orv
