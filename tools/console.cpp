// orv-console: the operator's console for a headless ORV_Serv, over its operator channel (the
// Unix socket ORV_Serv.sock in the server's program directory).
//
// Without a subcommand it is an interactive console: the console's log lines as they come,
// typed lines sent to the chosen target as the command box sends them, the tool buttons as
// "/config", "/getlog", ..., and every question of a sequence asked on the terminal. With a
// subcommand it runs one sequence for a script and exits with a code per outcome.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/operator_questions.h"
#include "common/operator_wire.h"
#include "common/unique_fd.h"
#include "server/programming/text_dialog.h"
#include "tools/console_tables.h"
#include "tools/pty_device.h"

namespace orv {
namespace {

using Clock = std::chrono::steady_clock;
using Fields = std::vector<std::string>;

// Exit codes besides the console's outcome numbers (3..9), which the server's result carries.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;        // bad command line, or the server said something unexpected
constexpr int kExitUnreachable = 2;  // no server, another operator attached, connection lost
constexpr int kOutcomeCancelled = 8;
constexpr int kOutcomeRefused = 9;

constexpr int kSendMs = 10000;
constexpr int kHelloMs = 10000;

// A typed text, a field value or a module's trace, shown on one terminal line.
std::string shown(std::string_view text) {
  return escapeWireText(text);
}

std::string trimRight(std::string_view text) {
  size_t end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1));
}

bool sameName(std::string_view a, std::string_view b) {
  a = a.substr(0, a.find_last_not_of(' ') + 1);
  b = b.substr(0, b.find_last_not_of(' ') + 1);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

bool takeSignal(int fd) {
  signalfd_siginfo info;
  return ::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

// ---- terminal -------------------------------------------------------------------------------

// Lines typed on standard input, read without blocking the other waits.
class Terminal {
 public:
  bool isTty() const { return ::isatty(0) == 1; }
  bool ended() const { return ended_; }

  // A whole line already read, if any.
  std::optional<std::string> take() {
    std::string line;
    for (;;) {
      switch (buffer_.next(line)) {
        case WireLineBuffer::Next::Line:
          if (!line.empty() && line.back() == '\r') line.pop_back();
          return line;
        case WireLineBuffer::Next::TooLong:
          std::fprintf(stderr, "orv-console: typed line too long: dropped\n");
          buffer_ = WireLineBuffer(kMaxRequestLine / 2);
          continue;
        case WireLineBuffer::Next::None:
          return std::nullopt;
      }
    }
  }
  // Reads what standard input has; false at its end.
  bool fill() {
    char chunk[4096];
    ssize_t n = ::read(0, chunk, std::min(sizeof chunk, std::max<size_t>(1, buffer_.room())));
    if (n > 0) {
      buffer_.append(std::string_view(chunk, static_cast<size_t>(n)));
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    ended_ = true;
    return false;
  }

  enum class Got { Line, End, Signal, Timeout };
  // Waits up to timeoutMs (-1: no limit) for a typed line.
  Got readLine(std::string& line, int timeoutMs, int signalFd) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    for (;;) {
      if (std::optional<std::string> typed = take()) {
        line = std::move(*typed);
        return Got::Line;
      }
      if (ended_) return Got::End;
      pollfd fds[2] = {{0, POLLIN, 0}, {signalFd, POLLIN, 0}};
      int r = ::poll(fds, 2, timeoutMs < 0 ? -1 : remainingMs(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return Got::Timeout;
      if (fds[1].revents & POLLIN) {
        takeSignal(signalFd);
        return Got::Signal;
      }
      if (fds[0].revents) fill();
    }
  }

  // A masked entry: echo off while typing, when standard input is a terminal.
  Got readSecret(const std::string& prompt, std::string& typed, int signalFd) {
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    termios saved{};
    const bool tty = ::tcgetattr(0, &saved) == 0;
    if (tty) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(0, TCSANOW, &quiet);
    }
    Got got = readLine(typed, -1, signalFd);
    if (tty) ::tcsetattr(0, TCSANOW, &saved);
    std::fprintf(stderr, "\n");
    return got;
  }

 private:
  WireLineBuffer buffer_{kMaxRequestLine / 2};
  bool ended_ = false;
};

// ---- connection -----------------------------------------------------------------------------

class Channel {
 public:
  enum class Got { Line, Timeout, Closed, Signal, Typed };

  explicit Channel(int signalFd) : signalFd_(signalFd) {}

  // Connects and reads the greeting. 0, or the exit code after saying why not.
  int open(const std::filesystem::path& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.size() >= sizeof address.sun_path) {
      std::fprintf(stderr, "orv-console: socket path too long: %s\n", path.c_str());
      return kExitUnreachable;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_ || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::fprintf(stderr, "orv-console: cannot reach the server at %s: %s\n", path.c_str(),
                   std::strerror(errno));
      return kExitUnreachable;
    }
    Fields hello;
    Got got = next(hello, kHelloMs);
    if (got == Got::Line && hello[0] == "hello" && hello.size() >= 2) {
      if (hello[1] != std::to_string(kOperatorProtocol)) {
        std::fprintf(stderr, "orv-console: the server speaks protocol %s, this console %d\n",
                     hello[1].c_str(), kOperatorProtocol);
        return kExitUsage;
      }
      serverVersion_ = hello.size() >= 3 ? hello[2] : "";
      return kExitOk;
    }
    if (got == Got::Line && hello[0] == "refused") {
      std::fprintf(stderr, "orv-console: refused: %s\n",
                   hello.size() > 1 ? shown(hello[1]).c_str() : "");
      return kExitUnreachable;
    }
    std::fprintf(stderr, "orv-console: no greeting from the server at %s\n", path.c_str());
    return got == Got::Line ? kExitUsage : kExitUnreachable;
  }

  const std::string& serverVersion() const { return serverVersion_; }
  void watchTerminal(Terminal* terminal) { terminal_ = terminal; }

  bool send(const Fields& fields) {
    const std::string line = wireLine(fields);
    if (line.size() > kMaxRequestLine) {
      std::fprintf(stderr, "orv-console: request too long (%zu bytes)\n", line.size());
      return false;
    }
    size_t done = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSendMs);
    while (done < line.size()) {
      ssize_t n =
          ::send(fd_.get(), line.data() + done, line.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_.get(), POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(deadline)) > 0) continue;
      }
      lost_ = true;
      return false;
    }
    return true;
  }

  // The next line from the server, a typed line (when a terminal is watched) or a signal.
  Got next(Fields& fields, int timeoutMs, std::string* typed = nullptr) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    for (;;) {
      if (lost_) return Got::Closed;
      std::string line;
      switch (input_.next(line)) {
        case WireLineBuffer::Next::Line: {
          std::optional<Fields> split = splitWireLine(line);
          if (!split || split->empty()) continue;
          fields = std::move(*split);
          return Got::Line;
        }
        case WireLineBuffer::Next::TooLong:
          std::fprintf(stderr, "orv-console: the server sent a line over %zu bytes\n",
                       kMaxEventLine);
          lost_ = true;
          return Got::Closed;
        case WireLineBuffer::Next::None:
          break;
      }
      if (terminal_ && typed) {
        if (std::optional<std::string> t = terminal_->take()) {
          *typed = std::move(*t);
          return Got::Typed;
        }
      }
      // Typed input has ended: the interactive console is over.
      if (terminal_ && typed && terminal_->ended()) return Got::Closed;
      const bool watchTerminal = terminal_ && typed;
      pollfd fds[3] = {{fd_.get(), POLLIN, 0}, {signalFd_, POLLIN, 0}, {0, POLLIN, 0}};
      int r = ::poll(fds, watchTerminal ? 3 : 2, timeoutMs < 0 ? -1 : remainingMs(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Got::Closed;
      if (r == 0) return Got::Timeout;
      if (fds[1].revents & POLLIN) {
        takeSignal(signalFd_);
        return Got::Signal;
      }
      if (watchTerminal && fds[2].revents) terminal_->fill();
      if (fds[0].revents) {
        char chunk[64 * 1024];
        const size_t want = std::clamp<size_t>(input_.room(), 1, sizeof chunk);
        ssize_t n = ::recv(fd_.get(), chunk, want, 0);
        if (n > 0) {
          input_.append(std::string_view(chunk, static_cast<size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          lost_ = true;
        }
      }
    }
  }

 private:
  int signalFd_;
  UniqueFd fd_;
  WireLineBuffer input_{kMaxEventLine};
  Terminal* terminal_ = nullptr;
  bool lost_ = false;
  std::string serverVersion_;
};

// ---- what the server shows ------------------------------------------------------------------

struct DialogView {
  struct Table {
    std::string name;
    std::vector<std::string> columns;
    std::vector<Fields> rows;  // number, name, code, bits, settable
  };
  std::string title;
  std::string firmware;
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<Table> tables;
  std::vector<RecordTable> records;
  Fields security;  // codeRequest, old, new, repeat, openPassword

  // The caption as the server spells it, found without regard to trailing blanks and case.
  const std::string* caption(std::string_view typed) const {
    for (const auto& f : fields) {
      if (sameName(f.first, typed)) return &f.first;
    }
    return nullptr;
  }
  const Table* table(std::string_view typed) const {
    for (const Table& t : tables) {
      if (sameName(t.name, typed)) return &t;
    }
    return nullptr;
  }
};

// Reads the lines of a dialog's description, after its "dialog" line, up to "shown".
bool readDialog(Channel& channel, const Fields& first, DialogView& view) {
  view = DialogView{};
  view.title = first.size() > 1 ? first[1] : "";
  for (;;) {
    Fields f;
    if (channel.next(f, kHelloMs) != Channel::Got::Line) return false;
    const std::string& w = f[0];
    if (w == "shown") return true;
    if (w == "firmware" && f.size() == 2) {
      view.firmware = f[1];
    } else if (w == "field" && f.size() == 3) {
      view.fields.emplace_back(f[1], f[2]);
    } else if (w == "table" && f.size() >= 2) {
      view.tables.push_back({f[1], Fields(f.begin() + 2, f.end()), {}});
    } else if (w == "row" && f.size() == 6 && !view.tables.empty()) {
      view.tables.back().rows.emplace_back(f.begin() + 1, f.end());
    } else if (w == "records" && f.size() >= 3) {
      const size_t capacity = static_cast<size_t>(parseWireNumber(f[2]).value_or(0));
      view.records.push_back({f[1], Fields(f.begin() + 3, f.end()), {}, capacity});
    } else if (w == "record" && !view.records.empty()) {
      view.records.back().rows.emplace_back(f.begin() + 1, f.end());
    } else if (w == "security") {
      view.security.assign(f.begin() + 1, f.end());
    }
  }
}

void printFields(const DialogView& view, FILE* out) {
  for (const auto& [caption, value] : view.fields) {
    std::fprintf(out, "%s = %s\n", shown(trimRight(caption)).c_str(), shown(value).c_str());
  }
}

// Answers the questions of a sequence and drives its dialog: a script, or the terminal.
class Responder {
 public:
  virtual ~Responder() = default;
  // A button name, or nothing to cancel.
  virtual std::optional<std::string> ask(const Fields& question) = 0;
  virtual std::optional<std::string> secret(const std::string& title, size_t maxLength) = 0;
  virtual std::optional<std::string> file(bool forWriting, const std::string& filter,
                                          const std::string& defaultName) = 0;
  virtual bool timed(const std::string& text, int seconds, bool safe) = 0;
  // Drives the dialog until it is closed (or the connection is lost).
  virtual void dialog(Channel& channel, DialogView& view) = 0;
  virtual void log(const std::string& text) = 0;
  virtual void debug(const std::string& text) { std::printf("%s\n", shown(text).c_str()); }
  virtual void message(const std::string& title, const std::string& text) {
    (void)title;
    std::fprintf(stderr, "%s\n", shown(text).c_str());
  }
};

// Handles the lines a sequence may send at any time. False for a line it does not know.
bool handleEvent(Channel& channel, Responder& responder, const Fields& f) {
  const std::string& w = f[0];
  auto answer = [&](const std::optional<std::string>& value) {
    channel.send(value ? Fields{"answer", *value} : Fields{"cancel"});
  };
  if (w == "log" && f.size() == 2) {
    responder.log(f[1]);
  } else if (w == "debug" && f.size() == 2) {
    responder.debug(f[1]);
  } else if (w == "wait") {
    // The wait window's seconds: nothing to answer.
  } else if (w == "message" && f.size() == 3) {
    responder.message(f[1], f[2]);
  } else if (w == "ask" && f.size() >= 5) {
    answer(responder.ask(f));
  } else if (w == "secret" && f.size() == 3) {
    answer(responder.secret(f[1], static_cast<size_t>(parseWireNumber(f[2]).value_or(4))));
  } else if (w == "file" && f.size() == 4) {
    answer(responder.file(f[1] == "write", f[2], f[3]));
  } else if (w == "timed" && f.size() == 5) {
    answer(std::string(
        responder.timed(f[1], parseWireNumber(f[2]).value_or(0), f[3] == "Yes") ? "Yes" : "No"));
  } else {
    return false;
  }
  return true;
}

// A dialog edit's reply.
struct Reply {
  enum Kind { Done, Error, Closed, Lost } kind = Lost;
  std::string text;
};

// Sends one dialog edit and waits for its reply, answering questions on the way (OK asks some).
Reply exchange(Channel& channel, Responder& responder, const Fields& edit, DialogView* view) {
  if (!channel.send(edit)) return {};
  for (;;) {
    Fields f;
    switch (channel.next(f, -1)) {
      case Channel::Got::Line:
        break;
      case Channel::Got::Signal:
        channel.send({"cancel"});
        continue;
      default:
        return {};
    }
    if (f[0] == "done") return {Reply::Done, {}};
    if (f[0] == "error") return {Reply::Error, f.size() > 1 ? f[1] : ""};
    if (f[0] == "closed") return {Reply::Closed, f.size() > 1 ? f[1] : ""};
    if (f[0] == "dialog" && view) {
      if (!readDialog(channel, f, *view)) return {};
      return {Reply::Done, {}};
    }
    handleEvent(channel, responder, f);
  }
}

// Runs one request to its end: the result's outcome number, or an exit code of our own.
// A script leaves at a second Ctrl-C (the server takes that as Break too); the interactive
// console sends Break again.
int runRequest(Channel& channel, Responder& responder, const Fields& request,
               std::vector<Fields>* collected = nullptr, bool leaveOnSecondSignal = true) {
  if (!channel.send(request)) {
    std::fprintf(stderr, "orv-console: the connection to the server was lost\n");
    return kExitUnreachable;
  }
  bool breakSent = false;
  for (;;) {
    Fields f;
    switch (channel.next(f, -1)) {
      case Channel::Got::Line:
        break;
      case Channel::Got::Signal:
        if (breakSent && leaveOnSecondSignal) return kOutcomeCancelled;
        std::fprintf(stderr, "orv-console: Break\n");
        channel.send({"break"});
        breakSent = true;
        continue;
      default:
        std::fprintf(stderr, "orv-console: the connection to the server was lost\n");
        return kExitUnreachable;
    }
    const std::string& w = f[0];
    if (w == "result" && f.size() >= 2) {
      std::optional<int> code = parseWireNumber(f[1]);
      return code && *code < 128 ? *code : kExitUsage;
    }
    if (w == "error") {
      std::fprintf(stderr, "orv-console: %s\n", f.size() > 1 ? shown(f[1]).c_str() : "error");
      return kExitUsage;
    }
    if (w == "dialog") {
      DialogView view;
      if (!readDialog(channel, f, view)) return kExitUnreachable;
      responder.dialog(channel, view);
      continue;
    }
    if (handleEvent(channel, responder, f)) continue;
    if (collected) collected->push_back(std::move(f));
  }
}

// ---- scripts --------------------------------------------------------------------------------

struct ScriptOptions {
  std::optional<std::string> code;
  std::string onIncomplete = "abort";
  std::optional<std::string> file;  // absolute: the server's current directory is not ours
  bool verbose = false;
  // Module Config
  bool show = false;
  std::vector<std::string> sets;
  std::vector<std::string> marks;
  std::optional<std::string> codeRequest;
  std::optional<std::string> newCode;
  std::optional<std::string> save;
  std::optional<std::string> load;  // applied before every other change
  // Record tables as CSV: with textTables every table ("Table,ID,Message"), else "Phones".
  std::optional<std::string> tablesExport;
  std::optional<std::string> tablesImport;
  bool textTables = false;
};

// The tables that --export/--import work on, or why there are none.
std::vector<RecordTable> chosenTables(const DialogView& view, bool textTables,
                                      std::string& problem) {
  if (textTables) {
    if (view.records.empty()) problem = "the dialog \"" + view.title + "\" has no text tables";
    return view.records;
  }
  for (const RecordTable& t : view.records) {
    if (sameName(t.name, "Phones")) return {t};
  }
  problem = "the dialog \"" + view.title +
            "\" has no \"Phones\" table (only a second-family module's configuration has one)";
  return {};
}

class ScriptResponder : public Responder {
 public:
  ScriptResponder(ScriptOptions& o, Terminal& terminal, int signalFd)
      : o_(o), terminal_(terminal), signalFd_(signalFd) {}

  // Whether the script itself closed the dialog with Cancel because it only read, as asked.
  bool readOnlyCancel() const { return readOnlyCancel_; }
  // Whether the script cancelled because a file it was given was not taken.
  bool refused() const { return refused_; }

  std::optional<std::string> ask(const Fields& q) override {
    const std::string& title = q[1];
    const std::string& text = q[2];
    const Fields buttons(q.begin() + 4, q.end());
    auto offered = [&](std::string_view name) {
      return std::find(buttons.begin(), buttons.end(), name) != buttons.end();
    };
    std::string choice = q[3];  // the safe one
    if (text.find("Some data was lost!") != std::string::npos) {
      std::string wanted = o_.onIncomplete;
      wanted[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(wanted[0])));
      // A second incomplete read offers no Retry: then it is Abort.
      choice = offered(wanted) ? wanted : "Abort";
    } else if ((title == "QUESTION" && text.find("Save?") != std::string::npos) ||
               title == "WARNING") {
      // The operator asked for the change on the command line.
      if (offered("Yes")) choice = "Yes";
    }
    std::fprintf(stderr, "%s [%s]\n", shown(text).c_str(), choice.c_str());
    return choice;
  }

  std::optional<std::string> secret(const std::string& title, size_t) override {
    if (!typedCode_ && o_.code) typedCode_ = o_.code;
    if (typedCode_) return typedCode_;
    if (!terminal_.isTty()) {
      std::fprintf(stderr, "%s: no --code given and no terminal to ask: cancelled\n",
                   title.c_str());
      return std::nullopt;
    }
    std::string typed;
    if (terminal_.readSecret(title + ": ", typed, signalFd_) != Terminal::Got::Line) {
      return std::nullopt;
    }
    typedCode_ = typed;
    return typed;
  }

  std::optional<std::string> file(bool, const std::string&, const std::string&) override {
    return o_.file;
  }

  bool timed(const std::string& text, int, bool safe) override {
    std::fprintf(stderr, "%s [%s]\n", shown(text).c_str(), safe ? "Yes" : "No");
    return safe;
  }

  void log(const std::string& text) override {
    if (o_.verbose) std::fprintf(stderr, "%s\n", shown(text).c_str());
  }

  void dialog(Channel& channel, DialogView& view) override {
    const bool changes = !o_.sets.empty() || !o_.marks.empty() || o_.codeRequest || o_.newCode ||
                         o_.load || o_.tablesImport;
    auto fail = [&](const std::string& problem) {
      std::fprintf(stderr, "%s\n", shown(problem).c_str());
      exchange(channel, *this, {"cancel"}, nullptr);
    };
    auto refuse = [&](const std::string& problem) {
      refused_ = true;
      fail(problem);
    };
    auto apply = [&](const Fields& edit) {
      Reply r = exchange(channel, *this, edit, nullptr);
      if (r.kind == Reply::Done) return true;
      if (r.kind == Reply::Error) fail(r.text);
      return false;
    };
    std::string problem;
    std::vector<RecordTable> tables;
    if (o_.tablesExport || o_.tablesImport) {
      tables = chosenTables(view, o_.textTables, problem);
      if (!problem.empty()) return refuse(problem);
    }
    if (o_.load) {
      Reply r = exchange(channel, *this, {"load", *o_.load}, nullptr);
      if (r.kind == Reply::Error) return refuse(r.text);
      if (r.kind != Reply::Done) return;
      if (exchange(channel, *this, {"show"}, &view).kind != Reply::Done) return;
    }
    if (o_.show) printFields(view, stdout);
    std::fflush(stdout);
    for (const std::string& set : o_.sets) {
      std::optional<Fields> edit = setEdit(view, set);
      if (!edit) return fail("no field to match --set \"" + set + "\"");
      if (!apply(*edit)) return;
    }
    for (const std::string& mark : o_.marks) {
      std::string problem;
      std::optional<Fields> edit = markEdit(view, mark, problem);
      if (!edit) return fail(problem);
      if (!apply(*edit)) return;
    }
    if (o_.tablesImport) {
      bool lost = false;
      const std::string error = importTablesCsv(
          *o_.tablesImport, chosenTables(view, o_.textTables, problem), o_.textTables,
          [&](const std::string& table, const std::vector<Fields>& rows) -> std::string {
            Reply r = sendTable(channel, table, rows);
            lost = r.kind != Reply::Done && r.kind != Reply::Error;
            return r.text;
          });
      if (lost) return;
      if (!error.empty()) return refuse(error);
    }
    if (o_.codeRequest && !apply({"code-request", *o_.codeRequest == "on" ? "1" : "0"})) return;
    if (o_.newCode) {
      // The old code is the one the module asked for, or none (0000) when it asked for none.
      const std::string old = typedCode_.value_or(o_.code.value_or("0000"));
      if (!apply({"old-code", old}) || !apply({"new-code", *o_.newCode}) ||
          !apply({"repeat-code", *o_.newCode})) {
        return;
      }
    }
    if (o_.save && !apply({"save", *o_.save})) return;
    if (o_.tablesExport) {
      // What is exported is what would be written: the tables after the changes.
      if (changes && exchange(channel, *this, {"show"}, &view).kind != Reply::Done) return;
      tables = chosenTables(view, o_.textTables, problem);
      const std::string error = exportTablesCsv(*o_.tablesExport, tables, o_.textTables);
      if (!error.empty()) return refuse(error);
    }
    if (!changes) {
      readOnlyCancel_ = true;
      exchange(channel, *this, {"cancel"}, nullptr);
      return;
    }
    Reply r = exchange(channel, *this, {"ok"}, nullptr);
    if (r.kind == Reply::Error) fail(r.text);
  }

 private:
  // "CAPTION=VALUE": the longest caption that the text starts with, so that a value may hold "=".
  static std::optional<Fields> setEdit(const DialogView& view, const std::string& set) {
    const std::string* best = nullptr;
    size_t split = 0;
    for (size_t eq = set.find('='); eq != std::string::npos; eq = set.find('=', eq + 1)) {
      if (const std::string* c = view.caption(set.substr(0, eq))) {
        best = c;
        split = eq;
      }
    }
    if (!best) return std::nullopt;
    return Fields{"set", *best, set.substr(split + 1)};
  }

  // "[TABLE:]ROW,COLUMN=0|1"; the table is "Commands" unless named.
  static std::optional<Fields> markEdit(const DialogView& view, const std::string& mark,
                                        std::string& problem) {
    std::string table = "Commands";
    std::string rest = mark;
    if (size_t colon = mark.find(':'); colon != std::string::npos) {
      table = mark.substr(0, colon);
      rest = mark.substr(colon + 1);
    }
    const size_t comma = rest.find(',');
    const size_t eq = rest.find('=');
    std::optional<int> row, column;
    if (comma != std::string::npos && eq != std::string::npos && comma < eq) {
      row = parseWireNumber(rest.substr(0, comma));
      column = parseWireNumber(rest.substr(comma + 1, eq - comma - 1));
    }
    const std::string value = eq == std::string::npos ? "" : rest.substr(eq + 1);
    if (!row || !column || (value != "0" && value != "1")) {
      problem = "--mark \"" + mark + "\": write [TABLE:]ROW,COLUMN=0|1";
      return std::nullopt;
    }
    const DialogView::Table* t = view.table(table);
    if (!t) {
      problem = "--mark \"" + mark + "\": the dialog has no table " + table;
      return std::nullopt;
    }
    return Fields{"mark", t->name, std::to_string(*row), std::to_string(*column), value};
  }

  ScriptOptions& o_;
  Terminal& terminal_;
  int signalFd_;
  // Sends a whole table ("rows", a "row" line per row, "end") and waits for the dialog's reply.
  Reply sendTable(Channel& channel, const std::string& table, const std::vector<Fields>& rows) {
    for (size_t r = 0; r < rows.size(); ++r) {
      Fields line{"row"};
      line.insert(line.end(), rows[r].begin(), rows[r].end());
      if (wireLine(line).size() > kMaxRequestLine) {
        return {Reply::Error, "Row " + std::to_string(r + 1) + ": too long for the channel"};
      }
    }
    if (!channel.send({"rows", table})) return {};
    for (const Fields& row : rows) {
      Fields line{"row"};
      line.insert(line.end(), row.begin(), row.end());
      if (!channel.send(line)) return {};
    }
    return exchange(channel, *this, {"end"}, nullptr);
  }

  std::optional<std::string> typedCode_;
  bool readOnlyCancel_ = false;
  bool refused_ = false;
};

// ---- the interactive console ----------------------------------------------------------------

class TerminalResponder : public Responder {
 public:
  TerminalResponder(Terminal& terminal, int signalFd) : terminal_(terminal), signalFd_(signalFd) {}

  std::optional<std::string> ask(const Fields& q) override {
    const Fields buttons(q.begin() + 4, q.end());
    std::string list;
    for (const std::string& b : buttons) list += (list.empty() ? "" : "/") + b;
    for (;;) {
      std::printf("%s: %s [%s] ", shown(q[1]).c_str(), shown(q[2]).c_str(), list.c_str());
      std::fflush(stdout);
      std::string typed;
      if (terminal_.readLine(typed, -1, signalFd_) != Terminal::Got::Line) return std::nullopt;
      for (const std::string& b : buttons) {
        if (!typed.empty() && sameName(b.substr(0, typed.size()), typed)) return b;
      }
    }
  }

  std::optional<std::string> secret(const std::string& title, size_t) override {
    std::string typed;
    if (terminal_.readSecret(title + ": ", typed, signalFd_) != Terminal::Got::Line) {
      return std::nullopt;
    }
    return typed;
  }

  std::optional<std::string> file(bool forWriting, const std::string& filter,
                                  const std::string& defaultName) override {
    std::printf(
        "%s (%s, default %s; empty cancels): ", forWriting ? "File to write" : "File to send",
        shown(filter).c_str(), shown(defaultName).c_str());
    std::fflush(stdout);
    std::string typed;
    if (terminal_.readLine(typed, -1, signalFd_) != Terminal::Got::Line || typed.empty()) {
      return std::nullopt;
    }
    std::error_code ec;
    return std::filesystem::absolute(typed, ec).string();
  }

  // As the window does: "Yes" answers itself when the count-down ends.
  bool timed(const std::string& text, int seconds, bool) override {
    std::printf("%s [Yes/No, Yes in %d s] ", shown(text).c_str(), seconds);
    std::fflush(stdout);
    std::string typed;
    Terminal::Got got = terminal_.readLine(typed, seconds * 1000, signalFd_);
    if (got == Terminal::Got::Timeout) std::printf("Yes\n");
    return got != Terminal::Got::Line || typed.empty() || (typed[0] != 'n' && typed[0] != 'N');
  }

  void log(const std::string& text) override { std::printf("%s\n", shown(text).c_str()); }

  void message(const std::string& title, const std::string& text) override {
    std::printf("[%s] %s\n", shown(title).c_str(), shown(text).c_str());
  }

  void dialog(Channel& channel, DialogView& view) override {
    printDialog(view);
    for (;;) {
      std::printf("dialog> ");
      std::fflush(stdout);
      std::string typed;
      Terminal::Got got = terminal_.readLine(typed, -1, signalFd_);
      std::optional<Fields> edit =
          got == Terminal::Got::Line ? dialogEdit(view, typed) : Fields{"cancel"};
      if (!edit) continue;
      Reply r = exchange(channel, *this, *edit, &view);
      if (r.kind == Reply::Lost || r.kind == Reply::Closed) return;
      if (r.kind == Reply::Error) std::printf("error: %s\n", shown(r.text).c_str());
      if ((*edit)[0] == "show") printDialog(view);
      if ((*edit)[0] == "load" && r.kind == Reply::Done &&
          exchange(channel, *this, {"show"}, &view).kind == Reply::Done) {
        printDialog(view);
      }
    }
  }

 private:
  static void printDialog(const DialogView& view) {
    std::printf("== %s == firmware %s\n", shown(view.title).c_str(), shown(view.firmware).c_str());
    printFields(view, stdout);
    for (const DialogView::Table& t : view.tables) {
      std::printf("-- table %s:", shown(trimRight(t.name)).c_str());
      for (const std::string& c : t.columns) std::printf(" %s", shown(c).c_str());
      std::printf("\n");
      for (const Fields& row : t.rows) {
        std::printf("  %s %s %s marks=%s\n", row[0].c_str(), shown(row[1]).c_str(),
                    shown(row[2]).c_str(), row[3].c_str());
      }
    }
    for (const RecordTable& t : view.records) {
      std::printf("-- %s (%zu rows, at most %zu):", shown(t.name).c_str(), t.rows.size(),
                  t.capacity);
      for (const std::string& c : t.columns) std::printf(" | %s", shown(c).c_str());
      std::printf("\n");
      for (size_t r = 0; r < t.rows.size(); ++r) {
        std::printf("  %zu", r + 1);
        for (const std::string& cell : t.rows[r]) std::printf(" | %s", shown(cell).c_str());
        std::printf("\n");
      }
    }
    if (view.security.size() == 5) {
      std::printf("security: request %s, open password %s\n", view.security[0].c_str(),
                  view.security[4].c_str());
    }
    std::printf(
        "edit with: set CAPTION=VALUE | mark [TABLE:]ROW,COLUMN=0|1 | code-request on|off |\n"
        "  old-code N | new-code N | repeat-code N | open-password on|off | load FILE |\n"
        "  save FILE | show | ok | cancel\n");
  }

  static std::optional<Fields> dialogEdit(const DialogView& view, const std::string& typed) {
    const size_t space = typed.find(' ');
    const std::string word = typed.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : typed.substr(space + 1);
    auto onOff = [&](const char* name) -> std::optional<Fields> {
      if (arg != "on" && arg != "off") {
        std::printf("%s on|off\n", name);
        return std::nullopt;
      }
      return Fields{name, arg == "on" ? "1" : "0"};
    };
    if (word == "set") {
      const size_t eq = arg.find('=');
      if (eq == std::string::npos) {
        std::printf("set CAPTION=VALUE\n");
        return std::nullopt;
      }
      const std::string* caption = view.caption(arg.substr(0, eq));
      return Fields{"set", caption ? *caption : arg.substr(0, eq), arg.substr(eq + 1)};
    }
    if (word == "mark") {
      std::string table = "Commands", rest = arg;
      if (size_t colon = arg.find(':'); colon != std::string::npos) {
        table = arg.substr(0, colon);
        rest = arg.substr(colon + 1);
      }
      const size_t comma = rest.find(','), eq = rest.find('=');
      if (comma == std::string::npos || eq == std::string::npos || comma > eq) {
        std::printf("mark [TABLE:]ROW,COLUMN=0|1\n");
        return std::nullopt;
      }
      const DialogView::Table* t = view.table(table);
      return Fields{"mark", t ? t->name : table, rest.substr(0, comma),
                    rest.substr(comma + 1, eq - comma - 1), rest.substr(eq + 1)};
    }
    if (word == "code-request") return onOff("code-request");
    if (word == "open-password") return onOff("open-password");
    if (word == "old-code" || word == "new-code" || word == "repeat-code") {
      return Fields{word, arg};
    }
    if (word == "save" || word == "load") {
      std::error_code ec;
      return Fields{word, std::filesystem::absolute(arg, ec).string()};
    }
    if (word == "show" || word == "ok" || word == "cancel") return Fields{word};
    if (!typed.empty()) std::printf("unknown: %s\n", shown(word).c_str());
    return std::nullopt;
  }

  Terminal& terminal_;
  int signalFd_;
};

void interactiveHelp() {
  std::printf(
      "Typed text goes to the chosen target as the command box sends it (Enter).\n"
      "  /target ID     choose the target (\"Com\" is the line's device)\n"
      "  /line N        choose the receiver line (0)\n"
      "  /targets       the targets of the line      /commands   the command box's items\n"
      "  /config  /edit  /loadcodes  /update  /getlog   the tool buttons, on the target\n"
      "  /dbg [hex]     watch the target's lines     /nodbg      stop watching\n"
      "Ctrl-C breaks a running wait.\n"
      "  /quit          leave (Ctrl-D, or Ctrl-C when nothing runs)\n");
}

int interactive(Channel& channel, Terminal& terminal, int signalFd, int line) {
  TerminalResponder responder(terminal, signalFd);
  channel.watchTerminal(&terminal);
  std::string target;
  std::printf("ORV_Serv %s, operator console. /help lists the commands.\n",
              channel.serverVersion().c_str());
  auto request = [&](const Fields& r) {
    std::vector<Fields> rows;
    int code = runRequest(channel, responder, r, &rows, false);
    for (const Fields& row : rows) {
      if (row.size() == 2 && (row[0] == "target" || row[0] == "command")) {
        std::printf("  %s\n", shown(row[1]).c_str());
      } else if (row.size() == 2 && row[0] == "lines") {
        std::printf("line %d of %s:\n", line, row[1].c_str());
      }
    }
    if (code != 0) std::printf("(%d)\n", code);
    return code;
  };
  for (;;) {
    if (terminal.isTty()) {
      std::printf("%s> ", target.empty() ? "-" : shown(target).c_str());
      std::fflush(stdout);
    }
    Fields f;
    std::string typed;
    switch (channel.next(f, -1, &typed)) {
      case Channel::Got::Line:
        if (!handleEvent(channel, responder, f)) std::printf("%s\n", shown(wireLine(f)).c_str());
        continue;
      case Channel::Got::Timeout:
        continue;
      case Channel::Got::Signal:
        return kExitOk;
      case Channel::Got::Closed:
        if (terminal.ended()) return kExitOk;
        std::fprintf(stderr, "orv-console: the server closed the connection\n");
        return kExitUnreachable;
      case Channel::Got::Typed:
        break;
    }
    if (typed.empty()) continue;
    if (typed[0] != '/') {
      if (target.empty()) {
        std::printf("choose a target first: /target ID\n");
        continue;
      }
      request({"send", std::to_string(line), target, typed});
      continue;
    }
    const size_t space = typed.find(' ');
    const std::string word = typed.substr(1, space == std::string::npos ? space : space - 1);
    const std::string arg = space == std::string::npos ? "" : typed.substr(space + 1);
    if (word == "quit") {
      channel.send({"quit"});
      return kExitOk;
    } else if (word == "help") {
      interactiveHelp();
    } else if (word == "target") {
      target = arg;
    } else if (word == "line") {
      if (std::optional<int> n = parseWireNumber(arg)) {
        line = *n;
      } else {
        std::printf("/line N\n");
      }
    } else if (word == "targets") {
      request({"targets", std::to_string(line)});
    } else if (word == "commands") {
      request({"commands"});
    } else if (word == "config" || word == "edit" || word == "loadcodes" || word == "update" ||
               word == "getlog") {
      if (target.empty()) {
        std::printf("choose a target first: /target ID\n");
      } else {
        std::printf("(Ctrl-C breaks a wait)\n");
        request({word, std::to_string(line), target});
      }
    } else if (word == "dbg") {
      if (target.empty()) {
        std::printf("choose a target first: /target ID\n");
      } else {
        request({"dbg", target, arg == "hex" ? "1" : "0"});
      }
    } else if (word == "nodbg") {
      request({"stop"});
    } else {
      std::printf("unknown command /%s (/help)\n", shown(word).c_str());
    }
  }
}

// ---- subcommands ----------------------------------------------------------------------------

int targets(Channel& channel, Responder& responder, int line) {
  std::vector<Fields> rows;
  int code = runRequest(channel, responder, {"targets", std::to_string(line)}, &rows);
  if (code != 0) return code;
  for (const Fields& row : rows) {
    if (row.size() == 2 && row[0] == "target") std::printf("%s\n", shown(row[1]).c_str());
  }
  return kExitOk;
}

// A plain text is queued and not tracked: there is no answer to wait for, only the module's
// traffic to show for a while.
int sendText(Channel& channel, Responder& responder, int line, const std::string& id,
             const std::string& text, double seconds, int signalFd) {
  (void)signalFd;
  int code = runRequest(channel, responder, {"dbg", id, "0"});
  if (code != 0) return code;
  code = runRequest(channel, responder, {"send", std::to_string(line), id, text});
  if (code == 0) {
    const Clock::time_point until =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
      Fields f;
      Channel::Got got = channel.next(f, remainingMs(until));
      if (got == Channel::Got::Line) {
        handleEvent(channel, responder, f);
        continue;
      }
      if (got == Channel::Got::Closed) return kExitUnreachable;
      break;
    }
    std::fprintf(stderr,
                 "orv-console: queued; a plain text is not tracked, so no answer is awaited "
                 "(the module's lines of the last %g s are above)\n",
                 seconds);
  }
  int stopped = runRequest(channel, responder, {"stop"});
  return code != 0 ? code : stopped;
}

int debugStream(Channel& channel, Responder& responder, const std::string& id, bool hex) {
  int code = runRequest(channel, responder, {"dbg", id, hex ? "1" : "0"});
  if (code != 0) return code;
  for (;;) {
    Fields f;
    switch (channel.next(f, -1)) {
      case Channel::Got::Line:
        handleEvent(channel, responder, f);
        std::fflush(stdout);
        continue;
      case Channel::Got::Signal:
        return runRequest(channel, responder, {"stop"});
      default:
        std::fprintf(stderr, "orv-console: the connection to the server was lost\n");
        return kExitUnreachable;
    }
  }
}

std::string absolutePath(const std::string& file) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(file, ec);
  return ec ? file : p.lexically_normal().string();
}

// The text editor opened without a module: it works on local files only, and its "Write" is
// disabled, so a change is kept only by saving it.
int localTexts(const ScriptOptions& o, const std::string& file, bool twoTables) {
  TextImage image;
  image.fill(0xFF);
  TextDialog dialog(twoTables, image);
  dialog.setWritable(false);
  auto refuse = [](const std::string& problem) {
    std::fprintf(stderr, "%s\n", shown(problem).c_str());
    return kOutcomeRefused;
  };
  if (std::string error = dialog.load(file); !error.empty()) return refuse(error);
  if (o.tablesImport) {
    std::string error =
        importTablesCsv(*o.tablesImport, dialog.recordTables(), true,
                        [&](const std::string& table, const std::vector<Fields>& rows) {
                          return dialog.setRecords(table, rows);
                        });
    if (!error.empty()) return refuse(error);
  }
  if (o.save) {
    NoOperator nobody;
    if (std::string error = dialog.save(*o.save, nobody); !error.empty()) return refuse(error);
  }
  if (o.tablesExport) {
    std::string error = exportTablesCsv(*o.tablesExport, dialog.recordTables(), true);
    if (!error.empty()) return refuse(error);
  }
  return kExitOk;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) {
  using namespace orv;
  std::string dir;
  int line = 0;
  ScriptOptions o;
  std::string id, text, file;
  double seconds = 5;
  bool hex = false;

  CLI::App app{
      "orv-console: the operator's console for a headless ORV_Serv, over its socket\n"
      "DIR/ORV_Serv.sock. Without a subcommand: the interactive console.\n"
      "Exit codes: 0 done, 1 usage or protocol error, 2 server not reachable or another\n"
      "operator attached, 3 armed, 4 no connection, 5 wrong code, 6 incomplete read,\n"
      "7 no answer, 8 cancelled, 9 refused."};
  app.add_option("--dir", dir, "the server's program directory (not for texts --file)");
  app.add_option("--line", line, "the receiver line (0)")->check(CLI::NonNegativeNumber);
  app.add_flag("-v,--verbose", o.verbose, "show the console's log lines on stderr");
  app.require_subcommand(0, 1);
  app.fallthrough();

  auto* targetsCmd = app.add_subcommand("targets", "the selection dialog's rows of a line");
  targetsCmd->add_option("--line", line, "the receiver line")->check(CLI::NonNegativeNumber);

  auto* sendCmd = app.add_subcommand("send", "send TEXT to module ID as the command box does");
  sendCmd->add_option("ID", id, "the module's Id, or Com")->required();
  sendCmd->add_option("TEXT", text, "the command")->required();
  sendCmd->add_option("--seconds", seconds, "how long to show the module's lines (5)")
      ->check(CLI::Range(0.0, 3600.0));

  auto* configCmd = app.add_subcommand("config", "Module Config: read, show, change, write");
  configCmd->add_option("ID", id, "the module's Id, or Com")->required();
  const CLI::Validator fourDigits(
      [](std::string& v) -> std::string {
        if (v.empty() || v.size() > 4 ||
            !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          return "a security code is one to four digits";
        }
        return {};
      },
      "NNNN");
  configCmd->add_option("--code", o.code, "the security code, if the module asks for one")
      ->check(fourDigits);
  configCmd->add_flag("--show", o.show, "print the fields as CAPTION = VALUE lines");
  configCmd->add_option("--set", o.sets, "change a field (repeatable)")
      ->type_name("CAPTION=VALUE")
      ->allow_extra_args(false);
  configCmd->add_option("--mark", o.marks, "set or clear a mark (table Commands unless named)")
      ->type_name("[TABLE:]ROW,COLUMN=0|1")
      ->allow_extra_args(false);
  configCmd->add_option("--code-request", o.codeRequest, "ask for a security code from now on")
      ->check(CLI::IsMember({"on", "off"}));
  configCmd->add_option("--new-code", o.newCode, "give the module a new security code")
      ->check(fourDigits);
  configCmd->add_option("--save", o.save, "save the image as Intel HEX (after the changes)")
      ->type_name("FILE.hex");
  configCmd->add_option("--on-incomplete", o.onIncomplete, "\"Some data was lost!\": the answer")
      ->check(CLI::IsMember({"abort", "retry", "ignore"}));
  configCmd
      ->add_option("--load", o.load, "take the image from an Intel HEX file, before the changes")
      ->type_name("FILE.hex")
      ->check(CLI::ExistingFile);
  configCmd->add_option("--phones-export", o.tablesExport, "write the Phones table as CSV")
      ->type_name("FILE.csv");
  configCmd->add_option("--phones-import", o.tablesImport, "replace the Phones table from CSV")
      ->type_name("FILE.csv")
      ->check(CLI::ExistingFile);

  std::string localFile;
  bool twoTables = false;
  auto* textsCmd =
      app.add_subcommand("texts", "Edit: the module's event texts (or a local file's) as CSV");
  auto* textsId = textsCmd->add_option("ID", id, "the module's Id");
  textsCmd->add_option("--code", o.code, "the security code, if the module asks for one")
      ->check(fourDigits);
  textsCmd->add_option("--export", o.tablesExport, "write the tables as CSV (Table,ID,Message)")
      ->type_name("FILE.csv");
  textsCmd->add_option("--import", o.tablesImport, "replace the tables named in the CSV")
      ->type_name("FILE.csv")
      ->check(CLI::ExistingFile);
  textsCmd->add_option("--save", o.save, "save the texts as Intel HEX (after the changes)")
      ->type_name("FILE.hex");
  auto* textsLoad = textsCmd->add_option("--load", o.load, "take the texts from an Intel HEX file")
                        ->type_name("FILE.hex")
                        ->check(CLI::ExistingFile);
  textsCmd->add_option("--on-incomplete", o.onIncomplete, "\"Some data was lost!\": the answer")
      ->check(CLI::IsMember({"abort", "retry", "ignore"}));
  auto* textsFile =
      textsCmd->add_option("--file", localFile, "work on this local file, without a server")
          ->type_name("FILE.hex")
          ->check(CLI::ExistingFile)
          ->excludes(textsId)
          ->excludes(textsLoad);
  textsCmd->add_flag("--two-tables", twoTables, "with --file: the v.34 layout (partition texts)")
      ->needs(textsFile);

  auto* getlogCmd = app.add_subcommand("getlog", "GetLog: the module's event log into FILE");
  getlogCmd->add_option("ID", id, "the module's Id")->required();
  getlogCmd->add_option("FILE", file, "the log file to write")->required();
  auto* loadcodesCmd = app.add_subcommand("loadcodes", "LoadCodes: send a code table file");
  loadcodesCmd->add_option("ID", id, "the module's Id")->required();
  loadcodesCmd->add_option("FILE", file, "the Intel HEX file")
      ->required()
      ->check(CLI::ExistingFile);
  auto* updateCmd = app.add_subcommand("update", "Update: send a firmware file");
  updateCmd->add_option("ID", id, "the module's Id, or Com")->required();
  updateCmd->add_option("FILE", file, "the Intel HEX file")->required()->check(CLI::ExistingFile);
  for (CLI::App* sub : {getlogCmd, loadcodesCmd, updateCmd}) {
    sub->add_option("--code", o.code, "the security code, if the module asks for one")
        ->check(fourDigits);
  }

  auto* dbgCmd = app.add_subcommand("dbg", "print the module's lines until interrupted");
  dbgCmd->add_option("ID", id, "the module's Id")->required();
  dbgCmd->add_flag("--hex", hex, "bytes in hexadecimal");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }

  if (app.got_subcommand(textsCmd)) {
    o.textTables = true;
    if (!localFile.empty()) {
      if (o.tablesImport && !o.save) {
        std::fprintf(stderr, "orv-console: texts --file: an --import is kept only with --save\n");
        return kExitUsage;
      }
      return localTexts(o, localFile, twoTables);
    }
    if (id.empty()) {
      std::fprintf(stderr, "orv-console: texts: give a module ID, or --file FILE.hex\n");
      return kExitUsage;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "orv-console: --dir is required\n");
    return kExitUsage;
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  UniqueFd signals = orv::tool::takeStopSignals();
  Terminal terminal;
  Channel channel(signals.get());
  if (int code = channel.open(std::filesystem::path(dir) / kOperatorSocketFile)) return code;

  if (!file.empty()) o.file = absolutePath(file);
  if (o.save) o.save = absolutePath(*o.save);
  if (o.load) o.load = absolutePath(*o.load);
  ScriptResponder script(o, terminal, signals.get());
  const std::string lineText = std::to_string(line);

  if (app.got_subcommand(targetsCmd)) return targets(channel, script, line);
  if (app.got_subcommand(sendCmd)) {
    return sendText(channel, script, line, id, text, seconds, signals.get());
  }
  if (app.got_subcommand(dbgCmd)) return debugStream(channel, script, id, hex);
  const char* word = app.got_subcommand(configCmd)      ? "config"
                     : app.got_subcommand(getlogCmd)    ? "getlog"
                     : app.got_subcommand(loadcodesCmd) ? "loadcodes"
                     : app.got_subcommand(updateCmd)    ? "update"
                     : app.got_subcommand(textsCmd)     ? "edit"
                                                        : nullptr;
  if (!word) return interactive(channel, terminal, signals.get(), line);
  const int code = runRequest(channel, script, {word, lineText, id});
  if (code == kOutcomeCancelled && script.readOnlyCancel()) return kExitOk;
  if (code == kOutcomeCancelled && script.refused()) return kOutcomeRefused;
  return code;
}
