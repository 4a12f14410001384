#include "common/operator_questions.h"

#include <string>

#include "common/diag.h"

namespace orv {

std::string_view buttonName(Button button) {
  switch (button) {
    case Button::Ok:
      return "OK";
    case Button::Cancel:
      return "Cancel";
    case Button::Yes:
      return "Yes";
    case Button::No:
      return "No";
    case Button::Abort:
      return "Abort";
    case Button::Retry:
      return "Retry";
    case Button::Ignore:
      return "Ignore";
  }
  return "?";
}

Button OperatorQuestions::ask(std::string_view title, std::string_view text,
                              std::span<const Button> /*buttons*/, Button safe) {
  diagf("%.*s: \"%.*s\" no operator to ask: answered %.*s", static_cast<int>(title.size()),
        title.data(), static_cast<int>(text.size()), text.data(),
        static_cast<int>(buttonName(safe).size()), buttonName(safe).data());
  return safe;
}

std::optional<std::string> OperatorQuestions::askSecret(std::string_view title, size_t) {
  diagf("\"%.*s\" no operator to ask: cancelled", static_cast<int>(title.size()), title.data());
  return std::nullopt;
}

std::optional<std::filesystem::path> OperatorQuestions::chooseFile(bool, std::string_view filter,
                                                                   std::string_view) {
  diagf("file choice \"%.*s\": no operator to ask: cancelled", static_cast<int>(filter.size()),
        filter.data());
  return std::nullopt;
}

bool NoOperator::askTimed(std::string_view question, int /*seconds*/, bool safeAnswer,
                          std::string_view consequence) {
  diagf("\"%.*s\" no operator to ask: answered %s; %.*s", static_cast<int>(question.size()),
        question.data(), safeAnswer ? "Yes" : "No", static_cast<int>(consequence.size()),
        consequence.data());
  return safeAnswer;
}

void NoOperator::showMessage(std::string_view title, std::string_view text) {
  diagf("%.*s: %.*s", static_cast<int>(title.size()), title.data(), static_cast<int>(text.size()),
        text.data());
}

}  // namespace orv
