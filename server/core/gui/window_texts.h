#pragma once

#include <QString>
#include <string_view>

#include "server/core/localisation.h"

class QWidget;

namespace orv {

// Applies the texts of Orv_Str.ini to a window whose object name is its component name: key W of
// section W is the window's caption, every other key names a component of the window (button,
// tool button, check box, radio button, label, group box, menu action, tab page) whose caption it
// sets. Names compare without regard to case; keys that name nothing known are ignored. Without
// the file, or without the window's own key, the window keeps its caption.
void applyWindowTexts(QWidget& window, const Localisation& texts);

// An INI text as the windows show it, cut to a length that no layout chokes on.
QString windowText(std::string_view text);

inline constexpr int kMaxCaptionLength = 200;

}  // namespace orv
