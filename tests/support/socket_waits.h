#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/unique_fd.h"

namespace orv::test {

// Waits for the other end to close the connection (or for it to fail); false while it is still
// open after timeoutMs. CR LF lines that come meanwhile go to `seen` when given.
bool closedWithin(LineSocket& socket, int timeoutMs, std::vector<std::string>* seen = nullptr);

// No CR LF line within ms, and the connection still open.
testing::AssertionResult quietFor(LineSocket& socket, int ms);

// A blocking TCP connection to 127.0.0.1:port from the loopback address `source` (127.0.0.2,
// say), so that a test can be more than one peer; invalid when it could not connect.
UniqueFd connectFrom(const char* source, uint16_t port);

// Every byte that arrives until the server closes the connection; std::nullopt when it is
// still open after timeoutMs.
std::optional<std::string> receivedUntilClosed(int fd, int timeoutMs);

}  // namespace orv::test
