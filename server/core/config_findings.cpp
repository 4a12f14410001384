#include "server/core/config_findings.h"

#include <algorithm>
#include <cstdio>

namespace orv::config_check {
namespace {

constexpr size_t kMaxFindingText = 400;
constexpr size_t kMaxShownValue = 60;

// The length of the valid UTF-8 sequence at text[i] that is no C1 control, or 0.
size_t utf8Length(std::string_view text, size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  const size_t len = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
  if (len == 0 || i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) return 0;
  return len;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < kMaxFindingText;) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const size_t len = c >= 0x80 ? utf8Length(text, i) : 0; len != 0) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      ++i;
    }
  }
  if (out.size() >= kMaxFindingText) out += "...";
  return out;
}

std::string shown(std::string_view value) {
  if (value.size() <= kMaxShownValue) return "'" + std::string(value) + "'";
  return "'" + std::string(value.substr(0, kMaxShownValue)) + "...'";
}

void Findings::add(Level level, std::string_view text, bool startUpSaysIt) {
  // Descriptions and problems are counted apart, so that a configuration with thousands of
  // channels cannot push its problems out of the report.
  size_t& kept = level == Level::Info ? keptInfo_ : keptProblems_;
  if (kept >= kMaxFindings) {
    (level == Level::Info ? droppedInfo_ : droppedProblems_)++;
    if (level != Level::Info) worstDropped_ = std::max(worstDropped_, level);
    return;
  }
  ++kept;
  findings_.push_back({level, printable(text), startUpSaysIt});
}

ConfigReport Findings::finish() {
  ConfigReport report{std::move(findings_)};
  findings_.clear();
  if (droppedInfo_ > 0) {
    report.findings.push_back(
        {Level::Info, std::to_string(droppedInfo_) + " more descriptions are not shown"});
  }
  if (droppedProblems_ > 0) {
    report.findings.push_back(
        {worstDropped_, std::to_string(droppedProblems_) + " more problems are not shown"});
  }
  return report;
}

void reportCaught(const DiagCapture& capture, const std::filesystem::path& file, Findings& out) {
  const std::string prefix = file.string() + ": ";
  for (std::string_view line : capture.lines()) {
    std::string text(line);
    if (!file.empty() && line.substr(0, prefix.size()) == prefix) {
      text = file.filename().string() + ": " + std::string(line.substr(prefix.size()));
    }
    const bool shut = line.find("nobody is admitted") != std::string_view::npos;
    out.add(shut ? Level::Error : Level::Warning, text, true);
  }
  if (capture.dropped() > 0) {
    out.add(Level::Warning, std::to_string(capture.dropped()) + " more such lines are not shown",
            true);
  }
}

}  // namespace orv::config_check
