#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orv::test {

// The lines queued for channel `id` as the server keeps them in `dir`: "<id>.out" with its
// journal replayed. Safe to call while the server runs.
std::vector<std::string> queuedLines(const std::filesystem::path& dir, std::string_view id);

}  // namespace orv::test
