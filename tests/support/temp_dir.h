#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orv::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  // Writes a file below the directory and returns its path.
  std::filesystem::path write(std::string_view name, std::string_view content) const;
  std::string read(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& file);
// Every file of a directory (a log directory, say) one after another; empty when there is none.
std::string readFiles(const std::filesystem::path& dir);

}  // namespace orv::test
