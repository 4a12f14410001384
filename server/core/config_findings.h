#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/diag.h"
#include "server/core/config_check.h"

// How the configuration check collects what it finds: bounded, and printable whatever the files
// hold.

namespace orv::config_check {

using Level = ConfigFinding::Level;

inline constexpr size_t kMaxFindings = 1000;

// Bytes a terminal could act on (C0 and C1 controls, DEL, broken UTF-8) become \xNN, and the
// text is cut at a few hundred characters.
std::string printable(std::string_view text);

// A value from a file, quoted and cut to a readable length.
std::string shown(std::string_view value);

class Findings {
 public:
  void add(Level level, std::string_view text, bool startUpSaysIt = false);
  void info(std::string_view text) { add(Level::Info, text); }
  void warning(std::string_view text) { add(Level::Warning, text); }
  void error(std::string_view text) { add(Level::Error, text); }

  // The findings: at most kMaxFindings descriptions (Info) and as many problems; a last line
  // says how many more there were, problems at the level of the worst of them, so that a flood
  // of warnings cannot hide an error's verdict.
  ConfigReport finish();

 private:
  std::vector<ConfigFinding> findings_;
  size_t keptInfo_ = 0;
  size_t keptProblems_ = 0;
  size_t droppedInfo_ = 0;
  size_t droppedProblems_ = 0;
  Level worstDropped_ = Level::Warning;
};

// What a reader wrote while it ran, as findings. Readers only speak when they replace or leave
// out something, so their lines are warnings; an address list without any valid entry shuts its
// input to everybody, which is an error. A leading "<file>: " is cut to the file's name.
void reportCaught(const DiagCapture& capture, const std::filesystem::path& file, Findings& out);

// Runs one of start-up's readers and reports what it said on the way.
template <typename Read>
auto readCaught(Findings& out, const std::filesystem::path& file, Read&& read) {
  DiagCapture capture(kMaxFindings);
  auto result = read();
  reportCaught(capture, file, out);
  return result;
}

}  // namespace orv::config_check
