#include "tools/console_tables.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string_view>

#include "common/operator_wire.h"
#include "tools/csv_table.h"

namespace orv {

namespace {

constexpr std::string_view kTableCaption = "Table";

bool sameCaption(std::string_view a, std::string_view b) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  a = trim(a);
  b = trim(b);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string joined(const std::vector<std::string>& cells) {
  std::string out;
  for (const std::string& c : cells) out += (out.empty() ? "" : ",") + c;
  return out;
}

// The dialog names the row it refused ("Row 3: ..."); the operator wants the CSV line.
std::string onLine(const std::string& error, const std::string& file,
                   const std::vector<size_t>& lines) {
  constexpr std::string_view kRow = "Row ";
  if (error.compare(0, kRow.size(), kRow) == 0) {
    size_t end = kRow.size();
    size_t row = 0;
    while (end < error.size() && std::isdigit(static_cast<unsigned char>(error[end])) &&
           end < kRow.size() + 6) {
      row = row * 10 + static_cast<size_t>(error[end++] - '0');
    }
    if (end > kRow.size() && end < error.size() && error[end] == ':' && row >= 1 &&
        row <= lines.size()) {
      return file + " line " + std::to_string(lines[row - 1]) + error.substr(end);
    }
  }
  return file + ": " + error;
}

struct Pending {
  const RecordTable* table;
  std::vector<std::vector<std::string>> rows;
  std::vector<size_t> lines;
};

}  // namespace

std::string exportTablesCsv(const std::filesystem::path& file,
                            const std::vector<RecordTable>& tables, bool tableColumn) {
  if (tables.empty()) return "no table to export";
  std::string text;
  std::vector<std::string> header = tables[0].columns;
  if (tableColumn) header.insert(header.begin(), std::string(kTableCaption));
  text += csvLine(header);
  for (const RecordTable& table : tables) {
    for (const std::vector<std::string>& row : table.rows) {
      std::vector<std::string> cells = row;
      if (tableColumn) cells.insert(cells.begin(), table.name);
      text += csvLine(cells);
    }
    if (!tableColumn) break;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return file.string() + ": cannot be written";
  return {};
}

std::string importTablesCsv(const std::filesystem::path& file,
                            const std::vector<RecordTable>& tables, bool tableColumn,
                            const SetRecords& set) {
  if (tables.empty()) return "no table to import into";
  const std::string name = file.string();
  std::vector<CsvRecord> records;
  CsvLimits limits;
  limits.maxRecords = kMaxTableRows;
  if (std::string error = readCsvFile(file, limits, records); !error.empty()) return error;
  if (records.empty()) return name + ": empty; the first line names the columns";

  std::vector<std::string> columns = tables[0].columns;
  if (tableColumn) columns.insert(columns.begin(), std::string(kTableCaption));
  const std::vector<std::string>& header = records[0].cells;
  if (!std::equal(header.begin(), header.end(), columns.begin(), columns.end(), sameCaption)) {
    return name + " line " + std::to_string(records[0].line) + ": the header must be \"" +
           joined(columns) + "\"";
  }

  std::vector<Pending> pending;
  if (!tableColumn) pending.push_back({&tables[0], {}, {}});
  for (size_t i = 1; i < records.size(); ++i) {
    std::vector<std::string>& cells = records[i].cells;
    const std::string at = name + " line " + std::to_string(records[i].line) + ": ";
    if (cells.size() != columns.size()) {
      return at + std::to_string(cells.size()) + " columns instead of " +
             std::to_string(columns.size()) + " (" + joined(columns) + ")";
    }
    Pending* target = tableColumn ? nullptr : &pending.front();
    if (tableColumn) {
      auto known = std::find_if(tables.begin(), tables.end(), [&](const RecordTable& t) {
        return sameCaption(t.name, cells[0]);
      });
      if (known == tables.end()) return at + "no table \"" + cells[0] + "\" in this dialog";
      auto seen = std::find_if(pending.begin(), pending.end(),
                               [&](const Pending& p) { return p.table == &*known; });
      if (seen == pending.end()) {
        pending.push_back({&*known, {}, {}});
        seen = pending.end() - 1;
      }
      target = &*seen;
      cells.erase(cells.begin());
    }
    target->rows.push_back(std::move(cells));
    target->lines.push_back(records[i].line);
  }
  for (const Pending& p : pending) {
    std::string error = set(p.table->name, p.rows);
    if (!error.empty()) return onLine(error, name, p.lines);
  }
  return {};
}

}  // namespace orv
