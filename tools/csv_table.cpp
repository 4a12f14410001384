#include "tools/csv_table.h"

#include <fstream>
#include <system_error>

namespace orv {

namespace {

std::string at(std::string_view name, size_t line) {
  return std::string(name) + " line " + std::to_string(line) + ": ";
}

}  // namespace

std::string parseCsv(std::string_view text, std::string_view name, const CsvLimits& limits,
                     std::vector<CsvRecord>& records) {
  records.clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t line = 1;
  size_t i = 0;
  while (i < text.size()) {
    CsvRecord record{line, {}};
    // A line with nothing on it is no record, not a record of one empty field.
    if (text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      i += text[i] == '\r' ? 2 : 1;
      ++line;
      continue;
    }
    for (;;) {
      std::string cell;
      if (i < text.size() && text[i] == '"') {
        const size_t opened = line;
        ++i;
        for (;;) {
          if (i >= text.size()) {
            records.clear();
            return at(name, opened) + "a quoted field is not closed";
          }
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              cell += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (text[i] == '\n') ++line;
          cell += text[i++];
        }
        if (i < text.size() && text[i] != ',' && text[i] != '\n' &&
            !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
          records.clear();
          return at(name, line) + "text after a closing quote (write a quote inside one as \"\")";
        }
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != '\n' &&
               !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
          if (text[i] == '"') {
            records.clear();
            return at(name, line) + "a quote inside a field that does not start with one";
          }
          cell += text[i++];
        }
      }
      record.cells.push_back(std::move(cell));
      if (i < text.size() && text[i] == ',') {
        ++i;
        continue;
      }
      if (i < text.size()) {
        i += text[i] == '\r' ? 2 : 1;
        ++line;
      }
      break;
    }
    // The header does not count against the limit.
    if (records.size() > limits.maxRecords) {
      records.clear();
      return at(name, record.line) + "more than " + std::to_string(limits.maxRecords) + " rows";
    }
    records.push_back(std::move(record));
  }
  return {};
}

std::string readCsvFile(const std::filesystem::path& file, const CsvLimits& limits,
                        std::vector<CsvRecord>& records) {
  records.clear();
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return file.string() + ": " + ec.message();
  if (size > limits.maxBytes) {
    return file.string() + ": larger than " + std::to_string(limits.maxBytes) + " bytes";
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return file.string() + ": cannot be read";
  std::string text(static_cast<size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return parseCsv(text, file.string(), limits, records);
}

std::string csvLine(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t c = 0; c < cells.size(); ++c) {
    if (c > 0) out += ',';
    const std::string& cell = cells[c];
    const bool quote = cell.find_first_of(",\"\r\n") != std::string::npos ||
                       (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
    if (!quote) {
      out += cell;
      continue;
    }
    out += '"';
    for (char ch : cell) {
      if (ch == '"') out += '"';
      out += ch;
    }
    out += '"';
  }
  out += "\r\n";
  return out;
}

}  // namespace orv
