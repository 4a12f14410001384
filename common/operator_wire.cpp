#include "common/operator_wire.h"

namespace orv {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool needsEscape(unsigned char c) {
  return c < 0x20 || c >= 0x7F || c == '\\';
}

}  // namespace

std::string escapeWireText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (needsEscape(c)) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

std::optional<std::string> unescapeWireText(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (i + 3 >= field.size()) return std::nullopt;
    if (field[i + 1] != 'x') return std::nullopt;
    int high = hexValue(field[i + 2]);
    int low = hexValue(field[i + 3]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high << 4 | low);
    i += 3;
  }
  return out;
}

std::string wireLine(std::initializer_list<std::string_view> fields) {
  std::string line;
  bool first = true;
  for (std::string_view f : fields) {
    if (!first) line += '\t';
    first = false;
    line += escapeWireText(f);
  }
  line += '\n';
  return line;
}

std::string wireLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += escapeWireText(fields[i]);
  }
  line += '\n';
  return line;
}

std::optional<std::vector<std::string>> splitWireLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::vector<std::string> fields;
  if (line.empty()) return fields;
  for (;;) {
    size_t tab = line.find('\t');
    std::optional<std::string> field = unescapeWireText(line.substr(0, tab));
    if (!field) return std::nullopt;
    fields.push_back(std::move(*field));
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  return fields;
}

WireLineBuffer::Next WireLineBuffer::next(std::string& line) {
  size_t lf = buffer_.find('\n', head_ + scanned_);
  if (lf == std::string::npos) {
    scanned_ = buffer_.size() - head_;
    if (scanned_ > maxLine_) return Next::TooLong;
    if (head_ > 0 && head_ >= buffer_.size() / 2) {
      buffer_.erase(0, head_);
      head_ = 0;
    }
    return Next::None;
  }
  if (lf - head_ > maxLine_) return Next::TooLong;
  line.assign(buffer_, head_, lf - head_);
  head_ = lf + 1;
  scanned_ = 0;
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  }
  return Next::Line;
}

size_t WireLineBuffer::room() const {
  size_t held = buffer_.size() - head_;
  // One byte past the limit is what tells a line that is too long from one that just fits.
  return held > maxLine_ ? 0 : maxLine_ + 1 - held;
}

std::optional<int> parseWireNumber(std::string_view field) {
  if (field.empty() || field.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace orv
