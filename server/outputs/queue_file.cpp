#include "server/outputs/queue_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/diag.h"
#include "common/unique_fd.h"

namespace orv {
namespace {

bool writeAll(int fd, const char* p, size_t left) {
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::deque<std::string> loadQueueFile(const std::filesystem::path& file) {
  std::deque<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  if (!in) return lines;
  size_t total = 0, skipped = 0;
  std::string line;
  bool tooLong = false;
  char buf[65536];
  auto finish = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The buffer holds one byte more than a line may have, for a "\r" that did not come.
    if (tooLong || line.size() > kMaxQueuedLine) {
      ++skipped;
    } else if (!line.empty()) {
      lines.push_back(std::move(line));
    }
    line.clear();
    tooLong = false;
  };
  while (in && total < kMaxQueueFile) {
    in.read(buf, sizeof buf);
    size_t n = static_cast<size_t>(in.gcount());
    if (n == 0) break;
    total += n;
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        finish();
      } else if (!tooLong) {
        if (line.size() >= kMaxQueuedLine + 1) {  // + 1: a "\r" may still follow
          tooLong = true;
          line.clear();
        } else {
          line.push_back(buf[i]);
        }
      }
    }
  }
  // A line running over the read limit is only a piece of a line: it is not queued.
  const bool cut = total >= kMaxQueueFile && in.peek() != std::ifstream::traits_type::eof();
  if (cut) {
    line.clear();
    tooLong = false;
  }
  finish();
  if (skipped > 0) {
    diagf("%s: %zu lines longer than %zu bytes skipped", file.c_str(), skipped, kMaxQueuedLine);
  }
  if (cut) {
    diagf("%s: larger than %zu bytes; the rest is not loaded", file.c_str(), kMaxQueueFile);
  }
  return lines;
}

bool writeQueueFile(const std::filesystem::path& file, const std::deque<std::string>& lines,
                    std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  if (lines.empty()) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) return fail("cannot remove");
    return true;
  }
  std::filesystem::path tmp = file;
  tmp += ".tmp";
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return fail("cannot create");
  auto failAndClean = [&](const char* what) {
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return fail(what);
  };
  std::string data;
  for (const std::string& l : lines) {
    data += l;
    data += '\n';
    if (data.size() >= 1 << 20) {
      if (!writeAll(fd.get(), data.data(), data.size())) return failAndClean("cannot write");
      data.clear();
    }
  }
  if (!writeAll(fd.get(), data.data(), data.size())) return failAndClean("cannot write");
  if (::fdatasync(fd.get()) != 0) return failAndClean("cannot flush");
  fd.reset();
  if (::rename(tmp.c_str(), file.c_str()) != 0) return failAndClean("cannot rename");
  // The rename itself must reach the disk, or a power cut could bring back the old file.
  UniqueFd dir(::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace orv
