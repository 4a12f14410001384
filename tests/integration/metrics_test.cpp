// The metrics endpoint of the real ORV_Serv, read as a Prometheus scraper reads it.

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <sstream>

#include "common/line_socket.h"
#include "tests/support/checksums.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;

// GET /metrics: every sample line ("name{labels} value") keyed by its name and labels.
std::map<std::string, double> scrape(uint16_t port) {
  std::map<std::string, double> samples;
  LineSocket s;
  if (s.connect("127.0.0.1", port, 2000) != 0 ||
      s.send("GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n") != 0) {
    return samples;
  }
  std::string text;
  char b = 0;
  while (s.receiveByte(b, 2000) == 0) text.push_back(b);
  std::istringstream lines(text.substr(text.find("\r\n\r\n") + 4));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

class Metrics : public testing::Test {
 protected:
  std::unique_ptr<test::Process> start(uint16_t metricsPort) {
    test::TempDir& dir = dirs_.emplace_back();
    tcpdrv_ = test::freePort();
    out_ = test::freePort();
    dir.write("ORV_Serv.ini", "[GPRS0]\nPort=0\n[Out]\nPort=" + std::to_string(out_) +
                                  "\n[Client0]\nId=Bank\nQSize=1000\n[Client1]\nId=Small\nQSize=5\n"
                                  "[TcpDrv]\nPort=" +
                                  std::to_string(tcpdrv_) +
                                  "\n[Metrics]\nPort=" + std::to_string(metricsPort) + "\n");
    auto server = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir.path().string()});
    EXPECT_TRUE(server->waitForLine("running:", kWaitMs)) << server->output();
    // The endpoint comes up after the inputs: serving, or saying why not.
    EXPECT_TRUE(server->waitForOutput("metrics: ", kWaitMs)) << server->output();
    return server;
  }
  // Sends TcpDrv lines; returns how many were acknowledged.
  int send(const std::vector<std::string>& lines) {
    LineSocket s;
    if (s.connect("127.0.0.1", tcpdrv_, 2000) != 0) return 0;
    int acked = 0;
    for (const std::string& l : lines) {
      char b = 0;
      if (s.send(l + "\r\n") != 0 || s.receiveByte(b, kWaitMs) != 0) break;
      if (b == 0x06) ++acked;
    }
    return acked;
  }

  std::list<test::TempDir> dirs_;
  uint16_t tcpdrv_ = 0, out_ = 0;
};

TEST_F(Metrics, ChannelCountsAddUpAfterTrafficAndInputsCountWhatCame) {
  const uint16_t port = test::freePort();
  auto server = start(port);
  std::vector<std::string> lines;
  for (int i = 0; i < 50; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "5011 18%04dE13001015", 1000 + i);
    lines.push_back(test::withTcpDrvChecksum(text));
  }
  ASSERT_EQ(send(lines), 50);
  EXPECT_EQ(send({"5011 181234E13001015*00"}), 0);  // a wrong checksum: NAK
  test::OutputPeer client;
  ASSERT_TRUE(client.attach(out_, "Bank"));
  std::vector<std::string> got;
  ASSERT_EQ(client.drain(10, got), 0);

  std::map<std::string, double> m = scrape(port);
  ASSERT_FALSE(m.empty());
  for (const char* channel : {"Bank", "Small"}) {
    const std::string l = std::string("{channel=\"") + channel + "\"}";
    const double pushed = m["orv_channel_lines_pushed_total" + l];
    EXPECT_EQ(pushed, 50) << channel;
    EXPECT_EQ(pushed, m["orv_channel_lines_delivered_total" + l] +
                          m["orv_channel_queue_lines" + l] +
                          m["orv_channel_lines_trimmed_total" + l])
        << channel;
  }
  EXPECT_EQ(m["orv_channel_lines_trimmed_total{channel=\"Small\"}"], 45);
  EXPECT_GE(m["orv_channel_lines_delivered_total{channel=\"Bank\"}"], 9);
  EXPECT_EQ(m["orv_channel_clients{channel=\"Bank\"}"], 1);
  EXPECT_EQ(m["orv_input_lines_received_total{input=\"TcpDrv input\"}"], 51);
  EXPECT_EQ(m["orv_input_lines_rejected_total{input=\"TcpDrv input\"}"], 1);
  EXPECT_EQ(m["orv_input_answer_seconds_count{input=\"TcpDrv input\"}"], 51);  // the NAK too
  EXPECT_GT(m["orv_queue_write_seconds_count"], 0);
  EXPECT_GT(m["orv_process_start_time_seconds"], 1.7e9);
  EXPECT_TRUE(test::stopsCleanly(*server, kWaitMs));
}

TEST_F(Metrics, GarbageAndFloodsOfScrapersAndATakenPortLeaveAlarmsAlone) {
  const uint16_t port = test::freePort();
  auto server = start(port);
  for (int i = 0; i < 300; ++i) {
    LineSocket s;
    ASSERT_EQ(s.connect("127.0.0.1", port, 2000), 0);
    if (i % 3 == 0) s.send(std::string(8192, static_cast<char>(i)));
  }
  EXPECT_EQ(send({test::withTcpDrvChecksum("5011 181234E13001015")}), 1);
  EXPECT_FALSE(scrape(port).empty());
  // A second server finds the metrics port taken: it says so and takes alarms all the same.
  auto second = start(port);
  EXPECT_TRUE(second->waitForOutput("metrics: cannot listen on 127.0.0.1:" + std::to_string(port),
                                    kWaitMs));
  EXPECT_EQ(send({test::withTcpDrvChecksum("5011 181234E13001015")}), 1);
  EXPECT_TRUE(test::stopsCleanly(*second, kWaitMs));
  EXPECT_TRUE(test::stopsCleanly(*server, kWaitMs));
}

}  // namespace
}  // namespace orv
