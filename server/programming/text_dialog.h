#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/image_blocks.h"
#include "server/programming/image_dialog.h"
#include "server/programming/text_image.h"

namespace orv {

// The event-text editor without its widgets: the "Events" table, and for a "v.34" module the
// "Partitions" table and the "Send Described Events only" box. The tables are filled from the
// image when the editor is made (and again by unpack() or "Load"); OK packs them into it.
class TextDialog : public ImageDialog {
 public:
  TextDialog(bool twoTables, TextImage& image);

  int kind() const { return twoTables_ ? kTwoTableKind : kOneTableKind; }

  // Takes the tables and the flag from the image again; what the operator typed is dropped.
  void unpack();
  // "Write" is disabled when the editor works on local files only: OK then does not close it.
  void setWritable(bool writable) { writable_ = writable; }

  std::string title() const override { return "Text editor"; }
  std::vector<DialogField> fields() const override;
  std::string setField(std::string_view caption, std::string_view value) override;
  std::vector<RecordTable> recordTables() const override;
  std::string setRecords(std::string_view table,
                         const std::vector<std::vector<std::string>>& rows) override;
  std::string load(const std::filesystem::path& file) override;
  bool accept(OperatorQuestions& op) override;
  std::string save(const std::filesystem::path& file, OperatorQuestions& op) override;

  // The tables and the flag packed into an image of 0xFF, as the module gets them.
  TextImage packed() const;

 private:
  bool twoTables_;
  bool writable_ = true;
  TextImage& image_;
  TextTableLayout eventLayout_;
  TextTableLayout partitionLayout_;
  std::vector<TextRecord> events_;
  std::vector<TextRecord> partitions_;  // kept and written back also while hidden
  uint8_t flags_ = 0xFF;                // as read; only bit 0 is the editor's
};

}  // namespace orv
