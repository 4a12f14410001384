#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel_event.h"
#include "common/operator_wire.h"
#include "common/unique_fd.h"
#include "server/programming/console_operator.h"

namespace orv {

class CommandConsole;

// The operator at the far end of the operator channel. The session thread reads the client's
// requests and runs the console's sequences; every question they ask goes to the client and waits
// for its answer. A client that goes away, breaks the protocol, or a channel that stops, counts
// as Break from then on: every later question gets its cancel answer, so nothing more is written
// to a module.
//
// One object serves the clients one after another: the transports may still hand it a trace
// line after a client left, and then it is dropped.
class OperatorSession : public ConsoleOperator {
 public:
  // Lines (trace, debug) held for a slow client before more are dropped.
  static constexpr size_t kMaxPending = 8u << 20;
  // How long the client may take over one question or dialog step before it is taken as gone.
  static constexpr int kAnswerLimitMs = 10 * 60 * 1000;
  // Trace texts are cut to this (a file transfer is traced as one block).
  static constexpr size_t kMaxTraceText = 256 * 1024;

  OperatorSession(CommandConsole& console, const CancelEvent& stop);
  ~OperatorSession() override;

  // Serves `client` until it leaves, breaks the protocol or the channel stops. Session thread.
  void run(UniqueFd client, std::string_view version);

  // Questions: on the session thread, from the sequences it runs.
  bool askTimed(std::string_view question, int seconds, bool safeAnswer,
                std::string_view consequence) override;
  void showMessage(std::string_view title, std::string_view text) override;
  Button ask(std::string_view title, std::string_view text, std::span<const Button> buttons,
             Button safe) override;
  std::optional<std::string> askSecret(std::string_view title, size_t maxLength) override;
  std::optional<std::filesystem::path> chooseFile(bool forWriting, std::string_view filter,
                                                  std::string_view defaultName) override;
  bool breakRequested() override;
  void waitProgress(int secondsLeft) override;
  bool showDialog(ImageDialog& dialog) override;
  // From any thread.
  void log(std::string_view line) override;
  void debugLine(std::string_view line) override;

 private:
  enum class Got { Line, Idle, Gone };
  enum class Answer { Given, Cancelled, Expired, Gone };

  // Output: any thread may post, the session thread also flushes what a slow client left.
  void post(const std::string& line, bool droppable = false);
  void postTrace(std::string_view word, std::string_view text);
  bool flushLocked();
  size_t pendingBytes();
  void wake();
  void attach(int fd);
  void detach();

  // Input, session thread only. Waits up to timeoutMs (-1: no limit) for the next request line.
  Got receive(std::vector<std::string>& fields, int timeoutMs);
  void markGone(const char* why);
  // A line that came while a sequence was busy with something else.
  void handleAside(const std::vector<std::string>& fields);
  // Waits for "answer VALUE" or "cancel" to the question just posted.
  Answer awaitAnswer(std::vector<std::string>& answer, int timeoutMs);
  // Posts a question and waits for an answer that `check` finds no fault with (it returns the
  // fault). False when cancelled, or when the client is gone or never answers.
  bool question(const std::string& line, std::string& value,
                const std::function<std::string(const std::string&)>& check);
  void errorReply(std::string_view text);

  void dispatch(const std::vector<std::string>& request);
  bool parseLine(const std::string& text, size_t& line);
  void runSequence(const std::string& word, size_t line, const std::string& id);
  void describe(const ImageDialog& dialog);
  bool dialogStep(ImageDialog& dialog, const std::vector<std::string>& edit, bool& closed);
  // After "rows TABLE": collects the row lines up to "end" and replaces the table then. A line
  // that is neither ends the edit with an error and is taken as the next edit.
  void tableEdit(ImageDialog& dialog, const std::string& table, bool& closed);

  CommandConsole& console_;
  const CancelEvent& stop_;
  UniqueFd wakeFd_;  // an eventfd: output was left pending, the session thread should flush it

  std::mutex outLock_;
  int outFd_ = -1;
  std::string pending_;
  size_t sent_ = 0;  // bytes of pending_ already sent
  size_t dropped_ = 0;
  std::atomic<bool> outFailed_{false};

  // Session thread only.
  int fd_ = -1;
  WireLineBuffer input_{kMaxRequestLine};
  bool gone_ = false;
  bool breakLatched_ = false;
  bool inSequence_ = false;
  bool debugging_ = false;
  std::vector<std::string> pendingEdit_;  // a dialog edit that ended a table edit early
};

}  // namespace orv
