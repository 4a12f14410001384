#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"
#include "server/programming/config_image.h"
#include "server/programming/image_blocks.h"
#include "server/programming/image_dialog.h"

namespace orv {

// The configuration dialog of a first-family module (types 1, 2, 3, 5, 6) without its widgets:
// the settings as texts, the "Commands" and "EVENTS " grids, and the checks of OK and "Save".
// Captions are unique within a type so that a terminal can address every field by caption; the
// second of a pair carries its group ("Backup TCP port", "SIM2 APN", "Command for call 2").
class ConfigDialog : public ImageDialog {
 public:
  // Throws std::invalid_argument for a type this dialog does not edit. `rowNamesFile` (a.ini)
  // renames grid rows; it is read here and never written.
  ConfigDialog(int moduleType, ConfigImage& image, const std::filesystem::path& rowNamesFile);

  int moduleType() const { return type_; }

  // Takes the settings from the image again (the console reads the image after creating the
  // dialog); what the operator typed before is dropped.
  void unpack();

  std::string title() const override { return "Module Config"; }
  std::vector<DialogField> fields() const override;
  std::vector<MarkTable> markTables() const override { return tables_; }
  std::string setField(std::string_view caption, std::string_view value) override;
  std::string setMark(std::string_view table, int row, int column, bool on) override;
  bool accept(OperatorQuestions& op) override;
  std::string save(const std::filesystem::path& file, OperatorQuestions& op) override;

 private:
  const std::string& value(std::string_view caption) const;
  bool internationalCodeConfirmed(OperatorQuestions& op) const;
  void pack();

  int type_;
  ConfigImage& image_;
  IniFile rowNames_;
  ConfigValues values_;
  std::vector<MarkTable> tables_;
};

}  // namespace orv
