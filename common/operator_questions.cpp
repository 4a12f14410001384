#include "common/operator_questions.h"

#include <string>

#include "common/diag.h"

namespace orv {

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
