#include "server/programming/text_dialog.h"

#include <algorithm>

#include "server/programming/dialog_text.h"

namespace orv {
namespace {

constexpr std::string_view kEventsTable = "Events";
constexpr std::string_view kPartitionsTable = "Partitions";
constexpr std::string_view kDescribedOnly = "Send Described Events only";

RecordTable shown(std::string_view name, const std::vector<TextRecord>& records,
                  const TextTableLayout& layout) {
  RecordTable table{std::string(name), {"ID", "Message"}, {}, layout.capacity};
  for (const TextRecord& r : records) {
    table.rows.push_back({textRecordId(r.id, layout), utf16ToUtf8(r.text)});
  }
  // A grid always has a row to type into; an empty table is that one empty row.
  if (table.rows.empty()) table.rows.push_back({"", ""});
  return table;
}

}  // namespace

TextDialog::TextDialog(bool twoTables, TextImage& image)
    : twoTables_(twoTables),
      image_(image),
      eventLayout_(eventTextLayout(kind())),
      partitionLayout_(partitionTextLayout()) {
  unpack();
}

void TextDialog::unpack() {
  events_ = fillTextTable(image_, eventLayout_);
  partitions_ = fillTextTable(image_, partitionLayout_);
  flags_ = image_[kTextFlagAddress - kTextImageBase];
}

std::vector<DialogField> TextDialog::fields() const {
  if (!twoTables_) return {};
  return {{std::string(kDescribedOnly), (flags_ & kDescribedOnlyBit) ? "0" : "1"}};
}

std::string TextDialog::setField(std::string_view caption, std::string_view value) {
  if (!twoTables_ || !sameCaption(trimBlanks(caption), kDescribedOnly)) {
    return "No field \"" + std::string(trimBlanks(caption)) + "\"";
  }
  value = trimBlanks(value);
  if (value != "0" && value != "1") return std::string(kDescribedOnly) + " takes 0 or 1";
  flags_ = value == "1" ? static_cast<uint8_t>(flags_ & ~kDescribedOnlyBit)
                        : static_cast<uint8_t>(flags_ | kDescribedOnlyBit);
  return {};
}

std::vector<RecordTable> TextDialog::recordTables() const {
  std::vector<RecordTable> tables{shown(kEventsTable, events_, eventLayout_)};
  if (twoTables_) tables.push_back(shown(kPartitionsTable, partitions_, partitionLayout_));
  return tables;
}

std::string TextDialog::setRecords(std::string_view table,
                                   const std::vector<std::vector<std::string>>& rows) {
  const bool events = sameCaption(trimBlanks(table), kEventsTable);
  if (!events && !(twoTables_ && sameCaption(trimBlanks(table), kPartitionsTable))) {
    return "No table \"" + std::string(trimBlanks(table)) + "\"";
  }
  const TextTableLayout& layout = events ? eventLayout_ : partitionLayout_;
  if (rows.size() > layout.capacity) {
    return "Row " + std::to_string(layout.capacity + 1) + ": the table holds at most " +
           std::to_string(layout.capacity) + " records";
  }
  std::vector<TextRecord> records;
  records.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::vector<std::string>& cells = rows[i];
    const std::string row = "Row " + std::to_string(i + 1) + ": ";
    if (cells.empty() || cells.size() > 2) return row + "expected the cells ID and Message";
    std::string error;
    std::optional<TextRecord> record =
        textRecordFromRow(cells[0], cells.size() > 1 ? cells[1] : std::string(), layout, error);
    if (!record) return row + error;
    records.push_back(std::move(*record));
  }
  (events ? events_ : partitions_) = std::move(records);
  return {};
}

std::string TextDialog::load(const std::filesystem::path& file) {
  TextImage loaded;
  std::string error = loadTextImageHex(file, loaded);
  if (!error.empty()) return error;
  image_ = loaded;
  unpack();
  return {};
}

TextImage TextDialog::packed() const {
  TextImage image;
  image.fill(0xFF);
  packTextTable(events_, eventLayout_, image);
  packTextTable(partitions_, partitionLayout_, image);
  if (twoTables_) image[kTextFlagAddress - kTextImageBase] = flags_;
  return image;
}

bool TextDialog::accept(OperatorQuestions& op) {
  if (!writable_) {
    op.showMessage("Error", "No module to write to: use Save to keep the texts in a file");
    return false;
  }
  image_ = packed();
  return true;
}

std::string TextDialog::save(const std::filesystem::path& file, OperatorQuestions&) {
  return writeTextFile(file, textImageHexText(packed()));
}

}  // namespace orv
