#pragma once

#include <QIcon>

namespace orv {

// The icons of the status lists, painted once: 0 a connected peer (a module, a device, an
// output channel's clients), 2 clients and a connected forwarder, 3 the forwarder only.
// Any other number has no icon.
QIcon statusIcon(int number);

// The server's own icon (window and tray).
QIcon serverIcon();

}  // namespace orv
