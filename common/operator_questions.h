#pragma once

#include <string>
#include <string_view>

namespace orv {

// Questions and messages for an operator. A window asks them in a dialog; with nobody to ask, the
// safe answer is taken and said on stderr. Worker threads call it directly; an implementation
// that needs its own thread gets there itself.
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
};

// Nobody to ask: every question gets its safe answer and one line on stderr.
class NoOperator : public OperatorQuestions {
 public:
  bool askTimed(std::string_view question, int seconds, bool safeAnswer,
                std::string_view consequence) override;
  void showMessage(std::string_view title, std::string_view text) override;
};

}  // namespace orv
