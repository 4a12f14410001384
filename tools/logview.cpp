// orv-logview: prints the event table of a module log file as "GetLog" writes it, one row per
// line, oldest event first. Rows whose record is damaged or carries no real date show "-" alone.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <string_view>

#include "server/inputs/log_decoding.h"

namespace {

// Fields are quoted only when they must be, doubling the quotes inside.
std::string csvField(std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(field);
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

template <typename Fields>
std::string joinRow(const Fields& fields, bool csv) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += csv ? ',' : '\t';
    line += csv ? csvField(fields[i]) : std::string(fields[i]);
  }
  line += '\n';
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  bool csv = false;
  CLI::App app{
      "orv-logview: prints the event log of a module from the Intel HEX file that GetLog "
      "wrote.\nColumns: DATA TYPE, Account, EVENT/PARTITION, DateTime, User Id, tab-separated; "
      "a damaged record shows \"-\" only."};
  app.add_option("FILE", file, "the log file (*.hex)")->required();
  app.add_flag("--csv", csv, "comma-separated values with a header row instead");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  std::string error;
  std::optional<orv::LogImageLoad> load = orv::loadLogImageFile(file, error);
  if (!load) {
    std::fprintf(stderr, "orv-logview: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& d : load->diagnostics) {
    std::fprintf(stderr, "orv-logview: %s: %s\n", file.c_str(), d.c_str());
  }
  std::vector<std::string> walkNotes;
  const orv::TLList list = orv::walkLogRing(load->image, &walkNotes);
  for (const std::string& d : walkNotes) {
    std::fprintf(stderr, "orv-logview: %s: %s\n", file.c_str(), d.c_str());
  }

  std::string out;
  if (csv) out += joinRow(orv::kLogColumns, true);
  for (const orv::TLItem& item : list) out += joinRow(orv::logRow(item), csv);
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::perror("orv-logview: writing the table");
    return 1;
  }
  return 0;
}
