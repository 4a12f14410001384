// The operator channel of a headless ORV_Serv and orv-console, its client: the real server with
// orv-modsim modules on 127.0.0.1, and the console over the server's Unix socket. Some tests talk
// the line protocol themselves, to misbehave as orv-console never does.

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/hex_record.h"
#include "common/operator_questions.h"
#include "common/operator_wire.h"
#include "common/unique_fd.h"
#include "server/programming/device_dialog.h"
#include "server/programming/text_dialog.h"
#include "tests/support/elapsed.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::Clock;
using test::msSince;
using Fields = std::vector<std::string>;

constexpr int kStartMs = 15000;
constexpr int kWaitMs = 10000;
constexpr int kSequenceMs = 30000;
constexpr int kExitMs = 10000;
// How long a module that must not be written to is watched after its sequence ended.
constexpr int kQuietMs = 1500;

// ---- the line protocol's escaping -----------------------------------------------------------

TEST(OperatorWire, EveryByteAndEmptyFieldsSurviveTheTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const Fields fields{"", all, "a\tb\r\n", "\\x41", std::string(16, '\xFF'), ""};
  const std::string line = wireLine(fields);
  ASSERT_EQ(line.back(), '\n');
  const std::string_view body(line.data(), line.size() - 1);
  // One line, printable ASCII only, and a tab only where fields meet.
  for (char c : body) {
    ASSERT_TRUE((c >= 0x20 && c < 0x7F) || c == '\t') << static_cast<int>(c);
  }
  EXPECT_EQ(std::count(body.begin(), body.end(), '\t'), 5);
  std::optional<Fields> back = splitWireLine(body);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, fields);
}

TEST(OperatorWire, BadEscapesAreRefusedRawBytesKept) {
  for (std::string_view bad : {"\\", "\\x", "\\x4", "\\q41", "a\\xZZ", "\\X41"}) {
    EXPECT_FALSE(unescapeWireText(bad)) << bad;
  }
  EXPECT_EQ(unescapeWireText("\\x5c\\x5C"), "\\\\");
  // What arrives unescaped stands as it is; a CR before the LF is dropped once.
  std::optional<Fields> raw = splitWireLine("set\t\xFF\xFE\r");
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, (Fields{"set", "\xFF\xFE"}));
  EXPECT_EQ(splitWireLine("")->size(), 0u);
  EXPECT_FALSE(splitWireLine("ok\t\\x0"));
}

TEST(OperatorWire, LineBufferHoldsNoMoreThanItsLimit) {
  WireLineBuffer buffer(8);
  std::string line;
  buffer.append("12345678\nabc");
  ASSERT_EQ(buffer.next(line), WireLineBuffer::Next::Line);
  EXPECT_EQ(line, "12345678");
  EXPECT_EQ(buffer.next(line), WireLineBuffer::Next::None);
  EXPECT_EQ(buffer.room(), 6u);  // one past the limit tells "too long" from "just fits"
  buffer.append("def\n");
  ASSERT_EQ(buffer.next(line), WireLineBuffer::Next::Line);
  EXPECT_EQ(line, "abcdef");

  WireLineBuffer flood(8);
  flood.append("123456789");
  EXPECT_EQ(flood.next(line), WireLineBuffer::Next::TooLong);
  WireLineBuffer late(8);
  late.append("123456789\n");
  EXPECT_EQ(late.next(line), WireLineBuffer::Next::TooLong);
}

// ---- a client of our own ---------------------------------------------------------------------

// Speaks the line protocol directly.
class RawClient {
 public:
  testing::AssertionResult connect(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return testing::AssertionFailure() << "connect " << path << ": " << std::strerror(errno);
    }
    return testing::AssertionSuccess();
  }

  // Connects and waits for "hello": the session of a console run that just ended may take a
  // moment to end in the server, and until then a new one is refused.
  testing::AssertionResult attach(const std::filesystem::path& socket) {
    const Clock::time_point start = Clock::now();
    for (;;) {
      testing::AssertionResult connected = connect(socket);
      if (!connected) return connected;
      std::optional<Fields> hello = next();
      if (hello && (*hello)[0] == "hello") return testing::AssertionSuccess();
      if (!hello || (*hello)[0] != "refused" || msSince(start) >= kWaitMs) {
        return testing::AssertionFailure() << "no hello";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  bool sendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  bool send(const Fields& fields) { return sendRaw(wireLine(fields)); }

  // The next line; nothing when none came in time or the server closed.
  std::optional<Fields> next(int timeoutMs = kWaitMs) {
    const Clock::time_point start = Clock::now();
    for (;;) {
      std::string line;
      if (buffer_.next(line) == WireLineBuffer::Next::Line) return splitWireLine(line);
      const int left = timeoutMs - static_cast<int>(msSince(start));
      pollfd p{fd_.get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0) return std::nullopt;
      char chunk[4096];
      ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
      if (n <= 0) {
        closed_ = true;
        return std::nullopt;
      }
      buffer_.append(std::string_view(chunk, static_cast<size_t>(n)));
    }
  }
  // Reads up to the first line that starts with `word`; the lines before it go to `seen`.
  std::optional<Fields> until(std::string_view word, std::vector<Fields>* seen = nullptr,
                              int timeoutMs = kSequenceMs) {
    const Clock::time_point start = Clock::now();
    while (msSince(start) < timeoutMs) {
      std::optional<Fields> f = next(timeoutMs - static_cast<int>(msSince(start)));
      if (!f) return std::nullopt;
      if (!f->empty() && (*f)[0] == word) return f;
      if (seen) seen->push_back(*f);
    }
    return std::nullopt;
  }
  // The server ended the connection within timeoutMs (lines meanwhile are skipped).
  bool closedWithin(int timeoutMs) {
    const Clock::time_point start = Clock::now();
    while (!closed_ && msSince(start) < timeoutMs)
      next(timeoutMs - static_cast<int>(msSince(start)));
    return closed_;
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  WireLineBuffer buffer_{kMaxEventLine};
  bool closed_ = false;
};

struct ToolRun {
  int code = -1;
  std::string output;  // stdout and stderr
};

class ConsoleTool : public testing::Test {
 protected:
  void TearDown() override {
    modules_.reset();
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kExitMs));
    EXPECT_FALSE(std::filesystem::exists(socket())) << "the socket file outlived the server";
    if (HasFailure()) {
      std::printf("--- ORV_Serv output ---\n%s--- end ---\n", server_->output().c_str());
    }
  }

  std::filesystem::path socket() const { return dir_ / "ORV_Serv.sock"; }

  // `deviceLine`: the line's module port closed and its GSM receiver device taken over TCP on
  // port_ instead.
  bool startServer(bool deviceLine = false) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = test::freePort();
      if (port_ == 0) continue;
      dir_.write("ORV_Serv.ini",
                 deviceLine ? "[GPRS0]\nPort=0\nTcpOn=1\nTcpPort=" + std::to_string(port_) + "\n"
                            : "[GPRS0]\nPort=" + std::to_string(port_) + "\n");
      server_ = std::make_unique<test::Process>(
          ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
      if (!server_->waitForOutput("operator channel listening on", kStartMs)) {
        ADD_FAILURE() << "no operator channel:\n" << server_->output();
        return false;
      }
      if (deviceLine) return true;
      if (server_->output().find("module server listening on port " + std::to_string(port_)) !=
          std::string::npos) {
        return true;
      }
      server_.reset();  // the port was taken meanwhile
    }
    ADD_FAILURE() << "no free port could be bound";
    return false;
  }

  // One simulated module SIM0001 (account 1000) that polls often, with more options; true once
  // the server lists it.
  bool startModule(std::vector<std::string> options = {}) {
    std::vector<std::string> args{
        "--port",      std::to_string(port_),          "--seconds", "120", "--poll-ms", "50",
        "--image-out", (dir_ / "written.hex").string()};
    args.insert(args.end(), options.begin(), options.end());
    modules_ = std::make_unique<test::Process>(ORV_MODSIM_PATH, args);
    const Clock::time_point start = Clock::now();
    while (msSince(start) < kWaitMs) {
      ToolRun r = console({"targets"});
      if (r.code == 0 && r.output.find("SIM0001 ( 1000 )") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the module never showed in the targets:\n" << modules_->output();
    return false;
  }

  ToolRun console(std::vector<std::string> args, int timeoutMs = kSequenceMs) {
    args.insert(args.begin(), {"--dir", dir_.path().string()});
    test::Process p(ORV_CONSOLE_PATH, args);
    ToolRun r;
    std::optional<int> code = p.waitExit(timeoutMs);
    r.output = p.output();
    r.code = code.value_or(-1);
    return r;
  }

  // The image the module received with its last "scfg".
  std::vector<uint8_t> writtenImage() const {
    std::vector<uint8_t> image(1024, 0xFF);
    std::ifstream in(dir_ / "written.hex");
    std::string line;
    while (std::getline(in, line)) {
      if (std::optional<HexRecord> r = decodeHexRecord(line)) storeHexRecord(*r, image);
    }
    return image;
  }

  // Whether the module took a configuration ("scfg <id>: ..." on its output) within ms.
  bool moduleWritten(int ms) { return modules_->waitForOutput("scfg SIM0001:", ms); }
  bool textsWritten(int ms) { return modules_->waitForOutput("stxt SIM0001:", ms); }

  test::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::Process> server_;
  std::unique_ptr<test::Process> modules_;
};

// ---- the socket -------------------------------------------------------------------------------

TEST_F(ConsoleTool, SocketIsOwnerOnlyAndReplacesAStaleOne) {
  {
    // What a server that crashed leaves behind: a socket file nobody listens on.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket().c_str());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(startServer());
  struct stat st;
  ASSERT_EQ(::lstat(socket().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  // Nothing of the private staging directory is left beside it.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".ORV_Serv.sock."), std::string::npos);
  }
  RawClient client;
  EXPECT_TRUE(client.attach(socket()));
}

TEST_F(ConsoleTool, OneOperatorAtATime) {
  ASSERT_TRUE(startServer());
  RawClient first;
  ASSERT_TRUE(first.connect(socket()));
  ASSERT_TRUE(first.until("hello"));

  ToolRun second = console({"targets"});
  EXPECT_EQ(second.code, 2) << second.output;
  EXPECT_NE(second.output.find("another operator is attached"), std::string::npos) << second.output;
  // The first one is still served.
  ASSERT_TRUE(first.send({"targets"}));
  std::optional<Fields> result = first.until("result");
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)[1], "0");

  first.close();
  const Clock::time_point start = Clock::now();
  ToolRun next;
  do {
    next = console({"targets"});
  } while (next.code != 0 && msSince(start) < kWaitMs);
  EXPECT_EQ(next.code, 0) << next.output;
}

// ---- sequences through orv-console -----------------------------------------------------------

TEST_F(ConsoleTool, ConfigReadsShowsAndWritesBackTheChange) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule());

  ToolRun read = console({"config", "SIM0001", "--show", "--save", (dir_ / "read.hex").string()});
  EXPECT_EQ(read.code, 0) << read.output;
  EXPECT_NE(read.output.find("\nEntry Delay = 90\n"), std::string::npos) << read.output;
  EXPECT_NE(read.output.find("Test time value = "), std::string::npos) << "trailing blank kept";
  EXPECT_TRUE(std::filesystem::exists(dir_ / "read.hex"));
  EXPECT_FALSE(moduleWritten(kQuietMs)) << "a read-only config wrote to the module";

  ToolRun write = console({"config", "SIM0001", "--set", "Entry Delay=7"});
  EXPECT_EQ(write.code, 0) << write.output;
  ASSERT_TRUE(moduleWritten(kWaitMs)) << modules_->output();
  std::vector<uint8_t> image = writtenImage();
  EXPECT_EQ(image[100], 7);
  EXPECT_EQ(image[101], 0x5A) << "a neighbour of the changed byte changed";
}

TEST_F(ConsoleTool, ARangeErrorWritesNothing) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule());
  ToolRun r = console({"config", "SIM0001", "--set", "Exit Delay=0", "--set", "Entry Delay=7"});
  EXPECT_EQ(r.code, 8) << r.output;
  EXPECT_NE(r.output.find("Exit Delay <1"), std::string::npos) << r.output;
  EXPECT_FALSE(moduleWritten(kQuietMs));

  ToolRun unknown = console({"config", "SIM0001", "--set", "No Such Field=1"});
  EXPECT_EQ(unknown.code, 8) << unknown.output;
  EXPECT_FALSE(moduleWritten(kQuietMs));
}

TEST_F(ConsoleTool, SecurityCodeRightAndWrong) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--code", "0042"}));
  ToolRun right = console({"config", "SIM0001", "--code", "0042", "--set", "Entry Delay=9"});
  EXPECT_EQ(right.code, 0) << right.output;
  ASSERT_TRUE(moduleWritten(kWaitMs));
  EXPECT_EQ(writtenImage()[100], 9);

  ToolRun wrong = console({"config", "SIM0001", "--code", "1111", "--set", "Entry Delay=3"});
  EXPECT_EQ(wrong.code, 5) << wrong.output;
  EXPECT_NE(wrong.output.find("Security Code is incorrect !"), std::string::npos) << wrong.output;
}

TEST_F(ConsoleTool, ArmedObjectAndUnknownModule) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--armed"}));
  ToolRun armed = console({"config", "SIM0001", "--set", "Entry Delay=7"});
  EXPECT_EQ(armed.code, 3) << armed.output;
  EXPECT_NE(armed.output.find("Object is Armed. Programming not allowed."), std::string::npos)
      << armed.output;
  EXPECT_FALSE(moduleWritten(kQuietMs));

  ToolRun none = console({"getlog", "NOBODY", (dir_ / "log.txt").string()});
  EXPECT_EQ(none.code, 4) << none.output;
}

TEST_F(ConsoleTool, GetLogWritesTheFileAndSendIsNotTracked) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--log-lines", "3"}));
  ToolRun log = console({"getlog", "SIM0001", (dir_ / "log.txt").string()});
  EXPECT_EQ(log.code, 0) << log.output;
  std::ifstream in(dir_ / "log.txt");
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  EXPECT_EQ(lines, 3);

  ToolRun sent = console({"send", "SIM0001", "99.c", "--seconds", "1"});
  EXPECT_EQ(sent.code, 0) << sent.output;
  EXPECT_NE(sent.output.find("-> 1SIM0001:99.c"), std::string::npos) << sent.output;
  EXPECT_NE(sent.output.find("not tracked"), std::string::npos) << sent.output;
  EXPECT_EQ(console({"send", "NOBODY", "99.c", "--seconds", "0"}).code, 4);
}

// ---- clients that misbehave ------------------------------------------------------------------

TEST_F(ConsoleTool, GarbageGetsErrorsAndAnOverlongLineEndsTheSession) {
  ASSERT_TRUE(startServer());
  RawClient client;
  ASSERT_TRUE(client.attach(socket()));
  for (std::string_view garbage :
       {std::string_view("\x01\x02\xFF garbage\n"), std::string_view("targets\t\\xZZ\n"),
        std::string_view("targets\t99\n"), std::string_view("config\t0\n"),
        std::string_view("answer\tYes\n")}) {
    ASSERT_TRUE(client.sendRaw(garbage));
    std::optional<Fields> reply = client.next();
    ASSERT_TRUE(reply) << garbage;
    EXPECT_EQ((*reply)[0], "error") << garbage;
  }
  // Still served after all that.
  ASSERT_TRUE(client.send({"commands"}));
  ASSERT_TRUE(client.until("result"));

  // The server may close before all of it is sent.
  client.sendRaw(std::string(1 << 20, 'x'));
  EXPECT_TRUE(client.closedWithin(kWaitMs));
  EXPECT_TRUE(server_->waitForOutput("request line longer than", kWaitMs));
  ToolRun after = console({"targets"});
  EXPECT_EQ(after.code, 0) << after.output;
}

TEST_F(ConsoleTool, AClientLeavingMidSequenceWritesNothing) {
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--code", "1234"}));

  // Gone at the security-code question.
  {
    RawClient client;
    ASSERT_TRUE(client.attach(socket()));
    ASSERT_TRUE(client.send({"config", "0", "SIM0001"}));
    ASSERT_TRUE(client.until("secret"));
  }
  // Gone with a change made in the dialog, before OK.
  {
    RawClient client;
    ASSERT_TRUE(client.attach(socket()));
    ASSERT_TRUE(client.send({"config", "0", "SIM0001"}));
    ASSERT_TRUE(client.until("secret"));
    ASSERT_TRUE(client.send({"answer", "1234"}));
    ASSERT_TRUE(client.until("shown"));
    ASSERT_TRUE(client.send({"set", "Entry Delay", "7"}));
    std::optional<Fields> done = client.next();
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)[0], "done");
  }
  EXPECT_TRUE(server_->waitForOutput("left during a sequence", kWaitMs));
  EXPECT_FALSE(moduleWritten(kQuietMs));

  // The server serves the next operator, and the module still has what it had.
  const Clock::time_point start = Clock::now();
  ToolRun read;
  do {
    read = console({"config", "SIM0001", "--code", "1234", "--show"});
  } while (read.code == 2 && msSince(start) < kWaitMs);
  EXPECT_EQ(read.code, 0) << read.output;
  EXPECT_NE(read.output.find("\nEntry Delay = 90\n"), std::string::npos) << read.output;
}

// ---- record tables: event texts and telephone numbers as CSV --------------------------------

// The rows of one table of a text image file, as the editor shows them.
std::vector<std::vector<std::string>> textRows(const std::filesystem::path& file, bool twoTables,
                                               std::string_view table) {
  TextImage image;
  image.fill(0xFF);
  TextDialog dialog(twoTables, image);
  EXPECT_EQ(dialog.load(file), "") << file;
  for (const RecordTable& t : dialog.recordTables()) {
    if (t.name == table) return t.rows;
  }
  return {};
}

void writeTextImage(const std::filesystem::path& file,
                    const std::vector<std::vector<std::string>>& events) {
  TextImage image;
  image.fill(0xFF);
  TextDialog dialog(false, image);
  ASSERT_EQ(dialog.setRecords("Events", events), "");
  NoOperator nobody;
  ASSERT_EQ(dialog.save(file, nobody), "");
}

TEST_F(ConsoleTool, TextsExportImportWritesTheChangeToTheModule) {
  writeTextImage(dir_ / "module.hex", {{"1A2B3C4D", "Door, \"front\""}, {"2A", "Zone 42"}});
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--text-image", (dir_ / "module.hex").string(), "--text-out",
                           (dir_ / "texts_out.hex").string()}));

  ToolRun read = console({"texts", "SIM0001", "--export", (dir_ / "read.csv").string()});
  ASSERT_EQ(read.code, 0) << read.output;
  EXPECT_EQ(test::readFile(dir_ / "read.csv"),
            "Table,ID,Message\r\nEvents,1A2B3C4D,\"Door, \"\"front\"\"\"\r\n"
            "Events,0000002A,Zone 42\r\n");
  EXPECT_FALSE(textsWritten(kQuietMs)) << "an export wrote to the module";

  // A line break inside quotes, and a message of 30 two-byte characters: the field keeps 23.
  std::string longText;
  for (int i = 0; i < 30; ++i) longText += "\xC3\xA9";
  dir_.write("new.csv",
             "Table,ID,Message\n\"Events\",1A2B3C4D,\"two\nlines\"\nEvents,7," + longText + "\n");
  ToolRun write = console({"texts", "SIM0001", "--import", (dir_ / "new.csv").string()});
  ASSERT_EQ(write.code, 0) << write.output;
  ASSERT_TRUE(textsWritten(kWaitMs)) << modules_->output();
  std::string cut;
  for (int i = 0; i < 23; ++i) cut += "\xC3\xA9";
  EXPECT_EQ(textRows(dir_ / "texts_out.hex", false, "Events"),
            (std::vector<std::vector<std::string>>{{"1A2B3C4D", "two\nlines"}, {"00000007", cut}}));
}

TEST_F(ConsoleTool, BadCsvIsRefusedNamingTheLineAndNothingIsWritten) {
  writeTextImage(dir_ / "module.hex", {{"1", "One"}});
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--text-image", (dir_ / "module.hex").string()}));

  std::string tooMany = "Table,ID,Message\n";
  for (int i = 0; i < 10001; ++i) tooMany += "Events,1,x\n";
  std::string overCapacity = "Table,ID,Message\n";
  for (int i = 0; i < 163; ++i) overCapacity += "Events," + std::to_string(i) + ",x\n";
  const struct {
    std::string csv;
    std::string said;
  } cases[] = {
      {"Table,Code,Message\nEvents,1,x\n", "line 1: the header must be"},
      {"Table,ID,Message\nEvents,1,x\nEvents,2\n", "line 3: 2 columns instead of 3"},
      {"Table,ID,Message\nEvents,1,\"open\n", "line 2: a quoted field is not closed"},
      {"Table,ID,Message\nZones,1,x\n", "line 2: no table \"Zones\""},
      {"Table,ID,Message\nEvents,1,x\nEvents,XYZ,x\n", "line 3"},
      {tooMany, "line 10002: more than 10000 rows"},
      // The one-table editor keeps 162 records: the 163rd is on line 164.
      {overCapacity, "line 164"},
  };
  for (const auto& c : cases) {
    dir_.write("bad.csv", c.csv);
    ToolRun r = console({"texts", "SIM0001", "--import", (dir_ / "bad.csv").string()});
    EXPECT_EQ(r.code, 9) << r.output;
    EXPECT_NE(r.output.find(c.said), std::string::npos) << c.said << "\n" << r.output;
  }
  EXPECT_FALSE(textsWritten(kQuietMs)) << modules_->output();

  ToolRun phones = console({"config", "SIM0001", "--phones-export", (dir_ / "p.csv").string()});
  EXPECT_EQ(phones.code, 9) << phones.output;
  EXPECT_NE(phones.output.find("has no \"Phones\" table"), std::string::npos) << phones.output;
  EXPECT_FALSE(moduleWritten(kQuietMs));
}

TEST_F(ConsoleTool, TableEditsOverTheChannelAreAllOrNothing) {
  writeTextImage(dir_ / "module.hex", {{"1", "One"}});
  ASSERT_TRUE(startServer());
  ASSERT_TRUE(startModule({"--text-image", (dir_ / "module.hex").string()}));
  RawClient client;
  ASSERT_TRUE(client.attach(socket()));
  ASSERT_TRUE(client.send({"edit", "0", "SIM0001"}));
  std::vector<Fields> shownLines;
  ASSERT_TRUE(client.until("shown", &shownLines));
  EXPECT_NE(std::find(shownLines.begin(), shownLines.end(),
                      Fields{"records", "Events", "162", "ID", "Message"}),
            shownLines.end());
  EXPECT_NE(std::find(shownLines.begin(), shownLines.end(), Fields{"record", "00000001", "One"}),
            shownLines.end());

  auto unchanged = [&] {
    std::vector<Fields> again;
    EXPECT_TRUE(client.send({"show"}));
    EXPECT_TRUE(client.until("shown", &again));
    return std::find(again.begin(), again.end(), Fields{"record", "00000001", "One"}) !=
           again.end();
  };
  // Past the row limit: refused whole once the end comes.
  std::string flood = wireLine({"rows", "Events"});
  for (size_t i = 0; i <= kMaxTableRows; ++i) flood += wireLine({"row", "2", "Two"});
  ASSERT_TRUE(client.sendRaw(flood + wireLine({"end"})));
  std::optional<Fields> reply = client.next();
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)[0], "error");
  EXPECT_TRUE(unchanged());
  // A table edit cut short by another edit takes none of its rows.
  ASSERT_TRUE(client.send({"rows", "Events"}));
  ASSERT_TRUE(client.send({"row", "2", "Two"}));
  ASSERT_TRUE(client.send({"show"}));
  reply = client.next();
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)[0], "error");
  ASSERT_TRUE(client.until("shown"));
  EXPECT_TRUE(unchanged());
  // The dialog's own refusal names the row.
  ASSERT_TRUE(client.sendRaw(wireLine({"rows", "Events"}) + wireLine({"row", "1", "a"}) +
                             wireLine({"row", "G", "b"}) + wireLine({"end"})));
  reply = client.next();
  ASSERT_TRUE(reply && reply->size() == 2);
  EXPECT_EQ((*reply)[1].rfind("Row 2:", 0), 0u) << (*reply)[1];
  ASSERT_TRUE(client.send({"cancel"}));
  ASSERT_TRUE(client.until("result"));
  EXPECT_FALSE(textsWritten(kQuietMs));
}

TEST(ConsoleTexts, LocalFileRoundTripWithoutAServer) {
  test::TempDir dir;
  writeTextImage(dir / "in.hex", {});
  auto run = [](std::vector<std::string> args) {
    test::Process p(ORV_CONSOLE_PATH, args);
    ToolRun r;
    r.code = p.waitExit(kExitMs).value_or(-1);
    r.output = p.output();
    return r;
  };
  dir.write("new.csv",
            "Table,ID,Message\r\nPartitions,0f,Garage\r\nEvents,1A2B3C4D,\"a, \"\"b\"\"\"\r\n");
  ToolRun r = run({"texts", "--file", (dir / "in.hex").string(), "--two-tables", "--import",
                   (dir / "new.csv").string(), "--save", (dir / "out.hex").string()});
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(textRows(dir / "out.hex", true, "Partitions"),
            (std::vector<std::vector<std::string>>{{"0F", "Garage"}}));
  r = run({"texts", "--file", (dir / "out.hex").string(), "--two-tables", "--export",
           (dir / "back.csv").string()});
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(test::readFile(dir / "back.csv"),
            "Table,ID,Message\r\nEvents,1A2B3C4D,\"a, \"\"b\"\"\"\r\nPartitions,0F,Garage\r\n");

  // The editor without a module cannot write: a change not saved would be lost.
  r = run({"texts", "--file", (dir / "in.hex").string(), "--import", (dir / "new.csv").string()});
  EXPECT_EQ(r.code, 1) << r.output;
  // The one-table layout has no partitions.
  r = run({"texts", "--file", (dir / "in.hex").string(), "--import", (dir / "new.csv").string(),
           "--save", (dir / "one.hex").string()});
  EXPECT_EQ(r.code, 9) << r.output;
  EXPECT_NE(r.output.find("line 2: no table \"Partitions\""), std::string::npos) << r.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "one.hex"));
}

TEST_F(ConsoleTool, PhonesExportImportOnTheDeviceLine) {
  DeviceImage image;
  image.fill(0xFF);
  {
    DeviceDialog dialog(7, image);
    ASSERT_EQ(dialog.setField("APN", "internet"), "");
    ASSERT_EQ(dialog.setRecords("Phones", {{"36301234567", "1A2B", "1"}, {"12345", "0001", "2"}}),
              "");
    NoOperator nobody;
    ASSERT_TRUE(dialog.accept(nobody));
  }
  dir_.write("device.bin", std::string(image.begin(), image.end()));
  ASSERT_TRUE(startServer(true));
  test::Process device(ORV_GSMDEV_PATH,
                       {"--connect", "127.0.0.1:" + std::to_string(port_), "--mode-reply",
                        "v.42_mode0", "--image", (dir_ / "device.bin").string(), "--save-image",
                        (dir_ / "written.bin").string(), "--events", "100000", "--rate", "20"});
  const Clock::time_point start = Clock::now();
  ToolRun targets;
  do {
    targets = console({"targets"});
  } while (targets.output.find("Com ( 7777 )") == std::string::npos && msSince(start) < kWaitMs);
  ASSERT_NE(targets.output.find("Com ( 7777 )"), std::string::npos) << targets.output;

  ToolRun read = console({"config", "Com", "--phones-export", (dir_ / "phones.csv").string()});
  ASSERT_EQ(read.code, 0) << read.output;
  EXPECT_EQ(test::readFile(dir_ / "phones.csv"),
            "Telephone Number,Account,User\r\n36301234567,1A2B,1\r\n12345,0001,2\r\n");

  dir_.write("dup.csv", "Telephone Number,Account,User\n555,0001,1\n666,0002,1\n555,0003,1\n");
  ToolRun dup = console({"config", "Com", "--phones-import", (dir_ / "dup.csv").string()});
  EXPECT_EQ(dup.code, 9) << dup.output;
  EXPECT_NE(dup.output.find("dup.csv line 4"), std::string::npos) << dup.output;
  EXPECT_FALSE(device.waitForLine("scfg", kQuietMs)) << "a refused import was written";

  dir_.write("new.csv", "Telephone Number,Account,User\n555,00ab,1\n666,0002,3\n");
  ToolRun write = console({"config", "Com", "--phones-import", (dir_ / "new.csv").string()});
  ASSERT_EQ(write.code, 0) << write.output;
  ASSERT_TRUE(device.waitForLine("scfg", kWaitMs)) << device.output();
  const std::string written = test::readFile(dir_ / "written.bin");
  ASSERT_GE(written.size(), kDeviceCarriedEnd);
  DeviceImage back;
  back.fill(0xFF);
  std::copy_n(written.begin(), std::min(written.size(), back.size()), back.begin());
  EXPECT_EQ(unpackPhones(back, 7), (PhoneRows{{"555", "00AB", "1"}, {"666", "0002", "3"}}));
}

}  // namespace
}  // namespace orv
