#include "tests/support/queue_files.h"

#include "server/outputs/queue_store.h"

namespace orv::test {

std::vector<std::string> queuedLines(const std::filesystem::path& dir, std::string_view id) {
  StoredFiles read = readQueueFiles(dir / (std::string(id) + ".out"));
  return {read.queue.lines.begin(), read.queue.lines.end()};
}

}  // namespace orv::test
