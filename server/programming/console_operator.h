#pragma once

#include <string_view>

#include "common/operator_questions.h"
#include "server/programming/image_dialog.h"

namespace orv {

// The operator at the command console: the questions of OperatorQuestions, plus the console's
// own windows. The Qt console implements it with widgets, the operator channel by forwarding to
// its client, the tests with a script.
class ConsoleOperator : public OperatorQuestions {
 public:
  // Shows a configuration or text dialog modally. The operator edits it through its methods and
  // ends it: OK calls dialog.accept(*this) and returns true once that does; Cancel (or the
  // operator going away) returns false.
  virtual bool showDialog(ImageDialog& dialog) = 0;
  // One line of the console's log window: its own notes ("lcfg", "<Id>: No connection") and
  // the traffic of the transfers ("<-" + line, "->" + block).
  virtual void log(std::string_view line) = 0;
  // One line of the debug window ("<- text", "-> text" or their hexadecimal form).
  virtual void debugLine(std::string_view line) { log(line); }
};

}  // namespace orv
