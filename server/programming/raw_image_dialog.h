#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "server/programming/image_blocks.h"
#include "server/programming/image_dialog.h"

namespace orv {

// An image shown without an editor of its own: the operator can only save it or write it back
// as it was read. It stands in for the images whose editors are not built yet.
class RawImageDialog : public ImageDialog {
 public:
  // `image` holds the addresses [base, base + image.size()); "Save" writes the blocks below
  // `saveLimit`.
  RawImageDialog(std::string title, std::span<uint8_t> image, uint32_t base, uint32_t saveLimit);

  std::string title() const override { return title_; }
  std::vector<DialogField> fields() const override;
  std::string setField(std::string_view caption, std::string_view value) override;
  bool accept(OperatorQuestions& op) override;
  std::string save(const std::filesystem::path& file, OperatorQuestions& op) override;

 private:
  std::string title_;
  std::span<uint8_t> image_;
  uint32_t base_;
  uint32_t saveLimit_;
};

}  // namespace orv
