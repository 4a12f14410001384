#include "server/programming/operator_session.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "common/diag.h"
#include "server/programming/command_console.h"
#include "server/programming/image_dialog.h"

namespace orv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 16 * 1024;
// A timed question waits this much longer than its own count-down for a late answer.
constexpr int kTimedGraceMs = 5000;
// Time for the last lines (an error, "bye") to reach a client before its socket closes.
constexpr int kFinalFlushMs = 1000;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

std::string resultLine(ConsoleOutcome outcome) {
  return wireLine({"result", std::to_string(static_cast<int>(outcome)), outcomeName(outcome)});
}

std::optional<bool> parseSwitch(std::string_view text) {
  if (text == "1") return true;
  if (text == "0") return false;
  return std::nullopt;
}

}  // namespace

OperatorSession::OperatorSession(CommandConsole& console, const CancelEvent& stop)
    : console_(console), stop_(stop), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

OperatorSession::~OperatorSession() = default;

// ---- output ---------------------------------------------------------------------------------

void OperatorSession::attach(int fd) {
  std::lock_guard guard(outLock_);
  outFd_ = fd;
  pending_.clear();
  sent_ = 0;
  dropped_ = 0;
  outFailed_.store(false);
}

void OperatorSession::detach() {
  std::lock_guard guard(outLock_);
  outFd_ = -1;
  pending_.clear();
  sent_ = 0;
}

size_t OperatorSession::pendingBytes() {
  std::lock_guard guard(outLock_);
  return pending_.size() - sent_;
}

bool OperatorSession::flushLocked() {
  while (sent_ < pending_.size()) {
    ssize_t n = ::send(outFd_, pending_.data() + sent_, pending_.size() - sent_,
                       MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent_ += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return false;
    }
  }
  if (sent_ == pending_.size()) {
    pending_.clear();
    sent_ = 0;
  } else if (sent_ > pending_.size() / 2) {
    pending_.erase(0, sent_);
    sent_ = 0;
  }
  return true;
}

void OperatorSession::post(const std::string& line, bool droppable) {
  std::lock_guard guard(outLock_);
  if (outFd_ < 0 || outFailed_.load()) return;
  const size_t held = pending_.size() - sent_;
  if (held > kMaxPending) {
    if (droppable) {
      ++dropped_;
      return;
    }
    // Only a client that reads nothing for a long while gets here: it is as good as gone.
    if (held > 2 * kMaxPending) {
      outFailed_.store(true);
      wake();
      return;
    }
  }
  if (dropped_ > 0) {
    pending_ += wireLine(
        {"log", "[" + std::to_string(dropped_) + " lines not shown: the client read too slowly]"});
    dropped_ = 0;
  }
  pending_ += line;
  if (!flushLocked()) outFailed_.store(true);
  // The session thread may sleep in poll without watching for room to write: wake it.
  if (outFailed_.load() || sent_ < pending_.size()) wake();
}

void OperatorSession::wake() {
  uint64_t one = 1;
  ssize_t r = ::write(wakeFd_.get(), &one, sizeof one);
  (void)r;  // a full counter wakes as well
}

void OperatorSession::postTrace(std::string_view word, std::string_view text) {
  if (text.size() <= kMaxTraceText) {
    post(wireLine({word, text}), true);
    return;
  }
  std::string cut(text.substr(0, kMaxTraceText));
  cut += "[... " + std::to_string(text.size() - kMaxTraceText) + " more bytes not shown]";
  post(wireLine({word, cut}), true);
}

void OperatorSession::errorReply(std::string_view text) {
  post(wireLine({"error", text}));
}

// ---- input ----------------------------------------------------------------------------------

void OperatorSession::markGone(const char* why) {
  if (!gone_ && why) diagf("operator channel: %s", why);
  gone_ = true;
}

OperatorSession::Got OperatorSession::receive(std::vector<std::string>& fields, int timeoutMs) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  for (;;) {
    if (gone_) return Got::Gone;
    if (outFailed_.load()) {
      markGone("the operator's client stopped reading or its connection failed; session ended");
      return Got::Gone;
    }
    std::string line;
    switch (input_.next(line)) {
      case WireLineBuffer::Next::Line: {
        std::optional<std::vector<std::string>> split = splitWireLine(line);
        if (!split) {
          errorReply("badly escaped field: write bytes below 0x20, 0x7F..0xFF and \\ as \\xHH");
          continue;
        }
        if (split->empty()) continue;
        fields = std::move(*split);
        return Got::Line;
      }
      case WireLineBuffer::Next::TooLong:
        diagf("operator channel: a request line longer than %zu bytes; session ended",
              kMaxRequestLine);
        errorReply("line too long: session ended");
        markGone(nullptr);
        return Got::Gone;
      case WireLineBuffer::Next::None:
        break;
    }
    if (stop_.isSet()) {
      markGone(nullptr);
      return Got::Gone;
    }
    short events = POLLIN;
    if (pendingBytes() > 0) events |= POLLOUT;
    pollfd fds[3] = {{fd_, events, 0}, {stop_.fd(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    const int waitMs = timeoutMs < 0 ? -1 : remainingMs(deadline);
    int r = ::poll(fds, 3, waitMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      markGone("poll failed; session ended");
      return Got::Gone;
    }
    if (r == 0) return Got::Idle;
    if (fds[2].revents & POLLIN) {
      uint64_t count;
      ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
      (void)n;
    }
    if (fds[0].revents & POLLOUT) {
      std::lock_guard guard(outLock_);
      if (!flushLocked()) outFailed_.store(true);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[kReadChunk];
      const size_t want = std::clamp<size_t>(input_.room(), 1, sizeof buffer);
      ssize_t n = ::recv(fd_, buffer, want, MSG_DONTWAIT);
      if (n > 0) {
        input_.append(std::string_view(buffer, static_cast<size_t>(n)));
      } else if (n == 0) {
        markGone(inSequence_ ? "the operator left during a sequence: taken as Break" : nullptr);
        return Got::Gone;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        markGone("the operator's connection failed; session ended");
        return Got::Gone;
      }
    }
  }
}

void OperatorSession::handleAside(const std::vector<std::string>& fields) {
  if (fields[0] == "break") {
    breakLatched_ = true;
    return;
  }
  errorReply("busy: a sequence is running (only break is taken now)");
}

OperatorSession::Answer OperatorSession::awaitAnswer(std::vector<std::string>& answer,
                                                     int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<std::string> fields;
    switch (receive(fields, remainingMs(deadline))) {
      case Got::Gone:
        return Answer::Gone;
      case Got::Idle:
        return Answer::Expired;
      case Got::Line:
        break;
    }
    if (fields[0] == "answer" && fields.size() == 2) {
      answer = std::move(fields);
      return Answer::Given;
    }
    if (fields[0] == "cancel") return Answer::Cancelled;
    if (fields[0] == "break") {
      breakLatched_ = true;
      return Answer::Cancelled;
    }
    errorReply("a question is open: send answer<TAB>VALUE or cancel");
  }
}

bool OperatorSession::question(const std::string& line, std::string& value,
                               const std::function<std::string(const std::string&)>& check) {
  if (gone_) return false;
  // The operator is back at the keyboard: an earlier Break has done its work.
  breakLatched_ = false;
  post(line);
  for (;;) {
    std::vector<std::string> answer;
    switch (awaitAnswer(answer, kAnswerLimitMs)) {
      case Answer::Gone:
        return false;
      case Answer::Cancelled:
        return false;
      case Answer::Expired:
        markGone("the operator did not answer within 10 minutes: taken as Break");
        return false;
      case Answer::Given:
        break;
    }
    std::string problem = check(answer[1]);
    if (problem.empty()) {
      value = std::move(answer[1]);
      return true;
    }
    errorReply(problem);
  }
}

// ---- questions ------------------------------------------------------------------------------

bool OperatorSession::askTimed(std::string_view text, int seconds, bool safeAnswer,
                               std::string_view consequence) {
  if (gone_) return safeAnswer;
  breakLatched_ = false;
  post(wireLine({"timed", text, std::to_string(seconds), safeAnswer ? "Yes" : "No", consequence}));
  for (;;) {
    std::vector<std::string> answer;
    switch (awaitAnswer(answer, std::max(0, seconds) * 1000 + kTimedGraceMs)) {
      case Answer::Given:
        if (answer[1] == "Yes") return true;
        if (answer[1] == "No") return false;
        errorReply("answer Yes or No");
        continue;
      default:
        return safeAnswer;
    }
  }
}

void OperatorSession::showMessage(std::string_view title, std::string_view text) {
  post(wireLine({"message", title, text}));
}

Button OperatorSession::ask(std::string_view title, std::string_view text,
                            std::span<const Button> buttons, Button safe) {
  std::vector<std::string> line{"ask", std::string(title), std::string(text),
                                std::string(buttonName(safe))};
  for (Button b : buttons) line.emplace_back(buttonName(b));
  std::string chosen;
  auto check = [&](const std::string& name) -> std::string {
    for (Button b : buttons) {
      if (buttonName(b) == name) return {};
    }
    return "not one of the buttons: " + name;
  };
  if (!question(wireLine(line), chosen, check)) return safe;
  for (Button b : buttons) {
    if (buttonName(b) == chosen) return b;
  }
  return safe;
}

std::optional<std::string> OperatorSession::askSecret(std::string_view title, size_t maxLength) {
  std::string typed;
  auto check = [&](const std::string& value) -> std::string {
    if (value.size() <= maxLength) return {};
    return "at most " + std::to_string(maxLength) + " characters";
  };
  if (!question(wireLine({"secret", title, std::to_string(maxLength)}), typed, check)) {
    return std::nullopt;
  }
  return typed;
}

std::optional<std::filesystem::path> OperatorSession::chooseFile(bool forWriting,
                                                                 std::string_view filter,
                                                                 std::string_view defaultName) {
  std::string path;
  auto check = [](const std::string& value) -> std::string {
    if (value.empty()) return "an empty file name";
    if (value.find('\0') != std::string::npos) return "a file name with a NUL byte";
    return {};
  };
  if (!question(wireLine({"file", forWriting ? "write" : "read", filter, defaultName}), path,
                check)) {
    return std::nullopt;
  }
  return std::filesystem::path(path);
}

bool OperatorSession::breakRequested() {
  std::vector<std::string> fields;
  // Bounded, so that a client flooding lines cannot hold the sequence in here.
  for (int n = 0; n < 64 && !gone_ && receive(fields, 0) == Got::Line; ++n) handleAside(fields);
  return gone_ || breakLatched_;
}

void OperatorSession::waitProgress(int secondsLeft) {
  post(wireLine({"wait", std::to_string(secondsLeft)}), true);
}

void OperatorSession::log(std::string_view line) {
  postTrace("log", line);
}

void OperatorSession::debugLine(std::string_view line) {
  postTrace("debug", line);
}

// ---- dialogs --------------------------------------------------------------------------------

void OperatorSession::describe(const ImageDialog& dialog) {
  post(wireLine({"dialog", dialog.title()}));
  post(wireLine({"firmware", dialog.firmwareVersion}));
  for (const DialogField& field : dialog.fields()) {
    post(wireLine({"field", field.caption, field.value}));
  }
  for (const MarkTable& table : dialog.markTables()) {
    std::vector<std::string> head{"table", table.name};
    head.insert(head.end(), table.columns.begin(), table.columns.end());
    post(wireLine(head));
    for (const MarkTable::Row& row : table.rows) {
      post(wireLine({"row", std::to_string(row.number), row.name, row.code,
                     std::to_string(row.bits), std::to_string(row.settable)}));
    }
  }
  for (const RecordTable& table : dialog.recordTables()) {
    std::vector<std::string> head{"records", table.name, std::to_string(table.capacity)};
    head.insert(head.end(), table.columns.begin(), table.columns.end());
    post(wireLine(head));
    for (const std::vector<std::string>& row : table.rows) {
      std::vector<std::string> line{"record"};
      line.insert(line.end(), row.begin(), row.end());
      post(wireLine(line));
    }
  }
  const SecurityFields& s = dialog.security;
  post(wireLine({"security", s.codeRequest ? "1" : "0", s.oldCode, s.newCode, s.repeatCode,
                 s.openPassword ? "1" : "0"}));
  post(wireLine({"shown"}));
}

bool OperatorSession::showDialog(ImageDialog& dialog) {
  if (gone_) return false;
  breakLatched_ = false;
  describe(dialog);
  pendingEdit_.clear();
  for (;;) {
    std::vector<std::string> edit = std::move(pendingEdit_);
    pendingEdit_.clear();
    switch (edit.empty() ? receive(edit, kAnswerLimitMs) : Got::Line) {
      case Got::Gone:
        return false;
      case Got::Idle:
        markGone("the operator left the dialog alone for 10 minutes: taken as Cancel");
        return false;
      case Got::Line:
        break;
    }
    bool closed = false;
    bool accepted = false;
    try {
      accepted = dialogStep(dialog, edit, closed);
    } catch (const std::exception& e) {
      errorReply(e.what());
    }
    // Questions during OK may have found the client gone: then nothing may be written.
    if (gone_) return false;
    if (closed) return accepted;
  }
}

bool OperatorSession::dialogStep(ImageDialog& dialog, const std::vector<std::string>& edit,
                                 bool& closed) {
  const std::string& word = edit[0];
  auto reply = [this](const std::string& problem) {
    if (problem.empty()) {
      post(wireLine({"done"}));
    } else {
      errorReply(problem);
    }
  };
  auto setSwitch = [&](bool& target) {
    std::optional<bool> on = edit.size() == 2 ? parseSwitch(edit[1]) : std::nullopt;
    if (!on) return reply(word + ": give 0 or 1");
    target = *on;
    reply({});
  };
  auto setText = [&](std::string& target) {
    if (edit.size() != 2) return reply(word + ": give one value");
    target = edit[1];
    reply({});
  };
  if (word == "set") {
    if (edit.size() != 3) {
      reply("set: give CAPTION and VALUE");
    } else {
      reply(dialog.setField(edit[1], edit[2]));
    }
  } else if (word == "mark") {
    std::optional<int> row = edit.size() == 5 ? parseWireNumber(edit[2]) : std::nullopt;
    std::optional<int> column = edit.size() == 5 ? parseWireNumber(edit[3]) : std::nullopt;
    std::optional<bool> on = edit.size() == 5 ? parseSwitch(edit[4]) : std::nullopt;
    if (!row || !column || !on) {
      reply("mark: give TABLE, ROW, COLUMN and 0 or 1");
    } else {
      reply(dialog.setMark(edit[1], *row, *column, *on));
    }
  } else if (word == "code-request") {
    setSwitch(dialog.security.codeRequest);
  } else if (word == "open-password") {
    setSwitch(dialog.security.openPassword);
  } else if (word == "old-code") {
    setText(dialog.security.oldCode);
  } else if (word == "new-code") {
    setText(dialog.security.newCode);
  } else if (word == "repeat-code") {
    setText(dialog.security.repeatCode);
  } else if (word == "save") {
    if (edit.size() != 2 || edit[1].empty()) {
      reply("save: give a FILE");
    } else {
      reply(dialog.save(edit[1], *this));
    }
  } else if (word == "rows") {
    if (edit.size() != 2) {
      reply("rows: give TABLE");
    } else {
      tableEdit(dialog, edit[1], closed);
    }
  } else if (word == "load") {
    if (edit.size() != 2 || edit[1].empty()) {
      reply("load: give a FILE");
    } else {
      reply(dialog.load(edit[1]));
    }
  } else if (word == "show") {
    describe(dialog);
  } else if (word == "ok") {
    const bool accepted = dialog.accept(*this);
    if (gone_) {
      closed = true;
      return false;
    }
    if (accepted) {
      post(wireLine({"closed", "ok"}));
      closed = true;
      return true;
    }
    errorReply("not accepted: the dialog stays open");
  } else if (word == "cancel" || word == "break") {
    post(wireLine({"closed", "cancel"}));
    closed = true;
  } else {
    errorReply(
        "the dialog is open: set, mark, rows, code-request, old-code, new-code, repeat-code, "
        "open-password, load, save, show, ok or cancel");
  }
  return false;
}

void OperatorSession::tableEdit(ImageDialog& dialog, const std::string& table, bool& closed) {
  std::vector<std::vector<std::string>> rows;
  size_t bytes = 0;
  std::string problem;  // once set, the rows up to "end" are only counted off
  for (;;) {
    std::vector<std::string> line;
    switch (receive(line, kAnswerLimitMs)) {
      case Got::Gone:
        return;
      case Got::Idle:
        markGone("the operator left a table edit alone for 10 minutes: taken as Cancel");
        return;
      case Got::Line:
        break;
    }
    const std::string& word = line[0];
    if (word == "row") {
      if (!problem.empty()) continue;
      for (size_t i = 1; i < line.size(); ++i) bytes += line[i].size() + 1;
      if (rows.size() >= kMaxTableRows || bytes > kMaxTableBytes) {
        problem = "rows " + table + ": more than " + std::to_string(kMaxTableRows) + " rows or " +
                  std::to_string(kMaxTableBytes >> 20) + " MiB of cells: nothing changed";
        rows = {};
        continue;
      }
      rows.emplace_back(line.begin() + 1, line.end());
    } else if (word == "end") {
      const std::string result = problem.empty() ? dialog.setRecords(table, rows) : problem;
      if (result.empty()) {
        post(wireLine({"done"}));
      } else {
        errorReply(result);
      }
      return;
    } else if (word == "cancel" || word == "break") {
      post(wireLine({"closed", "cancel"}));
      closed = true;
      return;
    } else {
      // A client that lost count of its rows: the half-sent table must not be taken.
      errorReply("rows " + table + ": ended by \"" + word + "\" before end: nothing changed");
      pendingEdit_ = std::move(line);
      return;
    }
  }
}

// ---- requests -------------------------------------------------------------------------------

void OperatorSession::run(UniqueFd client, std::string_view version) {
  fd_ = client.get();
  input_ = WireLineBuffer(kMaxRequestLine);
  gone_ = false;
  breakLatched_ = false;
  inSequence_ = false;
  debugging_ = false;
  attach(fd_);
  post(wireLine({"hello", std::to_string(kOperatorProtocol), version}));
  std::vector<std::string> request;
  while (receive(request, -1) == Got::Line) dispatch(request);
  if (debugging_) console_.stopDebug();

  // The last lines (a result, an error) still go out if the client reads them soon.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFinalFlushMs);
  while (!outFailed_.load() && pendingBytes() > 0 && Clock::now() < deadline) {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, remainingMs(deadline)) <= 0) break;
    std::lock_guard guard(outLock_);
    if (!flushLocked()) break;
  }
  detach();
  fd_ = -1;
}

bool OperatorSession::parseLine(const std::string& text, size_t& line) {
  std::optional<int> value = parseWireNumber(text);
  const size_t count = console_.lineCount();
  if (!value || static_cast<size_t>(*value) >= count) {
    errorReply("no receiver line " + text + " (there are " + std::to_string(count) + ")");
    return false;
  }
  line = static_cast<size_t>(*value);
  return true;
}

void OperatorSession::dispatch(const std::vector<std::string>& request) {
  const std::string& word = request[0];
  size_t line = 0;
  if (word == "targets") {
    if (request.size() > 2) return errorReply("usage: targets [LINE]");
    if (request.size() == 2 && !parseLine(request[1], line)) return;
    post(wireLine({"lines", std::to_string(console_.lineCount())}));
    for (const std::string& row : console_.targetRows(line)) post(wireLine({"target", row}));
    post(resultLine(ConsoleOutcome::Done));
  } else if (word == "commands") {
    if (request.size() != 1) return errorReply("usage: commands");
    for (const std::string& item : console_.commandItems()) post(wireLine({"command", item}));
    post(resultLine(ConsoleOutcome::Done));
  } else if (word == "send") {
    if (request.size() != 4) return errorReply("usage: send LINE ID TEXT");
    if (!parseLine(request[1], line)) return;
    post(resultLine(console_.send(line, request[2], request[3], *this)));
  } else if (word == "config" || word == "edit" || word == "loadcodes" || word == "update" ||
             word == "getlog") {
    if (request.size() != 3) return errorReply("usage: " + word + " LINE ID");
    if (!parseLine(request[1], line)) return;
    runSequence(word, line, request[2]);
  } else if (word == "dbg") {
    std::optional<bool> hex = request.size() == 3 ? parseSwitch(request[2]) : std::optional(false);
    if (request.size() < 2 || request.size() > 3 || !hex) return errorReply("usage: dbg ID [0|1]");
    console_.startDebug(request[1], *hex, *this);
    debugging_ = true;
    post(resultLine(ConsoleOutcome::Done));
  } else if (word == "stop") {
    if (debugging_) console_.stopDebug();
    debugging_ = false;
    post(resultLine(ConsoleOutcome::Done));
  } else if (word == "break") {
    // Late: the sequence it was meant for has ended already.
  } else if (word == "quit") {
    post(wireLine({"bye"}));
    markGone(nullptr);
  } else {
    errorReply("unknown request: " + word);
  }
}

void OperatorSession::runSequence(const std::string& word, size_t line, const std::string& id) {
  inSequence_ = true;
  breakLatched_ = false;
  ConsoleOutcome outcome = ConsoleOutcome::Cancelled;
  try {
    if (word == "config") {
      outcome = console_.moduleConfig(line, id, *this);
    } else if (word == "edit") {
      outcome = console_.edit(line, id, *this);
    } else if (word == "loadcodes") {
      outcome = console_.loadCodes(line, id, *this);
    } else if (word == "update") {
      outcome = console_.update(line, id, *this);
    } else {
      outcome = console_.getLog(line, id, *this);
    }
  } catch (const std::exception& e) {
    // A sequence that fails must not take the server with it; the operator hears why.
    diagf("operator channel: %s on %s failed: %s", word.c_str(), id.c_str(), e.what());
    showMessage("Error", e.what());
    outcome = ConsoleOutcome::Refused;
  }
  inSequence_ = false;
  breakLatched_ = false;
  post(resultLine(outcome));
}

}  // namespace orv
