#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orv {

// The buttons of a question box, in the order a box shows them.
enum class Button { Ok, Cancel, Yes, No, Abort, Retry, Ignore };
std::string_view buttonName(Button button);  // "OK", "Cancel", "Yes", "No", "Abort", ...

// Questions and messages for an operator. A window asks them in a dialog; the operator channel
// forwards them to its client; with nobody to ask, the safe answer is taken and said on stderr.
// Worker threads call it directly; an implementation that needs its own thread gets there itself.
class OperatorQuestions {
 public:
  virtual ~OperatorQuestions() = default;

  // A yes/no question whose "Yes (n)" counts down from `seconds` and answers itself at 0.
  // `safeAnswer` is what a server without an operator chooses; `consequence` says what that
  // choice does, for the line on stderr.
  virtual bool askTimed(std::string_view question, int seconds, bool safeAnswer,
                        std::string_view consequence) = 0;
  // A message box the operator only acknowledges ("Error", "Cannot open Com port!").
  virtual void showMessage(std::string_view title, std::string_view text) = 0;

  // A message box with buttons ("Some data was lost!" with Abort, Retry, Ignore; "Save?" with
  // Yes, No). `safe` is the answer when nobody can be asked.
  virtual Button ask(std::string_view title, std::string_view text, std::span<const Button> buttons,
                     Button safe);
  // A masked entry box ("Enter Security Code"); std::nullopt when cancelled.
  virtual std::optional<std::string> askSecret(std::string_view title, size_t maxLength);
  // The file dialog: an existing file to read, or a file to write. `filter` is as the design
  // writes it ("Hex file|*.hex"); std::nullopt when cancelled.
  virtual std::optional<std::filesystem::path> chooseFile(bool forWriting, std::string_view filter,
                                                          std::string_view defaultName);
  // "Break" in the wait window; polled by every wait.
  virtual bool breakRequested() { return false; }
  // The wait window's button: the whole seconds left. Called only when the number changes.
  virtual void waitProgress(int /*secondsLeft*/) {}
};

// Nobody to ask: every question gets its safe answer and one line on stderr.
class NoOperator : public OperatorQuestions {
 public:
  bool askTimed(std::string_view question, int seconds, bool safeAnswer,
                std::string_view consequence) override;
  void showMessage(std::string_view title, std::string_view text) override;
};

}  // namespace orv
