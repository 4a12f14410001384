#include "server/programming/device_dialog.h"

#include <algorithm>
#include <stdexcept>

#include "server/programming/dialog_text.h"

namespace orv {
namespace {

std::string rowText(size_t row) {
  return "Row " + std::to_string(row + 1) + ": ";
}

}  // namespace

DeviceDialog::DeviceDialog(int moduleType, DeviceImage& image) : type_(moduleType), image_(image) {
  if (!isDeviceModuleType(moduleType)) {
    throw std::invalid_argument("no device configuration dialog for module type " +
                                std::to_string(moduleType));
  }
  unpack();
}

void DeviceDialog::unpack() {
  values_ = unpackDeviceSettings(image_, type_);
  rows_ = unpackPhones(image_, type_);
  currentRow_ = 0;
  currentColumn_ = 0;
  focusedField_.clear();
}

std::vector<DialogField> DeviceDialog::fields() const {
  std::span<const DeviceSetting> all = deviceSettings();
  std::vector<DialogField> out;
  for (size_t i = 0; i < all.size(); ++i) {
    if (settingShown(all[i], type_)) out.push_back({std::string(all[i].caption), values_[i]});
  }
  return out;
}

std::string DeviceDialog::setField(std::string_view caption, std::string_view value) {
  std::span<const DeviceSetting> all = deviceSettings();
  for (size_t i = 0; i < all.size(); ++i) {
    if (!settingShown(all[i], type_) || !sameCaption(all[i].caption, trimRightBlanks(caption)))
      continue;
    TypedSetting typed = typedSetting(all[i], value);
    if (typed.error.empty()) values_[i] = std::move(typed.value);
    return typed.error;
  }
  return "No field \"" + std::string(trimRightBlanks(caption)) + "\"";
}

std::vector<RecordTable> DeviceDialog::recordTables() const {
  std::span<const std::string_view> columns = phoneColumns();
  return {{std::string(kPhones), std::vector<std::string>(columns.begin(), columns.end()), rows_,
           phoneEditorCapacity(type_)}};
}

std::string DeviceDialog::setRecords(std::string_view table,
                                     const std::vector<std::vector<std::string>>& rows) {
  if (!sameCaption(trimRightBlanks(table), kPhones)) {
    return "No table \"" + std::string(trimRightBlanks(table)) + "\"";
  }
  const size_t capacity = phoneEditorCapacity(type_);
  if (rows.size() > capacity) {
    return rowText(capacity) + "only the first " + std::to_string(capacity) +
           " records reach the module";
  }
  const size_t columns = phoneColumns().size();
  PhoneRows taken;
  taken.reserve(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != columns) {
      return rowText(r) + std::to_string(rows[r].size()) + " cells instead of " +
             std::to_string(columns) + " (Telephone Number, Account, User)";
    }
    std::vector<std::string> row;
    for (size_t c = 0; c < columns; ++c) {
      TypedCell cell = typedPhoneCell(c, rows[r][c]);
      if (!cell.error.empty()) return rowText(r) + cell.error;
      row.push_back(std::move(cell.value));
    }
    taken.push_back(std::move(row));
  }
  if (std::optional<size_t> dup = firstDuplicatePhone(taken)) {
    return rowText(*dup) + duplicatePhoneText(taken[*dup][kNumberColumn]);
  }
  rows_ = std::move(taken);
  currentRow_ = std::min(currentRow_, rows_.empty() ? 0 : rows_.size() - 1);
  return {};
}

std::string DeviceDialog::load(const std::filesystem::path& file) {
  std::string error = loadDeviceHex(file, image_);
  if (error.empty()) unpack();
  return error;
}

bool DeviceDialog::valid(OperatorQuestions& op) {
  // Rows past what a transfer carries could only come from an image made elsewhere; writing
  // them would drop them without a word.
  const size_t capacity = phoneEditorCapacity(type_);
  if (rows_.size() > capacity) {
    currentRow_ = capacity;
    focusedField_.clear();
    op.showMessage("Error", "Only the first " + std::to_string(capacity) +
                                " records reach the module: delete the records from row " +
                                std::to_string(capacity + 1) + " on.");
    return false;
  }
  if (std::optional<size_t> dup = firstDuplicatePhone(rows_)) {
    currentRow_ = *dup;
    currentColumn_ = kNumberColumn;
    focusedField_.clear();
    op.showMessage("", duplicatePhoneText(rows_[*dup][kNumberColumn]));
    return false;
  }
  std::span<const DeviceSetting> all = deviceSettings();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].caption == "APN" && values_[i].empty()) {
      focusedField_ = "APN";
      op.showMessage("Error", kEmptyFieldText);
      return false;
    }
  }
  for (size_t r = 0; r < rows_.size(); ++r) {
    for (size_t c = 0; c < phoneColumns().size(); ++c) {
      if (c < rows_[r].size() && !rows_[r][c].empty()) continue;
      currentRow_ = r;
      currentColumn_ = c;
      focusedField_.clear();
      op.showMessage("Error", kEmptyFieldText);
      return false;
    }
  }
  return true;
}

void DeviceDialog::pack() {
  packDeviceSettings(values_, type_, image_);
  packPhones(rows_, type_, image_);
  clearZeroBytes(image_);
}

bool DeviceDialog::accept(OperatorQuestions& op) {
  if (!valid(op)) return false;
  pack();
  return true;
}

std::string DeviceDialog::save(const std::filesystem::path& file, OperatorQuestions& op) {
  if (!valid(op)) return "Not saved: the configuration did not pass its checks";
  pack();
  return writeTextFile(file, deviceHexText(image_));
}

}  // namespace orv
