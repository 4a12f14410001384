#pragma once

#include <cstdint>

namespace orv::test {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and released), or 0.
uint16_t freePort();

}  // namespace orv::test
