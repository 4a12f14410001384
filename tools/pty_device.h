#pragma once

#include "common/unique_fd.h"

namespace orv::tool {

// SIGINT and SIGTERM from now on arrive only through the returned descriptor, which every wait of
// the tool watches; SIGPIPE is ignored and stdout is line-buffered, so that a reader sees each
// line as it is printed.
UniqueFd takeStopSignals();

// The device end of a new pseudo-terminal pair, for the tools that play a serial device: both
// ends raw, the master non-blocking, and "pty: <slave path>" printed as the first stdout line for
// the operator (or the test) to map as a COM port. The slave stays open here too, so that the
// master does not read as hung up before the server has opened it, or while it reopens it.
// False, with a diagnostic naming `tool`, when no pair can be made.
bool openPtyDevice(const char* tool, UniqueFd& master, UniqueFd& slave);

// Closing the master hangs the terminal up and throws away what the server has not read yet, the
// last answer included. So this waits, at most timeoutMs or until stopFd is readable, until the
// slave's queue has stayed empty for a while: bytes on their way from the master are not counted
// yet. Returns the bytes left unread (0 when all were read).
int awaitPtyDrained(int slave, int stopFd, int timeoutMs);

}  // namespace orv::tool
