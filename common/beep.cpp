#include "common/beep.h"

#include <mutex>
#include <string>

#include "common/diag.h"

namespace orv {
namespace {

std::mutex gSoundMutex;
std::function<void(unsigned, unsigned)> gSound;

}  // namespace

void setBeepSound(std::function<void(unsigned, unsigned)> sound) {
  std::lock_guard lock(gSoundMutex);
  gSound = std::move(sound);
}

void beep(unsigned freqHz, unsigned ms, std::string_view what) {
  diagf("beep %u Hz %u ms: %.*s", freqHz, ms, static_cast<int>(what.size()), what.data());
  std::lock_guard lock(gSoundMutex);
  if (gSound) gSound(freqHz, ms);
}

}  // namespace orv
