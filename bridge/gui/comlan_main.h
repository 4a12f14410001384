#pragma once

#include <filesystem>

namespace orv {

// Runs the bridge with its window until the window is closed or SIGINT or SIGTERM arrives; the
// Qt event loop is the program's loop.
int runComlanWindow(int argc, char** argv, const std::filesystem::path& dir);

}  // namespace orv
