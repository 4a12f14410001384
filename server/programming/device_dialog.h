#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/device_config.h"
#include "server/programming/image_blocks.h"
#include "server/programming/image_dialog.h"

namespace orv {

// The configuration dialog of a second-family module (types 4 and 7) without its widgets: the
// connection settings as texts, the "Phones" table, and the checks of OK and "Save".
class DeviceDialog : public ImageDialog {
 public:
  static constexpr std::string_view kPhones = "Phones";

  // Throws std::invalid_argument for a type this dialog does not edit.
  DeviceDialog(int moduleType, DeviceImage& image);

  int moduleType() const { return type_; }

  // Takes the settings and rows from the image again; what the operator typed is dropped.
  void unpack();

  std::string title() const override { return "Module Config"; }
  std::vector<DialogField> fields() const override;
  std::string setField(std::string_view caption, std::string_view value) override;
  std::vector<RecordTable> recordTables() const override;
  std::string setRecords(std::string_view table,
                         const std::vector<std::vector<std::string>>& rows) override;
  std::string load(const std::filesystem::path& file) override;
  bool accept(OperatorQuestions& op) override;
  std::string save(const std::filesystem::path& file, OperatorQuestions& op) override;

  // Where the last failed check left the operator: the table's current cell (0-based) and the
  // field that has the focus (empty when the table has it).
  size_t currentRow() const { return currentRow_; }
  size_t currentColumn() const { return currentColumn_; }
  const std::string& focusedField() const { return focusedField_; }
  std::string statusText() const { return recordStatusText(currentRow_, rows_.size()); }

 private:
  // The checks of OK and "Save", in the dialog's order; the first failure is shown through `op`.
  bool valid(OperatorQuestions& op);
  void pack();

  int type_;
  DeviceImage& image_;
  DeviceValues values_;
  PhoneRows rows_;
  size_t currentRow_ = 0;
  size_t currentColumn_ = 0;
  std::string focusedField_;
};

}  // namespace orv
