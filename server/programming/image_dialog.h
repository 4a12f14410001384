#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/operator_questions.h"

namespace orv {

// One setting as a configuration dialog shows it: its caption for the module's type (trailing
// blanks as the dialog has them) and its value as typed.
struct DialogField {
  std::string caption;
  std::string value;
};

// A grid of marks ("Commands", "EVENTS "): one row per command or event, one bit per column.
struct MarkTable {
  struct Row {
    int number = 0;        // 1-based, as "L<n>" in a.ini
    std::string name;      // built-in, or from a.ini
    std::string code;      // the command syntax ("Code" part); empty for events
    uint8_t bits = 0;      // the marks, bit n = column n + 1
    uint8_t settable = 0;  // the columns that can be marked (0 for a heading row)
  };
  std::string name;                  // the tab caption
  std::vector<std::string> columns;  // "U1", "U2", ... (column 0, the name, not included)
  std::vector<Row> rows;
};

// A table of records that the operator edits row by row (telephone numbers, event texts).
struct RecordTable {
  std::string name;                            // "Phones", "Events", "Partitions"
  std::vector<std::string> columns;            // column captions
  std::vector<std::vector<std::string>> rows;  // cells as shown, one vector per row
  size_t capacity = 0;                         // the most rows that survive a write
};

// The security tab: not part of any image; the console reads it after OK.
struct SecurityFields {
  bool codeRequest = false;   // "Security code request "
  std::string oldCode;        // "Old security code"
  std::string newCode;        // "New security code"
  std::string repeatCode;     // "Repeat new security code "
  bool openPassword = false;  // "Open Password"
};

// What a programming sequence shows the operator between reading an image from a module and
// writing it back. The window binds its widgets to it; the operator channel and the tests drive
// it by caption. It never touches a module: OK only packs the image it was made over.
class ImageDialog {
 public:
  virtual ~ImageDialog() = default;

  // The dialog's caption ("Module Config", ...), for the operator.
  virtual std::string title() const = 0;
  // The visible settings, in the dialog's order, unpacked from the image when it was shown.
  virtual std::vector<DialogField> fields() const = 0;
  virtual std::vector<MarkTable> markTables() const { return {}; }

  // The operator typed `value` into the field with this caption and left it. Empty when taken;
  // otherwise the error the dialog shows (a range error: caption + " <" + min, or " >" + max),
  // and the field keeps its former value.
  virtual std::string setField(std::string_view caption, std::string_view value) = 0;
  // Sets or clears one mark (row 1-based, column 1-based). Empty when taken, else the error.
  virtual std::string setMark(std::string_view table, int row, int column, bool on);

  // The record tables, filled from the image when the dialog was made.
  virtual std::vector<RecordTable> recordTables() const { return {}; }
  // Replaces a table's rows as the operator typed them (the cells as shown, columns in order).
  // Empty when taken; otherwise the error, naming the row (1-based), and the table is unchanged.
  virtual std::string setRecords(std::string_view table,
                                 const std::vector<std::vector<std::string>>& rows);
  // "Load": the image from an Intel HEX file, then the fields and tables from it. Empty when
  // taken, else the error (naming the line); the dialog is unchanged then.
  virtual std::string load(const std::filesystem::path& file);

  // OK: the dialog's checks, in order, asking `op` where they ask the operator; packs the image.
  // True when the dialog closes with OK; false when it stays open (nothing then was sent).
  virtual bool accept(OperatorQuestions& op) = 0;
  // "Save": packs and writes the image to `file` as Intel HEX. Empty on success, else the error.
  virtual std::string save(const std::filesystem::path& file, OperatorQuestions& op) = 0;

  // Shown read-only ("Firmware version").
  std::string firmwareVersion;
  SecurityFields security;
};

// The status bar of a record table: "Record %d of %d", the current row (0-based) shown counted
// from 1, and 0 in an empty table.
inline std::string recordStatusText(size_t current, size_t count) {
  const size_t shown = count == 0 ? 0 : std::min(current, count - 1) + 1;
  return "Record " + std::to_string(shown) + " of " + std::to_string(count);
}

inline std::string ImageDialog::setMark(std::string_view, int, int, bool) {
  return "this dialog has no marks";
}

inline std::string ImageDialog::setRecords(std::string_view table,
                                           const std::vector<std::vector<std::string>>&) {
  return "this dialog has no table " + std::string(table);
}

inline std::string ImageDialog::load(const std::filesystem::path&) {
  return "this dialog cannot load a file";
}

}  // namespace orv
