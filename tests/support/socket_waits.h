#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"

namespace orv::test {

// Waits for the other end to close the connection (or for it to fail); false while it is still
// open after timeoutMs. CR LF lines that come meanwhile go to `seen` when given.
bool closedWithin(LineSocket& socket, int timeoutMs, std::vector<std::string>* seen = nullptr);

// No CR LF line within ms, and the connection still open.
testing::AssertionResult quietFor(LineSocket& socket, int ms);

}  // namespace orv::test
