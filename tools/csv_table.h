#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Comma-separated tables as spreadsheets write them (RFC 4180): fields in double quotes may hold
// commas, line breaks and doubled quotes; lines end in CR LF or LF. Read from files that an
// operator hands us, so everything is bounded.

struct CsvRecord {
  size_t line = 0;  // the line the record starts on, from 1
  std::vector<std::string> cells;
};

struct CsvLimits {
  size_t maxRecords = 10000;  // data records, the header not counted
  size_t maxBytes = 4u << 20;
};

// The records of `file`, the header first. Lines without any character are skipped; a UTF-8
// byte order mark at the start is dropped. Empty on success, else the error naming the file and
// line, and `records` is left empty.
std::string readCsvFile(const std::filesystem::path& file, const CsvLimits& limits,
                        std::vector<CsvRecord>& records);
// Same, for text already in memory; `name` stands for the file in messages.
std::string parseCsv(std::string_view text, std::string_view name, const CsvLimits& limits,
                     std::vector<CsvRecord>& records);

// One record as a line (CR LF included): a field is quoted when it holds a comma, a quote, a
// line break or blanks at either end.
std::string csvLine(const std::vector<std::string>& cells);

}  // namespace orv
