#include "server/programming/raw_image_dialog.h"

#include <algorithm>

namespace orv {

RawImageDialog::RawImageDialog(std::string title, std::span<uint8_t> image, uint32_t base,
                               uint32_t saveLimit)
    : title_(std::move(title)), image_(image), base_(base), saveLimit_(saveLimit) {}

std::vector<DialogField> RawImageDialog::fields() const {
  const size_t used = static_cast<size_t>(
      std::count_if(image_.begin(), image_.end(), [](uint8_t b) { return b != 0xFF; }));
  return {{"Bytes read", std::to_string(used) + " of " + std::to_string(image_.size())}};
}

std::string RawImageDialog::setField(std::string_view caption, std::string_view) {
  return std::string(caption) + ": this image has no editor yet";
}

bool RawImageDialog::accept(OperatorQuestions&) {
  return true;
}

std::string RawImageDialog::save(const std::filesystem::path& file, OperatorQuestions&) {
  return writeTextFile(file, imageHexText(image_, base_, saveLimit_));
}

}  // namespace orv
