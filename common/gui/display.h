#pragma once

namespace orv {

// Whether a window can be shown: an X or Wayland display is named, or Qt was told to draw
// elsewhere (QT_QPA_PLATFORM, e.g. "offscreen" in tests). Without one the programs run headless.
bool displayAvailable();

}  // namespace orv
