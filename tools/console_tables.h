#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "server/programming/image_dialog.h"

namespace orv {

// A dialog's record tables as CSV files, for orv-console: over the operator channel and on a
// local file alike.

// Replaces one table in the dialog: empty when taken, else the dialog's error ("Row N: ...").
using SetRecords = std::function<std::string(const std::string& table,
                                             const std::vector<std::vector<std::string>>& rows)>;

// With `tableColumn` the first column names the table ("Table,ID,Message") and every table is
// written; without, the one table's own columns. A header row of the column captions comes first.
std::string exportTablesCsv(const std::filesystem::path& file,
                            const std::vector<RecordTable>& tables, bool tableColumn);

// Reads the CSV file and replaces, through `set`, every table it has rows for (with
// `tableColumn`; without, tables[0] alone, also when the file has no rows). The header must be
// the columns. Empty when taken, else the error naming the CSV line.
std::string importTablesCsv(const std::filesystem::path& file,
                            const std::vector<RecordTable>& tables, bool tableColumn,
                            const SetRecords& set);

}  // namespace orv
