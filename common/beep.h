#pragma once

#include <functional>
#include <string_view>

namespace orv {

// Marks a failure the way the receiver always has, with a beep of `freqHz` for `ms`. Every beep
// also writes one diagnostic line saying what failed, so a headless server (which has nothing to
// sound) still tells the operator. Safe to call from any thread.
void beep(unsigned freqHz, unsigned ms, std::string_view what);

// The window build sounds the beep through this; the default only writes the diagnostic line.
void setBeepSound(std::function<void(unsigned freqHz, unsigned ms)> sound);

}  // namespace orv
