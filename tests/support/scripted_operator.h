#pragma once

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/programming/console_operator.h"

namespace orv::test {

// An operator that answers from a script: the security code, the buttons in order, the file,
// and what to do in a dialog. What the console showed and logged is kept for the test to read.
class ScriptedOperator : public ConsoleOperator {
 public:
  std::optional<std::string> code;            // "Enter Security Code"; none: cancelled
  std::deque<Button> buttons;                 // answers to ask(), in order; then the safe one
  std::optional<std::filesystem::path> file;  // the file dialog's choice
  // Edits the dialog; returns false for Cancel. Default: OK as it stands.
  std::function<bool(ImageDialog&)> onDialog;
  std::atomic<bool> breakNow{false};  // may be set from another thread

  bool askTimed(std::string_view question, int seconds, bool safeAnswer,
                std::string_view consequence) override;
  void showMessage(std::string_view title, std::string_view text) override;
  Button ask(std::string_view title, std::string_view text, std::span<const Button> choices,
             Button safe) override;
  std::optional<std::string> askSecret(std::string_view title, size_t maxLength) override;
  std::optional<std::filesystem::path> chooseFile(bool forWriting, std::string_view filter,
                                                  std::string_view defaultName) override;
  bool breakRequested() override { return breakNow; }
  bool showDialog(ImageDialog& dialog) override;
  void log(std::string_view line) override;

  std::vector<std::string> messages() const;   // "title: text" per message box
  std::vector<std::string> questions() const;  // the texts of ask()
  std::vector<std::string> logLines() const;
  int dialogs() const;

 private:
  mutable std::mutex lock_;  // log() comes from the transports' threads
  std::vector<std::string> messages_;
  std::vector<std::string> questions_;
  std::vector<std::string> log_;
  int dialogs_ = 0;
};

}  // namespace orv::test
