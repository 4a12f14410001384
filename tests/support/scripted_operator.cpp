#include "tests/support/scripted_operator.h"

namespace orv::test {

bool ScriptedOperator::askTimed(std::string_view, int, bool safeAnswer, std::string_view) {
  return safeAnswer;
}

void ScriptedOperator::showMessage(std::string_view title, std::string_view text) {
  std::lock_guard guard(lock_);
  messages_.push_back(std::string(title) + ": " + std::string(text));
}

Button ScriptedOperator::ask(std::string_view, std::string_view text, std::span<const Button>,
                             Button safe) {
  std::lock_guard guard(lock_);
  questions_.emplace_back(text);
  if (buttons.empty()) return safe;
  Button b = buttons.front();
  buttons.pop_front();
  return b;
}

std::optional<std::string> ScriptedOperator::askSecret(std::string_view, size_t) {
  return code;
}

std::optional<std::filesystem::path> ScriptedOperator::chooseFile(bool, std::string_view,
                                                                  std::string_view) {
  return file;
}

bool ScriptedOperator::showDialog(ImageDialog& dialog) {
  {
    std::lock_guard guard(lock_);
    ++dialogs_;
  }
  if (onDialog && !onDialog(dialog)) return false;
  return dialog.accept(*this);
}

void ScriptedOperator::log(std::string_view line) {
  std::lock_guard guard(lock_);
  log_.emplace_back(line);
}

std::vector<std::string> ScriptedOperator::messages() const {
  std::lock_guard guard(lock_);
  return messages_;
}

std::vector<std::string> ScriptedOperator::questions() const {
  std::lock_guard guard(lock_);
  return questions_;
}

std::vector<std::string> ScriptedOperator::logLines() const {
  std::lock_guard guard(lock_);
  return log_;
}

int ScriptedOperator::dialogs() const {
  std::lock_guard guard(lock_);
  return dialogs_;
}

}  // namespace orv::test
