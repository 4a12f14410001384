#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The operator channel speaks lines of tab-separated fields ending in LF. Texts from modules may
// hold any byte (an erased image reads as 0xFF bytes, trace blocks carry CR LF), so every field is
// escaped: bytes below 0x20 (tab and line ends among them), 0x7F..0xFF and the backslash travel as
// "\xHH". What arrives unescaped is taken as it stands, so a field survives the trip byte for byte.

inline constexpr std::string_view kOperatorSocketFile = "ORV_Serv.sock";
// The protocol's own version, sent in the server's greeting.
inline constexpr int kOperatorProtocol = 1;
// The most a client may send in one line (terminator not counted); longer ends its session.
inline constexpr size_t kMaxRequestLine = 64 * 1024;
// The most the server sends in one line: long trace blocks are cut to fit.
inline constexpr size_t kMaxEventLine = 1024 * 1024 + 4096;
// The most rows one table edit may carry, and the most bytes of cells over all its rows; past
// either the edit is refused whole.
inline constexpr size_t kMaxTableRows = 10000;
inline constexpr size_t kMaxTableBytes = 8u << 20;

std::string escapeWireText(std::string_view text);
// std::nullopt when a backslash starts anything but "\x" and two hexadecimal digits.
std::optional<std::string> unescapeWireText(std::string_view field);

// Escapes and joins the fields, LF included.
std::string wireLine(std::initializer_list<std::string_view> fields);
std::string wireLine(const std::vector<std::string>& fields);
// One line without its LF (a CR before the LF is dropped, for hand-typed input); std::nullopt when
// a field is badly escaped. An empty line gives no fields.
std::optional<std::vector<std::string>> splitWireLine(std::string_view line);

// A small decimal number in a field (row, column, seconds, code): 1 to 6 digits, nothing else.
std::optional<int> parseWireNumber(std::string_view field);

// Collects bytes from a stream and hands out whole lines, never holding more than the limit.
class WireLineBuffer {
 public:
  explicit WireLineBuffer(size_t maxLine) : maxLine_(maxLine) {}

  enum class Next { Line, None, TooLong };
  void append(std::string_view bytes) { buffer_.append(bytes); }
  // Line: `line` holds the next line without its LF. None: no whole line yet. TooLong: the
  // peer went past the limit; the buffer is useless from then on.
  Next next(std::string& line);
  // Room left before a line without LF would be too long: how much to read at most.
  size_t room() const;

 private:
  size_t maxLine_;
  std::string buffer_;
  size_t head_ = 0;
  size_t scanned_ = 0;  // bytes after head_ already known to hold no LF
};

}  // namespace orv
